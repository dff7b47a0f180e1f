// SPDX-License-Identifier: MIT
// The size of the program's path buffers and the parent-folder rule. A path that does not fit a
// buffer is refused where it is formed (cut short it could name another, existing file). Nothing
// here logs.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Every path the program forms or keeps lives in a buffer of this many bytes, NUL included.
constexpr size_t kPathSize = 1024;

// The directory that holds `path`: what comes before its last '/', "/" for an entry of the root,
// "." for a path without '/'.
inline std::string ParentDirectory(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
// The same into a path buffer; false (and `out` empty) when it does not fit.
inline bool ParentDirectory(const char *path, char (&out)[kPathSize]) {
  const std::string parent = ParentDirectory(std::string(path));
  const int n = snprintf(out, sizeof(out), "%s", parent.c_str());
  if (n >= 0 && static_cast<size_t>(n) < sizeof(out)) return true;
  out[0] = '\0';
  return false;
}

// The program's one bounded path builder: formats into a path buffer. False when the result does
// not fit (`out` then holds the text cut short, fit only for the log): a cut path could name
// another, existing file, and a removal or a move would then act on that one.
template <typename... Args>
[[nodiscard]] bool FormPath(char (&out)[kPathSize], const char *format, Args... args) {
  int n = snprintf(out, sizeof(out), format, args...);
  return n >= 0 && static_cast<size_t>(n) < sizeof(out);
}
