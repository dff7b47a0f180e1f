// SPDX-License-Identifier: MIT
// Byte-level archive building for tests that need layouts our writer never produces: the older
// layout, signed archives, damaged indexes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/byte_order.h"

namespace raw_archive {

inline std::string BE32(uint32_t v) {
  unsigned char bytes[4];
  StoreBE32(bytes, v);
  return std::string(reinterpret_cast<const char *>(bytes), sizeof(bytes));
}

// One index entry: offset, length, flags, name and (unless `nul` is false) its NUL.
inline std::string Entry(uint32_t offset, uint32_t length, uint32_t flags, const std::string &name,
                         bool nul = true) {
  return BE32(offset) + BE32(length) + BE32(flags) + name + (nul ? std::string(1, '\0') : "");
}

struct Item {
  std::string name;
  std::string data;
  uint32_t flags = 0644;
};

// `prefix` (starting with "UPK1" and a placeholder index offset) followed by the items' data and an
// index of them; `index_tail` is appended to the index bytes (and counted in the index size).
inline std::string Build(std::string prefix, const std::vector<Item> &items,
                         const std::string &index_tail = "") {
  std::string index;
  std::string data;
  for (const Item &item : items) {
    uint32_t offset = static_cast<uint32_t>(prefix.size() + data.size());
    index += Entry(offset, static_cast<uint32_t>(item.data.size()), item.flags, item.name);
    data += item.data;
  }
  index += index_tail;
  std::string out = prefix + data;
  out.replace(4, 4, BE32(static_cast<uint32_t>(out.size())));
  return out + BE32(static_cast<uint32_t>(index.size())) + index;
}

// The older layout: magic and index offset, then the first item's data at offset 8.
inline std::string OldLayout(const std::vector<Item> &items, const std::string &index_tail = "") {
  return Build(std::string("UPK1") + BE32(0), items, index_tail);
}

// A product information block of `size` bytes (the strings padded or cut to fit).
inline std::string ProductBlock(const std::string &id, const std::string &version,
                                uint32_t size = 104) {
  std::string payload = id + std::string(1, '\0') + version + std::string(1, '\0');
  payload.resize(size - 8, '\0');
  return BE32(size) + BE32(1) + payload;
}

// The newer layout with the given signature entries (each: 4-byte field, length, bytes) and
// additional blocks.
inline std::string WithBlocks(const std::vector<std::string> &signatures,
                              const std::vector<std::string> &blocks,
                              const std::vector<Item> &items) {
  std::string prefix = std::string("UPK1") + BE32(0) + BE32(0) + BE32(0) +
                       BE32(static_cast<uint32_t>(signatures.size()));
  for (const std::string &s : signatures) {
    prefix += BE32(0) + BE32(static_cast<uint32_t>(s.size())) + s;
  }
  prefix += BE32(static_cast<uint32_t>(blocks.size()));
  for (const std::string &b : blocks) prefix += b;
  return Build(prefix, items);
}

}  // namespace raw_archive
