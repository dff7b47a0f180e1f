// SPDX-License-Identifier: MIT
#include "helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace make_update {

std::string Octal(mode_t mode) {
  char buf[16];
  snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode));
  return buf;
}

bool IsUnder(const std::string &path, const std::string &root) {
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

std::string MakeTempFolder(std::string parent, const std::string &prefix, const std::string &what,
                           std::string *error) {
  if (parent.empty()) parent = getenv("TMPDIR") && *getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  std::string folder = parent + "/" + prefix + "XXXXXX";
  if (!mkdtemp(folder.data())) {
    *error = "cannot create " + what + " in " + parent + ": " + strerror(errno);
    return "";
  }
  return folder;
}

}  // namespace make_update
