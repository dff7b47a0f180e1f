// SPDX-License-Identifier: MIT
// The version comparison over arbitrary version strings (the input split at its NUL bytes into up
// to three): a version equals itself, swapping two flips the sign, the result is -1, 0 or 1, and
// the order is transitive, so that "newer than the installation" means the same whichever way it is
// asked.
#include <cstring>
#include <string>
#include <vector>

#include "archive/upk_reader.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> v(3);
  size_t which = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && which < 2) {
      ++which;
    } else if (data[i] != 0) {
      v[which].push_back(static_cast<char>(data[i]));
    }
  }
  int cmp[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      cmp[i][j] = CompareVersions(v[i].c_str(), v[j].c_str());
      FUZZ_CHECK(cmp[i][j] >= -1 && cmp[i][j] <= 1);
    }
    FUZZ_CHECK(cmp[i][i] == 0);
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      FUZZ_CHECK(cmp[i][j] == -cmp[j][i]);
      for (int k = 0; k < 3; ++k) {
        if (cmp[i][j] <= 0 && cmp[j][k] <= 0) FUZZ_CHECK(cmp[i][k] <= 0);
      }
    }
  }
  // A missing part reads as an empty one: a trailing ".0" changes nothing.
  const std::string padded = v[0] + ".0";
  if (!v[0].empty() && v[0].find_first_not_of("0123456789") == std::string::npos) {
    FUZZ_CHECK(CompareVersions(padded.c_str(), v[0].c_str()) == 0);
  }
  return 0;
}
