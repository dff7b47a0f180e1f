// SPDX-License-Identifier: MIT
// The CRC that a patch records for the file it applies to: CRC-32 in the form bzip2 computes
// (polynomial 0x04C11DB7, most significant bit first, start 0xFFFFFFFF, result complemented).
// Pure computation; nothing here fails.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC of `size` bytes at `data` (0 for no bytes; "123456789" gives 0xFC891918).
// REQUIRES: `data` points to `size` readable bytes (it may be null when `size` is 0).
uint32_t Crc32Bzip2(const unsigned char *data, size_t size);

// Continues a CRC over more bytes: start with kCrc32Bzip2Start, feed every piece in order, and
// complement the final state (Crc32Bzip2 does exactly this for one piece).
constexpr uint32_t kCrc32Bzip2Start = 0xFFFFFFFFu;
uint32_t Crc32Bzip2Update(uint32_t state, const unsigned char *data, size_t size);
