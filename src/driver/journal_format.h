// SPDX-License-Identifier: MIT
// Journal format information shared by the journal's writer and its reader (driver/journal.cc) and
// the tests: the keywords, the escaping of paths and one record's text. Pure functions on strings;
// nothing here touches the disk or logs.
//
// The journal "update.journal" is a text of one record per line:
//   kiv-journal 2
//   update <working directory>        or   replace <installation directory>   (absolute)
//   archive <dev> <ino> <size> <mtime s> <mtime ns>   (update: the archive's identity)
//   staged <dev> <ino>                                (replace: the staged copy's identity)
//   present <path>      something lay at the path: its first backup ("<path>.kiv-backup") holds it
//   absent <path>       nothing lay at the path: whatever is there now is the update's
//   absent-dir <path>   a missing folder that an add may create (shallowest first)
//   rmdir <path>        a folder that a successful update removes
//   commit              appended once everything the update wrote is on disk
// Record paths are relative to the directory named on the second line and never absolute or with a
// ".." component. Every path is escaped so that any byte but NUL round-trips: '\' is written "\\",
// a line feed "\n", and every other byte below 0x20 and 0x7f as "\xHH" (two lower-case hex
// digits). Version 1 journals wrote the same records with unescaped paths; they are still read.
#pragma once

#include <cstdio>
#include <string>

namespace journal_format {

constexpr char kMagic[] = "kiv-journal 2";
constexpr char kMagicV1[] = "kiv-journal 1";

constexpr char kUpdate[] = "update";
constexpr char kReplace[] = "replace";
constexpr char kArchive[] = "archive";
constexpr char kStaged[] = "staged";
constexpr char kPresent[] = "present";
constexpr char kAbsent[] = "absent";
constexpr char kAbsentDir[] = "absent-dir";
constexpr char kRmdir[] = "rmdir";
constexpr char kCommit[] = "commit";

// `path` escaped as above.
inline std::string Escape(const std::string &path) {
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[5];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reverses Escape. False for a text that Escape cannot have written (a lone or unknown escape, a
// raw control byte, an escaped NUL).
inline bool Unescape(const std::string &text, std::string *path) {
  path->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c != '\\') {
      *path += static_cast<char>(c);
      continue;
    }
    if (i + 1 >= text.size()) return false;
    char kind = text[++i];
    if (kind == '\\') {
      *path += '\\';
    } else if (kind == 'n') {
      *path += '\n';
    } else if (kind == 'x' && i + 2 < text.size()) {
      int high = HexDigit(text[i + 1]);
      int low = HexDigit(text[i + 2]);
      if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
      *path += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

// One record's line: "<keyword> <escaped argument>\n", or "<keyword>\n" without an argument.
inline std::string Record(const char *keyword, const std::string &argument) {
  return std::string(keyword) + " " + Escape(argument) + "\n";
}

// Whether `path` may be a record's path: relative, not empty, without a ".." component.
inline bool IsRecordPath(const std::string &path) {
  if (path.empty() || path[0] == '/') return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(start, slash - start);
    if (part == "..") return false;
    start = slash + 1;
  }
  return true;
}

}  // namespace journal_format
