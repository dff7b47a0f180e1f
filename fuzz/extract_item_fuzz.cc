// SPDX-License-Identifier: MIT
// Decompression of one archive member over arbitrary stored bytes, through the update's reader,
// checked against libbz2's one-shot decompression of the same bytes: the same verdict, the same
// output, and memory bounded by the reader's buffers (the output goes to a stream that refuses
// more than 64 KiB, as a full disk would).
#include <bzlib.h>

#include <cstring>
#include <string>

#include "archive/upk.h"
#include "archive/upk_reader.h"
#include "base/byte_order.h"
#include "base/result.h"
#include "fuzz_support.h"

using fuzz_support::CappedSink;
using fuzz_support::MemFile;

namespace {

constexpr size_t kOutputCap = 1 << 16;

void PutBE32(std::string *out, uint32_t v) {
  unsigned char bytes[4];
  StoreBE32(bytes, v);
  out->append(reinterpret_cast<const char *>(bytes), sizeof(bytes));
}

// An archive of the older layout holding one member "m" whose stored bytes are `stored`.
std::string OneMemberArchive(const uint8_t *stored, size_t size) {
  std::string archive("UPK1");
  PutBE32(&archive, static_cast<uint32_t>(8 + size));
  archive.append(reinterpret_cast<const char *>(stored), size);
  PutBE32(&archive, 12 + 2);
  PutBE32(&archive, 8);
  PutBE32(&archive, static_cast<uint32_t>(size));
  PutBE32(&archive, 0644);
  archive.append("m", 2);
  return archive;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string bytes = OneMemberArchive(data, size);
  MemFile file(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  UpkReader reader;
  FUZZ_CHECK(reader.Open(file.path()) == result::kOk);

  CappedSink sink(kOutputCap);
  int rv = reader.ExtractToStream("m", sink.stream);
  FUZZ_CHECK(reader.ExtractToStream("n", sink.stream) == result::kReadError);
  reader.Close();

  // One byte more than the sink takes, so that "full" means "more than the sink takes".
  std::string expected(kOutputCap + 1, '\0');
  unsigned int expected_size = static_cast<unsigned int>(expected.size());
  int bz = BZ2_bzBuffToBuffDecompress(expected.data(), &expected_size,
                                      const_cast<char *>(reinterpret_cast<const char *>(data)),
                                      static_cast<unsigned int>(size), 0, 0);
  if (size == 0) {
    FUZZ_CHECK(rv == result::kEmpty);
  } else if (bz == BZ_OK) {
    FUZZ_CHECK(rv == result::kOk);
    FUZZ_CHECK(sink.data.size() == expected_size);
    FUZZ_CHECK(memcmp(sink.data.data(), expected.data(), expected_size) == 0);
  } else if (bz == BZ_OUTBUFF_FULL) {
    // More output than the sink takes: a write failure, unless the data turned bad in the same
    // piece that overflowed.
    FUZZ_CHECK(rv == result::kWriteError || rv == result::kDecompressError);
  } else {
    FUZZ_CHECK(rv == result::kDecompressError);
    FUZZ_CHECK(sink.data.size() <= kOutputCap);
  }
  return 0;
}
