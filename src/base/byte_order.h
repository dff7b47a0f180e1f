// SPDX-License-Identifier: MIT
// The one set of big-endian helpers, for the archive and patch formats (both store their numbers
// most significant byte first). Pure functions on caller-provided bytes; nothing can fail.
#pragma once

#include <cstdint>

inline uint32_t LoadBE32(const unsigned char *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void StoreBE32(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

inline void StoreBE64(unsigned char *p, uint64_t v) {
  StoreBE32(p, static_cast<uint32_t>(v >> 32));
  StoreBE32(p + 4, static_cast<uint32_t>(v));
}
