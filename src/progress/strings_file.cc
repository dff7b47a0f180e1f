// SPDX-License-Identifier: MIT
#include "progress/strings_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/result.h"
#include "base/tokenizer.h"
#include "base/whole_file.h"

namespace {

// Index of `key` in the block of names `keys`, or -1.
int FindKey(const char *keys, const char *key) {
  int index = 0;
  for (const char *name = keys; *name; name += strlen(name) + 1, ++index) {
    if (strcmp(name, key) == 0) return index;
  }
  return -1;
}

// A header line ("[name]", blanks and tabs allowed behind the ']', the ']' itself may be missing)
// names the wanted section? Any other header leaves it.
bool EntersSection(char *line, const char *section) {
  char *cursor = line + 1;  // after the '['
  if (*cursor == ']' || *cursor == '\0') return false;
  char *name = next_token("]", &cursor);
  if (cursor && next_token(" \t", &cursor)) return false;
  return strcmp(name, section) == 0;
}

}  // namespace

int ParseIniValues(char *text, const char *keys, int key_count, IniValue *values,
                   const char *section) {
  if (!section) section = "Strings";
  // How often each key was given: a file is complete when each key stands exactly once, so that a
  // repeated key neither makes up for a missing one nor goes unnoticed beside the other.
  int found[kMaxIniKeys] = {};
  if (key_count < 0 || key_count > kMaxIniKeys) return result::kParseError;

  bool inside = false;
  char *lines = text;
  while (char *line = next_token("\r\n", &lines)) {
    if (line[0] == ';' || line[0] == '#') continue;
    line += strspn(line, " \t");
    if (*line == '\0') continue;
    if (*line == '[') {
      inside = EntersSection(line, section);
      continue;
    }
    if (!inside || *line == '=') continue;  // a line starting with '=' has an empty key
    char *value = line;
    char *key = next_token("=", &value);
    if (!value) continue;  // no '=' on the line
    int index = FindKey(keys, key);
    if (index < 0 || index >= key_count) continue;
    strncpy(values[index], value, kIniValueSize - 1);
    values[index][kIniValueSize - 1] = '\0';
    ++found[index];
  }

  for (int i = 0; i < key_count; ++i) {
    if (found[i] != 1) return result::kParseError;
  }
  return result::kOk;
}

int ReadIniValues(const char *path, const char *keys, int key_count, IniValue *values,
                  const char *section) {
  // Only a regular file is read: a directory opens, and its reported size means nothing.
  char *buffer = nullptr;
  size_t length = 0;
  WholeFileOptions options;
  options.regular_only = true;
  FileRead read = ReadWholeFile(path, options, &buffer, &length);
  if (read == FileRead::kNoMemory) return result::kStringsNoMemory;
  if (read != FileRead::kOk) return result::kReadError;
  int rv =
      length == 0 ? result::kReadError : ParseIniValues(buffer, keys, key_count, values, section);
  free(buffer);
  return rv;
}

int ReadStringsFile(const char *path, WindowStrings *strings) {
  static const char kKeys[] = "Title\0Info\0";
  IniValue values[2] = {};
  int rv = ReadIniValues(path, kKeys, 2, values, nullptr);
  memcpy(strings->title, values[0], kIniValueSize);
  memcpy(strings->info, values[1], kIniValueSize);
  strings->title[kIniValueSize - 1] = '\0';
  strings->info[kIniValueSize - 1] = '\0';
  return rv;
}
