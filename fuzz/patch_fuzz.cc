// SPDX-License-Identifier: MIT
// Reading a patch header and applying the patch over arbitrary patch files and sources. The input
// is: two bytes giving the source length n (big-endian, cut to what follows), n source bytes, then
// the patch file. The patch is applied, as the patch action does, only to a source of the length
// its header names.
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/result.h"
#include "fuzz_support.h"
#include "patch/apply_patch.h"
#include "patch/crc32.h"

using fuzz_support::CappedSink;
using fuzz_support::MemFile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  size_t source_size = (size_t{data[0]} << 8) | data[1];
  if (source_size > size - 2) source_size = size - 2;
  const uint8_t *source = data + 2;
  const uint8_t *patch = source + source_size;
  const size_t patch_size = size - 2 - source_size;

  MemFile file(patch, patch_size);
  FILE *stream = fdopen(dup(file.fd()), "rb");
  FUZZ_CHECK(stream != nullptr);
  PatchHeader header;
  int rv = ReadPatchHeader(stream, &header);
  if (patch_size < 32) FUZZ_CHECK(rv == result::kReadError);
  if (rv == result::kOk) {
    FUZZ_CHECK(ftell(stream) == 32);
    FUZZ_CHECK(uint64_t{32} + header.control_length + header.diff_length + header.extra_length ==
               patch_size);
  } else {
    FUZZ_CHECK(rv == result::kReadError || rv == result::kCorruptPatch);
  }

  if (rv == result::kOk && header.source_length == source_size) {
    // The output can never exceed the diff and extra blocks, which the file holds.
    CappedSink sink(patch_size);
    // The CRC the patch action checks, fed in two pieces, equals the CRC of the whole.
    const size_t half = source_size / 2;
    uint32_t state = Crc32Bzip2Update(kCrc32Bzip2Start, source, half);
    state = Crc32Bzip2Update(state, source + half, source_size - half);
    FUZZ_CHECK(~state == Crc32Bzip2(source, source_size));
    int applied = ApplyPatch(header, stream, source_size ? source : nullptr, sink.stream);
    FUZZ_CHECK(!sink.refused);
    FUZZ_CHECK(applied == result::kOk || applied == result::kCorruptPatch);
    FUZZ_CHECK(sink.data.size() <= uint64_t{header.diff_length} + header.extra_length);
    if (applied == result::kOk) FUZZ_CHECK(sink.data.size() == header.dest_length);
  }
  fclose(stream);
  return 0;
}
