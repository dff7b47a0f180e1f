// SPDX-License-Identifier: MIT
// The one way a test captures the process-wide update log: the log is opened in a folder (the
// capture's own, or one given) for the capture's lifetime and read back as text.
#pragma once

#include <string>

#include "base/update_log.h"
#include "support/test_support.h"

namespace testing_support {

class LogCapture {
 public:
  // Opens the log as "update.log" in a temporary folder of the capture's own.
  LogCapture() : dir_(own_.path()) { Open(); }
  // Opens the log as "<dir>/update.log".
  explicit LogCapture(const std::string &dir) : dir_(dir) { Open(); }
  ~LogCapture() { UpdateLogger::Instance().CloseFile(); }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  // Everything logged since the log was opened.
  std::string Text() {
    UpdateLogger::Instance().Flush();
    return ReadFile(dir_ + "/update.log");
  }
  // Everything logged so far; the log then starts again, empty.
  std::string Take() {
    UpdateLogger::Instance().CloseFile();
    std::string text = ReadFile(dir_ + "/update.log");
    Open();
    return text;
  }

 private:
  void Open() { UpdateLogger::Instance().OpenFile(dir_.c_str(), "update.log", nullptr, false); }

  TempDir own_;
  std::string dir_;
};

}  // namespace testing_support
