// SPDX-License-Identifier: MIT
// The update log: one process-wide plain-text file with one line per message, the only record of
// what an update did. Each line is written out when it is logged. Writes are silently dropped
// while no file is open; nothing here reports failure, except a link (or anything but a regular
// file) at the log's name, which is never written through and is named on standard error.
#pragma once

#include <cstdio>

class UpdateLogger {
 public:
  // The process-wide instance, created on first use; its exit handler closes the file.
  static UpdateLogger &Instance();

  // Opens "<dir>/<name>" unless a file is already open. When `alt_name` is given and "<dir>/<name>"
  // does not exist, "<dir>/<alt_name>" is opened instead. Append mode ("a") or truncate ("w").
  void OpenFile(const char *dir, const char *name, const char *alt_name, bool append);

  // Writes the formatted text and one line feed.
  void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // Empties the open file (for a run that opened it in append mode before it knew that it may
  // write: the truncation waits for the run's lock).
  void Truncate();
  void Flush();
  void CloseFile();

 private:
  UpdateLogger() = default;
  FILE *file_ = nullptr;
};

// Shorthand for UpdateLogger::Instance().Log(...).
#define LOG(...) UpdateLogger::Instance().Log(__VA_ARGS__)
