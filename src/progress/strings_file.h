// SPDX-License-Identifier: MIT
// Reads the INI-style strings file that gives the progress window its title and explanation. The
// reader logs nothing; it returns a result code (result::kParseError for a key missing or given
// twice, kReadError for a file that cannot be read or is empty, kStringsNoMemory) and its caller
// shows no window on any failure.
#pragma once

#include <cstddef>

constexpr size_t kIniValueSize = 600;  // one value slot: at most 599 characters and a NUL
using IniValue = char[kIniValueSize];
constexpr int kMaxIniKeys = 64;  // keys that one call can look up

struct WindowStrings {
  char title[kIniValueSize];  // value of "Title", always NUL-terminated
  char info[kIniValueSize];   // value of "Info", always NUL-terminated
};

// Walks the NUL-terminated `text` line by line (cutting it in place) and copies the value of every
// key of `keys` found in section `section` ("Strings" when null) into the slot of its index, cut to
// 599 characters. `keys` is a block of NUL-terminated names ended by an empty name; only the first
// `key_count` of them are looked up. A key given twice keeps its later value.
// Returns result::kOk when each of the `key_count` keys was found exactly once, kParseError
// otherwise (a key missing or given twice). Slots of keys that were not found are left untouched.
// REQUIRES: `values` holds `key_count` slots; 0 <= `key_count` <= kMaxIniKeys.
[[nodiscard]] int ParseIniValues(char *text, const char *keys, int key_count, IniValue *values,
                                 const char *section);

// Reads the whole file at `path` and parses it with ParseIniValues. Returns result::kReadError when
// the file cannot be opened, queried or read in full, is empty or is not a regular file;
// kStringsNoMemory when there is no memory for its contents; otherwise ParseIniValues's result.
[[nodiscard]] int ReadIniValues(const char *path, const char *keys, int key_count, IniValue *values,
                                const char *section);

// Reads "Title" and "Info" of the section "Strings" of the file at `path` into `strings`. Both
// fields are always NUL-terminated; a field whose key was not found is empty. Returns
// ReadIniValues's result; only result::kOk means both texts were found.
[[nodiscard]] int ReadStringsFile(const char *path, WindowStrings *strings);
