// SPDX-License-Identifier: MIT
#include "patch/crc32.h"

#include <array>

#include "base/byte_order.h"

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;

// tables[0] is the classic byte table (crc << 8 ^ T[crc >> 24 ^ b]); tables[k][b] is the effect of
// byte b followed by k zero bytes, so eight bytes can be folded in with eight independent look-ups.
struct Tables {
  uint32_t t[8][256];
};

constexpr Tables MakeTables() {
  Tables tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) ? (crc << 1) ^ kPolynomial : crc << 1;
    tables.t[0][b] = crc;
  }
  for (int k = 1; k < 8; ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t prev = tables.t[k - 1][b];
      tables.t[k][b] = (prev << 8) ^ tables.t[0][prev >> 24];
    }
  }
  return tables;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables.t[0][1] == 0x04C11DB7u && kTables.t[0][255] == 0xB1F740B4u, "CRC table");

}  // namespace

uint32_t Crc32Bzip2Update(uint32_t crc, const unsigned char *data, size_t size) {
  const auto &t = kTables.t;
  while (size >= 8) {
    uint32_t one = LoadBE32(data) ^ crc;
    uint32_t two = LoadBE32(data + 4);
    crc = t[7][one >> 24] ^ t[6][(one >> 16) & 0xFF] ^ t[5][(one >> 8) & 0xFF] ^ t[4][one & 0xFF] ^
          t[3][two >> 24] ^ t[2][(two >> 16) & 0xFF] ^ t[1][(two >> 8) & 0xFF] ^ t[0][two & 0xFF];
    data += 8;
    size -= 8;
  }
  while (size-- > 0) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *data++];
  return crc;
}

uint32_t Crc32Bzip2(const unsigned char *data, size_t size) {
  return ~Crc32Bzip2Update(kCrc32Bzip2Start, data, size);
}
