// SPDX-License-Identifier: MIT
// The program's one whole-file reader and the chunked read behind it. Nothing is logged here: each
// caller names the failure in its own words, from the returned FileRead value and errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Why a whole-file read failed. errno is that of the failing call (0 for kShort and kTooLarge).
enum class FileRead {
  kOk,
  kCannotOpen,   // fopen failed
  kCannotQuery,  // fstat failed or reported a negative size
  kNotRegular,   // the path is not a regular file (only when asked for one)
  kTooLarge,     // larger than the caller's limit
  kNoMemory,     // no buffer for the contents
  kCannotRead,   // a read failed
  kShort,        // the file ended before the size that fstat reported
};

// Reads exactly `size` bytes of `file` into `buffer`, in requests that never exceed what one read
// may return. False when the stream fails or ends first (ferror tells which).
[[nodiscard]] bool ReadExactly(FILE *file, void *buffer, size_t size);

struct WholeFileOptions {
  bool regular_only = false;       // refuse directories, devices and pipes before reading
  uint64_t max_size = UINT64_MAX;  // refuse larger files before anything is allocated
  bool no_follow = false;          // a link at the name is not followed (kCannotOpen, ELOOP)
};

// Reads the file at `path` whole into a new buffer of `*size` + 1 bytes whose last byte is NUL
// (free it with free()). On failure `*data` is null and nothing stays open or allocated.
[[nodiscard]] FileRead ReadWholeFile(const char *path, const WholeFileOptions &options, char **data,
                                     size_t *size);
// The same for the entry `name` of the open folder `dir` (AT_FDCWD: `name` is a path).
[[nodiscard]] FileRead ReadWholeFileAt(int dir, const char *name, const WholeFileOptions &options,
                                       char **data, size_t *size);
