// SPDX-License-Identifier: MIT
// The strings file reader over arbitrary files: through the file wrapper (the file lives in memory)
// and through the text core, which must agree; every value stays within its 600-byte field and is
// NUL-terminated, and the result is one of the reader's codes.
#include <cstdlib>
#include <cstring>

#include "base/result.h"
#include "fuzz_support.h"
#include "progress/strings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_support::MemFile file(data, size);
  WindowStrings strings;
  memset(&strings, 'Z', sizeof(strings));
  int rv = ReadStringsFile(file.path(), &strings);
  FUZZ_CHECK(rv == result::kOk || rv == result::kParseError || rv == result::kReadError);
  FUZZ_CHECK(memchr(strings.title, '\0', sizeof(strings.title)) != nullptr);
  FUZZ_CHECK(memchr(strings.info, '\0', sizeof(strings.info)) != nullptr);
  if (size == 0) FUZZ_CHECK(rv == result::kReadError);

  // The text core over the same bytes (up to the first NUL, as the reader sees them).
  char *text = static_cast<char *>(malloc(size + 1));
  FUZZ_CHECK(text != nullptr);
  if (size > 0) memcpy(text, data, size);
  text[size] = '\0';
  IniValue values[2] = {};
  int parsed = ParseIniValues(text, "Title\0Info\0", 2, values, "Strings");
  free(text);
  if (size > 0) {
    FUZZ_CHECK(parsed == rv);
    if (rv == result::kOk) {
      FUZZ_CHECK(strcmp(values[0], strings.title) == 0);
      FUZZ_CHECK(strcmp(values[1], strings.info) == 0);
    }
  }
  return 0;
}
