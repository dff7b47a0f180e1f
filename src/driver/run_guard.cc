// SPDX-License-Identifier: MIT
#include "driver/run_guard.h"

#include <limits.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

bool RemovalEndangersInstallation(const char *dir, const char *installation) {
  struct stat st;
  if (lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  char real_dir[PATH_MAX];
  if (!realpath(dir, real_dir)) return true;
  if (strcmp(real_dir, "/") == 0) return true;
  char real_installation[PATH_MAX];
  if (!realpath(installation, real_installation)) return false;
  size_t n = strlen(real_dir);
  return strncmp(real_installation, real_dir, n) == 0 &&
         (real_installation[n] == '\0' || real_installation[n] == '/');
}
