// SPDX-License-Identifier: MIT
// Finding a sibling program: the tools run their companions (the updater, make-update) from the
// folder they themselves were started from. Nothing is printed.
#pragma once

#include <unistd.h>

#include <climits>
#include <string>

// "<folder of the running program>/<name>", or "" when the running program cannot be found.
inline std::string BesideSelf(const char *name) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  const std::string path(self, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1) + name;
}
