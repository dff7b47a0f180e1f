// SPDX-License-Identifier: MIT
#include "archive/bzip2_stream.h"

#include <bzlib.h>

#include <cstring>

#include "base/result.h"

int DecodeBzip2Stream(const Bzip2Source &source, char *input, int32_t input_size, char *output,
                      size_t output_size, const Bzip2Sink &sink) {
  bz_stream stream;
  memset(&stream, 0, sizeof(stream));
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return result::kDecompressError;

  int64_t position = 0;
  int rv = result::kOk;
  while (true) {
    if (source.length == 0) {
      rv = result::kEmpty;
      break;
    }
    if (position < source.length && stream.avail_in == 0) {
      int got = source.read(source.context, input, input_size);
      if (got <= 0) {
        rv = result::kReadError;
        break;
      }
      position += got;
      stream.next_in = input;
      stream.avail_in = static_cast<unsigned>(got);
    }
    stream.next_out = output;
    stream.avail_out = static_cast<unsigned>(output_size);
    int bz = BZ2_bzDecompress(&stream);
    if (bz != BZ_OK && bz != BZ_STREAM_END) {
      rv = result::kDecompressError;
      break;
    }
    size_t produced = output_size - stream.avail_out;
    if (produced != 0 && !sink.write(sink.context, output, produced)) {
      rv = result::kWriteError;
      break;
    }
    if (bz == BZ_STREAM_END) break;
    // Every stored byte consumed and nothing more to give: the bzip2 stream is cut short.
    if (produced == 0 && stream.avail_in == 0 && position >= source.length) {
      rv = result::kDecompressError;
      break;
    }
  }
  BZ2_bzDecompressEnd(&stream);
  return rv;
}

int DecodeBzip2Stream(const Bzip2Source &source, char *input, int32_t input_size, char *output,
                      size_t output_size, FILE *out) {
  Bzip2Sink sink;
  sink.write = [](void *context, const char *data, size_t size) {
    return fwrite(data, 1, size, static_cast<FILE *>(context)) == size;
  };
  sink.context = out;
  return DecodeBzip2Stream(source, input, input_size, output, output_size, sink);
}
