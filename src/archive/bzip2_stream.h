// SPDX-License-Identifier: MIT
// The program's one bzip2 decoding loop, used by the archive reader for every member, by the
// workers that decode members ahead of the actions, and by the patch tool for a compressed patch,
// so that both accept exactly the same data: one bzip2 stream, whatever follows its end is ignored.
// Failures are returned as result codes; nothing is logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Where the compressed bytes come from.
struct Bzip2Source {
  // Reads up to `size` bytes into `buffer`; returns how many, 0 or less on failure.
  int (*read)(void *context, char *buffer, int32_t size);
  void *context;
  int64_t length;  // the bytes the source holds; 0 or less reads nothing
};

// Where the decompressed bytes go.
struct Bzip2Sink {
  // Takes `size` bytes of `data`; false refuses them, which ends the decoding.
  bool (*write)(void *context, const char *data, size_t size);
  void *context;
};

// Decompresses the first bzip2 stream of `source` into `sink`, through the two caller's buffers.
// Returns result::kOk; kEmpty when `source.length` is 0; result::kReadError when a read fails;
// result::kDecompressError when the decompressor cannot start, reports an error, or the data ends
// before the stream does; result::kWriteError when the sink refuses bytes. Bytes given to the sink
// before a failure stay given.
[[nodiscard]] int DecodeBzip2Stream(const Bzip2Source &source, char *input, int32_t input_size,
                                    char *output, size_t output_size, const Bzip2Sink &sink);
// The same into `out` (neither flushed nor closed).
[[nodiscard]] int DecodeBzip2Stream(const Bzip2Source &source, char *input, int32_t input_size,
                                    char *output, size_t output_size, FILE *out);
