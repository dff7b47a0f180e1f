// SPDX-License-Identifier: MIT
// Writes real update archives for tests: each entry is compressed with the real libbz2 (or stored
// as given) into a temporary file and the archive is written by the library's own writer, so the
// result is exactly what the build tools produce. Failures are reported as test failures and
// through the result.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

struct UpkEntry {
  std::string name;     // the member name: a relative path such as "updatev3.manifest" or "a/b"
  std::string content;  // the uncompressed content
  mode_t mode = 0644;   // permission bits stored as the member's flags
  bool raw = false;     // store `content` as it is, not compressed (for corrupt-member tests)
};

// Writes the archive `archive_path` holding `entries` in order, with the given product
// information. Returns true on success; on failure adds a test failure saying why and returns
// false (no archive is left). Member names must be distinct and non-empty, with no "." or ".."
// parts. The current directory is the same afterwards.
[[nodiscard]] bool WriteUpk(const std::string &archive_path, const std::vector<UpkEntry> &entries,
                            const std::string &product_id = "product",
                            const std::string &product_version = "1.0");

// `data` as one complete bzip2 stream (block size 9), compressed by libbz2.
std::string Bzip2(const std::string &data);

}  // namespace testing_support
