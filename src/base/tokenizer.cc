// SPDX-License-Identifier: MIT
#include "base/tokenizer.h"

#include <cstring>

#include "base/manifest_format.h"
#include "base/update_log.h"

char *next_token(const char *delimiters, char **cursor) {
  char *p = *cursor;
  if (!p || !*p) return nullptr;
  p += strspn(p, delimiters);
  if (!*p) {
    *cursor = p;
    return nullptr;
  }
  char *token = p;
  p += strcspn(p, delimiters);
  if (*p) {
    *p = '\0';
    *cursor = p + 1;
  } else {
    *cursor = nullptr;
  }
  return token;
}

char *get_valid_path(char **cursor, bool is_directory) {
  char *path = next_token(manifest::kQuote, cursor);
  if (!path) {
    LOG("get_valid_path: unable to determine path: %s", *cursor ? *cursor : "");
    return nullptr;
  }
  if (path[0] == '/') {
    LOG("get_valid_path: path must be relative: %s", path);
    return nullptr;
  }
  if (is_directory) {
    size_t len = strlen(path);
    if (path[len - 1] != manifest::kFolderEnd) {
      LOG("get_valid_path: directory paths must have a trailing forward slash: %s", path);
      return nullptr;
    }
    path[len - 1] = '\0';
  }
  if (strstr(path, manifest::kParentStep)) {
    LOG("get_valid_path: paths must not contain '..': %s", path);
    return nullptr;
  }
  return path;
}
