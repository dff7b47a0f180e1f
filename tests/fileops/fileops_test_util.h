// SPDX-License-Identifier: MIT
// Helpers for the file-operation tests: paths of an exact length for the cases where a path does
// not fit the program's buffers.
#pragma once

#include <string>

#include "support/test_support.h"

namespace fileops_test {

// A path below `base` of exactly `length` bytes whose parent directories exist (components stay
// below the file system's name limit). The last component is not created.
inline std::string PathOfLength(const std::string &base, size_t length) {
  std::string path = base;
  while (path.size() + 1 + 200 < length) {
    path += "/" + std::string(199, 'd');
    testing_support::MakeDirs(path);
  }
  path += "/";
  path += std::string(length - path.size(), 'f');
  return path;
}

}  // namespace fileops_test
