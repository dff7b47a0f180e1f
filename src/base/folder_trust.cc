// SPDX-License-Identifier: MIT
#include "base/folder_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool FolderIsPrivate(const char *dir, std::string *why) {
  struct stat st;
  if (stat(dir, &st) != 0) {
    if (errno == ENOENT) return true;
    *why = std::string("it cannot be examined: ") + strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) return true;  // nothing can be read from it: the run fails as it would
  if (st.st_uid != geteuid()) {
    *why = "it is owned by user " + std::to_string(st.st_uid) + ", not by user " +
           std::to_string(geteuid()) + " who runs the update";
    return false;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *why = std::string("its group or other users may write it (mode ") + mode + ")";
    return false;
  }
  return true;
}

void ReportPlantedName(const char *path) {
  fprintf(stderr,
          "updater: refusing to write through %s: it is a link or not a regular file; nothing "
          "was written there\n",
          path);
}
