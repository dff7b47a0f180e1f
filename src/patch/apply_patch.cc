// SPDX-License-Identifier: MIT
#include "patch/apply_patch.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/result.h"
#include "patch/patch_format.h"

using namespace patch_format;

int ParsePatchHeader(const unsigned char *bytes, uint64_t file_size, PatchHeader *header) {
  memcpy(header->magic, bytes, kMagicSize);
  header->source_length = LoadBE32(bytes + kSourceLengthOffset);
  header->source_crc = LoadBE32(bytes + kSourceCrcOffset);
  header->dest_length = LoadBE32(bytes + kDestLengthOffset);
  header->control_length = LoadBE32(bytes + kControlLengthOffset);
  header->diff_length = LoadBE32(bytes + kDiffLengthOffset);
  header->extra_length = LoadBE32(bytes + kExtraLengthOffset);
  if (memcmp(header->magic, kMagic, kMagicSize) != 0) return result::kCorruptPatch;
  // Three 32-bit lengths plus the header cannot overflow 64 bits.
  uint64_t expected =
      kHeaderSize + uint64_t{header->control_length} + header->diff_length + header->extra_length;
  if (expected != file_size) return result::kCorruptPatch;
  // A partial triple would be read from bytes that belong to the diff block.
  if (header->control_length % kTripleSize != 0) return result::kCorruptPatch;
  return result::kOk;
}

int ReadPatchHeader(FILE *patch, PatchHeader *header) {
  unsigned char bytes[kHeaderSize];
  if (fread(bytes, 1, kHeaderSize, patch) != kHeaderSize) return result::kReadError;
  struct stat st;
  if (fstat(fileno(patch), &st) != 0 || st.st_size < 0) return result::kReadError;
  return ParsePatchHeader(bytes, static_cast<uint64_t>(st.st_size), header);
}

int ApplyPatchBody(const PatchHeader &header, unsigned char *body, const unsigned char *source,
                   FILE *out) {
  const uint64_t control_length = header.control_length;
  if (control_length % kTripleSize != 0) return result::kCorruptPatch;
  const unsigned char *control = body;
  unsigned char *diff = body + control_length;
  const unsigned char *extra = diff + header.diff_length;
  uint64_t diff_left = header.diff_length;
  uint64_t extra_left = header.extra_length;
  const uint64_t source_length = header.source_length;
  uint64_t position = 0;  // always within [0, source_length]
  const uint64_t dest_length = header.dest_length;
  uint64_t produced = 0;  // always within [0, dest_length]

  for (uint64_t at = 0; at < control_length; at += kTripleSize) {
    const uint64_t add = LoadBE32(control + at + kAddOffset);
    const uint64_t copy = LoadBE32(control + at + kCopyOffset);
    const int64_t seek = LoadSeek(control + at + kSeekOffset);

    // The new file's space is reserved with dest_length: nothing is written beyond it.
    if (add > source_length - position || add > diff_left || add > dest_length - produced) {
      return result::kCorruptPatch;
    }
    const unsigned char *from = source + position;
    for (uint64_t i = 0; i < add; ++i) diff[i] = static_cast<unsigned char>(diff[i] + from[i]);
    if (fwrite(diff, 1, add, out) != add) return result::kWriteError;
    diff += add;
    diff_left -= add;
    position += add;
    produced += add;

    if (copy > extra_left || copy > dest_length - produced) return result::kCorruptPatch;
    if (fwrite(extra, 1, copy, out) != copy) return result::kWriteError;
    extra += copy;
    extra_left -= copy;
    produced += copy;

    // position <= 4 GiB and |seek| <= 2 GiB, so the sum fits a signed 64-bit value.
    const int64_t moved = static_cast<int64_t>(position) + seek;
    if (moved < 0 || static_cast<uint64_t>(moved) > source_length) return result::kCorruptPatch;
    position = static_cast<uint64_t>(moved);
  }
  // A patch that makes a shorter file than it announces would leave the space reserved for the
  // announced length as a tail of zero bytes behind a success.
  if (produced != dest_length) return result::kCorruptPatch;
  return result::kOk;
}

int ApplyPatch(const PatchHeader &header, FILE *patch, const unsigned char *source, FILE *out) {
  const uint64_t body_length =
      uint64_t{header.control_length} + header.diff_length + header.extra_length;
  if (body_length > SIZE_MAX) return result::kPatchNoMemory;
  const size_t size = static_cast<size_t>(body_length);
  // One byte at least, so that an empty body is not mistaken for a failed allocation.
  std::unique_ptr<unsigned char, decltype(&free)> body(
      static_cast<unsigned char *>(malloc(size > 0 ? size : 1)), &free);
  if (!body) return result::kPatchNoMemory;
  if (fread(body.get(), 1, size, patch) != size) return result::kReadError;
  return ApplyPatchBody(header, body.get(), source, out);
}
