// SPDX-License-Identifier: MIT
// Patch format information shared by the reader (ReadPatchHeader, ApplyPatch) and the writer (the
// patch generator). A patch is a 32-byte header, then the control, diff and extra blocks; every
// integer is big-endian. These helpers only describe the layout and report nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_order.h"

namespace patch_format {

// The eight bytes a patch starts with (no terminating NUL in the file).
constexpr char kMagic[8] = {'K', 'B', 'D', 'I', 'F', 'F', '1', '0'};
constexpr size_t kMagicSize = 8;

// Header: magic, then six unsigned 32-bit fields at these offsets.
constexpr size_t kSourceLengthOffset = 8;
constexpr size_t kSourceCrcOffset = 12;
constexpr size_t kDestLengthOffset = 16;
constexpr size_t kControlLengthOffset = 20;
constexpr size_t kDiffLengthOffset = 24;
constexpr size_t kExtraLengthOffset = 28;
constexpr size_t kHeaderSize = 32;

// Control triple: add length (unsigned), copy length (unsigned), seek (signed, two's complement).
constexpr size_t kAddOffset = 0;
constexpr size_t kCopyOffset = 4;
constexpr size_t kSeekOffset = 8;
constexpr size_t kTripleSize = 12;

using ::LoadBE32;
using ::StoreBE32;

// The seek field read as the signed value it holds.
inline int32_t LoadSeek(const unsigned char *p) {
  uint32_t raw = LoadBE32(p);
  return raw <= 0x7FFFFFFFu ? static_cast<int32_t>(raw)
                            : -static_cast<int32_t>(~raw) - 1;  // two's complement without UB
}

}  // namespace patch_format
