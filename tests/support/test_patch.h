// SPDX-License-Identifier: MIT
// Writes small but complete patch files for tests: a real header (with the source's CRC) and a
// body of control triples, diff and extra bytes, laid out as the updater reads them. Header-only;
// link the `patch` library for the CRC.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patch/crc32.h"
#include "patch/patch_format.h"

namespace testing_support {

struct PatchTriple {
  uint32_t add;   // output bytes made from diff + source bytes
  uint32_t copy;  // output bytes copied from the extra block
  int32_t seek;   // source position change afterwards
};

// A patch file for `source` from explicit triples and blocks; `dest_length` as announced.
inline std::string PatchFile(const std::string &source, uint32_t dest_length,
                             const std::vector<PatchTriple> &triples, const std::string &diff,
                             const std::string &extra) {
  using namespace patch_format;
  std::string control(triples.size() * kTripleSize, '\0');
  unsigned char *c = reinterpret_cast<unsigned char *>(control.data());
  for (size_t i = 0; i < triples.size(); ++i) {
    StoreBE32(c + i * kTripleSize + kAddOffset, triples[i].add);
    StoreBE32(c + i * kTripleSize + kCopyOffset, triples[i].copy);
    StoreBE32(c + i * kTripleSize + kSeekOffset, static_cast<uint32_t>(triples[i].seek));
  }
  std::string header(kHeaderSize, '\0');
  unsigned char *h = reinterpret_cast<unsigned char *>(header.data());
  header.replace(0, kMagicSize, kMagic, kMagicSize);
  StoreBE32(h + kSourceLengthOffset, static_cast<uint32_t>(source.size()));
  StoreBE32(h + kSourceCrcOffset,
            Crc32Bzip2(reinterpret_cast<const unsigned char *>(source.data()), source.size()));
  StoreBE32(h + kDestLengthOffset, dest_length);
  StoreBE32(h + kControlLengthOffset, static_cast<uint32_t>(control.size()));
  StoreBE32(h + kDiffLengthOffset, static_cast<uint32_t>(diff.size()));
  StoreBE32(h + kExtraLengthOffset, static_cast<uint32_t>(extra.size()));
  return header + control + diff + extra;
}

// A patch that turns `from` into `to`: the common length is made by adding differences to the
// source bytes, the rest of `to` comes from the extra block. `announced_delta` is added to the
// announced result length (0 for a sound patch).
inline std::string MakePatch(const std::string &from, const std::string &to,
                             int64_t announced_delta = 0) {
  size_t common = from.size() < to.size() ? from.size() : to.size();
  std::string diff(common, '\0');
  for (size_t i = 0; i < common; ++i) diff[i] = static_cast<char>(to[i] - from[i]);
  uint32_t dest = static_cast<uint32_t>(static_cast<int64_t>(to.size()) + announced_delta);
  return PatchFile(from, dest,
                   {{static_cast<uint32_t>(common), static_cast<uint32_t>(to.size() - common), 0}},
                   diff, to.substr(common));
}

}  // namespace testing_support
