// SPDX-License-Identifier: MIT
// The one holder of a stdio stream: closes it on every way out of a scope and reports the close
// result to a caller that asks for it.
#pragma once

#include <cstdio>

// Owns one stdio stream and closes it on every way out of a scope.
class ScopedFile {
 public:
  explicit ScopedFile(FILE *file = nullptr) : file_(file) {}
  ~ScopedFile() {
    if (file_) fclose(file_);
  }
  ScopedFile(const ScopedFile &) = delete;
  ScopedFile &operator=(const ScopedFile &) = delete;

  FILE *get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }
  // Closes the stream now and empties the holder; returns fclose's result (0 when empty).
  int Close() {
    // The holder is emptied before the stream is closed, so that nothing can reach the closed one.
    FILE *f = file_;
    file_ = nullptr;
    return f ? fclose(f) : 0;
  }
  // Closes the held stream, if any, and holds `file` instead.
  void Reset(FILE *file) {
    Close();
    file_ = file;
  }
  // Gives up ownership without closing.
  FILE *release() {
    FILE *f = file_;
    file_ = nullptr;
    return f;
  }

 private:
  FILE *file_;
};
