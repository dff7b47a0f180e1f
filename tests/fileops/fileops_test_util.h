// Helpers for the file-operation tests: a log opened in its own temporary folder for one test, and
// paths of an exact length for the cases where a path does not fit the program's buffers.
#pragma once

#include <string>

#include "base/update_log.h"
#include "support/test_support.h"

namespace fileops_test {

// Opens the process-wide log in a fresh folder for the lifetime of the object.
class LogFile {
 public:
  LogFile() {
    UpdateLogger::Instance().OpenFile(dir_.path().c_str(), "update.log", nullptr, false);
  }
  ~LogFile() { UpdateLogger::Instance().CloseFile(); }
  std::string Text() {
    UpdateLogger::Instance().Flush();
    return testing_support::ReadFile(dir_ / "update.log");
  }

 private:
  testing_support::TempDir dir_;
};

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
