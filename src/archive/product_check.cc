// SPDX-License-Identifier: MIT
// The reader's product check: the open archive's product information against the accepted
// product identifiers and the installed application's version, and the version comparison.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "archive/upk.h"
#include "archive/upk_reader.h"
#include "base/result.h"

namespace {

// One "."-separated part of a version: major, letters, minor, tail.
struct VersionPart {
  long long major = 0;
  const char *letters = nullptr;  // not NUL-terminated; `letters_len` bytes
  size_t letters_len = 0;
  long long minor = 0;
  const char *tail = nullptr;  // NUL-terminated, or null
};

// strtol in base 10, held to the signed 32-bit range.
long long ReadNumber(const char *text, char **end) {
  long value = strtol(text, end, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return value;
}

// Parses the part at `*cursor` (a working copy whose "." separators this overwrites with NUL) and
// moves the cursor to the next part, or to null after the last one. A null cursor gives the part
// that a missing part reads as.
VersionPart ReadPart(char **cursor) {
  VersionPart part;
  char *text = *cursor;
  if (!text) return part;
  char *dot = strchr(text, '.');
  if (dot) {
    *dot = '\0';
    *cursor = dot + 1;
  } else {
    *cursor = nullptr;
  }
  if (strcmp(text, "*") == 0) {
    part.major = INT_MAX;
    return part;
  }
  char *rest = nullptr;
  part.major = ReadNumber(text, &rest);
  if (*rest == '\0') return part;
  if (*rest == '+') {
    part.major += 1;
    part.letters = "pre";
    part.letters_len = 3;
    return part;
  }
  part.letters = rest;
  char *stop = strpbrk(rest, "0123456789+-");
  if (!stop) {
    part.letters_len = strlen(rest);
    return part;
  }
  part.letters_len = static_cast<size_t>(stop - rest);
  char *after = nullptr;
  part.minor = ReadNumber(stop, &after);
  if (*after != '\0') part.tail = after;
  return part;
}

int CompareLetters(const VersionPart &a, const VersionPart &b) {
  if (!a.letters && !b.letters) return 0;
  if (!a.letters) return 1;  // no letters is newer than any letters
  if (!b.letters) return -1;
  size_t common = a.letters_len < b.letters_len ? a.letters_len : b.letters_len;
  for (size_t i = 0; i < common; ++i) {
    signed char ca = static_cast<signed char>(a.letters[i]);
    signed char cb = static_cast<signed char>(b.letters[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.letters_len == b.letters_len) return 0;
  return a.letters_len < b.letters_len ? -1 : 1;
}

int CompareParts(const VersionPart &a, const VersionPart &b) {
  if (a.major != b.major) return a.major < b.major ? -1 : 1;
  int letters = CompareLetters(a, b);
  if (letters != 0) return letters;
  if (a.minor != b.minor) return a.minor < b.minor ? -1 : 1;
  if (!a.tail && !b.tail) return 0;
  if (!a.tail) return 1;  // no tail is newer than a tail
  if (!b.tail) return -1;
  int cmp = strcmp(a.tail, b.tail);
  return cmp < 0 ? -1 : (cmp > 0 ? 1 : 0);
}

}  // namespace

int CompareVersions(const char *a, const char *b) {
  char *copy_a = strdup(a);
  char *copy_b = strdup(b);
  int rv = 1;
  if (copy_a && copy_b) {
    char *cursor_a = copy_a;
    char *cursor_b = copy_b;
    rv = 0;
    while (rv == 0 && (cursor_a || cursor_b)) {
      VersionPart part_a = ReadPart(&cursor_a);
      VersionPart part_b = ReadPart(&cursor_b);
      rv = CompareParts(part_a, part_b);
    }
  }
  free(copy_a);
  free(copy_b);
  return rv;
}

int UpkReader::CheckArchiveOpen() const { return archive_ ? result::kOk : result::kNoArchive; }

int UpkReader::VerifyProductInfo(const char *accepted, const char *app_version) {
  if (!archive_) return result::kNoArchive;
  UpkProductInfo info = {nullptr, nullptr};
  if (upk_get_product_info(archive_, &info) != 0) return result::kNoProductInfo;

  int rv = result::kOk;
  if (accepted && *accepted) {
    char list[512] = {};
    strncpy(list, accepted, sizeof(list) - 1);
    bool found = false;
    char *save = nullptr;
    for (char *token = strtok_r(list, " ,\t", &save); token && !found;
         token = strtok_r(nullptr, " ,\t", &save)) {
      found = strcmp(token, info.product_id) == 0;
    }
    if (!found) rv = result::kWrongProduct;
  }
  if (rv == result::kOk && CompareVersions(app_version, info.product_version) == 1) {
    rv = result::kApplicationNewer;
  }
  upk_free_product_info(&info);
  return rv;
}
