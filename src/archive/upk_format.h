// SPDX-License-Identifier: MIT
// Archive format information shared by the reader and the writer: the layout constants, the
// big-endian field helpers and the bucket of a name. Nothing here fails or allocates.
//
// Layout as written: "UPK1", index offset (4), archive size (8), signature count (4), signature
// entries, additional block count (4), additional blocks, item data back to back, then at the
// index offset the index size (4) and the index entries. Every integer is big-endian. The older
// layout has only the magic and the index offset before the first item's data (at offset 8).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/byte_order.h"

namespace upk_format {

constexpr char kMagic[4] = {'U', 'P', 'K', '1'};
constexpr uint32_t kIndexOffsetPos = 4;
constexpr uint32_t kArchiveSizePos = 8;
constexpr uint32_t kSignatureCountPos = 16;
// The first signature entry follows the count: algorithm (4), data length (4), data.
constexpr uint32_t kSignatureEntriesPos = 20;
// Where the first item's data begins in the older layout (magic and index offset only).
constexpr uint32_t kOldLayoutDataOffset = 8;
// Header of a new archive: magic, index offset, archive size, signature count 0, block count 1.
constexpr uint32_t kHeaderSize = 24;
constexpr uint32_t kMaxSignatures = 8;

// Index entry: offset, length, flags, then the name and its NUL.
constexpr size_t kEntryFieldsSize = 12;
constexpr size_t kMinEntrySize = kEntryFieldsSize + 2;  // at least one name byte and the NUL

// Additional blocks: size (counting its 8 header bytes), identifier, payload.
constexpr uint32_t kBlockHeaderSize = 8;
constexpr uint32_t kProductInfoBlockId = 1;
constexpr uint32_t kProductInfoBlockSize = 104;
constexpr uint32_t kProductInfoMaxPayload = kProductInfoBlockSize - kBlockHeaderSize;  // 96
constexpr size_t kMaxProductIdLength = 63;
constexpr size_t kMaxProductVersionLength = 31;
// First item's data offset in an archive written by this library.
constexpr uint32_t kFirstDataOffset = kHeaderSize + kProductInfoBlockSize;  // 128

// The writer refuses archives above this size.
constexpr long kMaxArchiveSize = 524288000;
// Copies and index growth go in steps of this many bytes.
constexpr size_t kChunkSize = 4096;

constexpr int kBucketCount = 256;

using ::LoadBE32;
using ::StoreBE32;
using ::StoreBE64;

// h = h * 37 + byte over the name's bytes (unsigned), modulo 256.
inline unsigned Bucket(const char *name) {
  unsigned h = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p) {
    h = (h * 37 + *p) & 0xff;
  }
  return h;
}

// Reads exactly `size` bytes from the stream's position; false on a short read.
inline bool ReadExact(FILE *fp, void *buffer, size_t size) {
  return fread(buffer, 1, size, fp) == size;
}

// Reads one big-endian 32-bit field from the stream's position.
inline bool ReadBE32At(FILE *fp, uint32_t *value) {
  unsigned char bytes[4];
  if (!ReadExact(fp, bytes, sizeof(bytes))) return false;
  *value = LoadBE32(bytes);
  return true;
}

// Reads exactly `size` bytes at `offset`.
inline bool ReadAt(FILE *fp, uint64_t offset, void *buffer, size_t size) {
  return fseeko(fp, static_cast<off_t>(offset), SEEK_SET) == 0 && ReadExact(fp, buffer, size);
}

// How a walk of the index ended.
enum class IndexWalk {
  kComplete,   // at the end of the index, or at an entry whose name has no NUL (it ends the index)
  kShortTail,  // fewer bytes than the smallest entry are left (the reader refuses such an index)
  kStopped,    // `visit` returned false
};

// The one walk of the index entries: calls `visit(entry, name, name_len)` for each entry in index
// order (`entry` points at its offset field; `Byte` may be const or not) until it returns false.
template <typename Byte, typename Visit>
IndexWalk WalkIndex(Byte *index, size_t size, Visit visit) {
  size_t pos = 0;
  while (pos < size) {
    if (size - pos < kMinEntrySize) return IndexWalk::kShortTail;
    Byte *entry = index + pos;
    const char *name = reinterpret_cast<const char *>(entry + kEntryFieldsSize);
    const void *nul = memchr(name, '\0', size - pos - kEntryFieldsSize);
    if (!nul) return IndexWalk::kComplete;
    size_t name_len = static_cast<const char *>(nul) - name;
    if (!visit(entry, name, name_len)) return IndexWalk::kStopped;
    pos += kEntryFieldsSize + name_len + 1;
  }
  return IndexWalk::kComplete;
}

}  // namespace upk_format
