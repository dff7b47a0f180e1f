// SPDX-License-Identifier: MIT
#include "patch/apply_patch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/result.h"
#include "patch/crc32.h"
#include "patch/patch_format.h"
#include "support/test_support.h"

// libbz2 exports its CRC table without declaring it in its header.
extern "C" unsigned int BZ2_crc32Table[256];

using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

struct Triple {
  uint32_t add, copy;
  int32_t seek;
};

// A patch file with the given fields; source_crc is not checked by these operations.
std::string MakePatchFile(uint32_t source_length, uint32_t dest_length,
                          const std::vector<Triple> &triples, const std::string &diff,
                          const std::string &extra) {
  std::string control;
  for (const Triple &t : triples) {
    unsigned char bytes[12];
    patch_format::StoreBE32(bytes, t.add);
    patch_format::StoreBE32(bytes + 4, t.copy);
    patch_format::StoreBE32(bytes + 8, static_cast<uint32_t>(t.seek));
    control.append(reinterpret_cast<char *>(bytes), 12);
  }
  unsigned char header[32];
  memcpy(header, "KBDIFF10", 8);
  const uint32_t fields[6] = {source_length,
                              0,
                              dest_length,
                              static_cast<uint32_t>(control.size()),
                              static_cast<uint32_t>(diff.size()),
                              static_cast<uint32_t>(extra.size())};
  for (int i = 0; i < 6; ++i) patch_format::StoreBE32(header + 8 + 4 * i, fields[i]);
  return std::string(reinterpret_cast<char *>(header), 32) + control + diff + extra;
}

// Reads the header of `patch` from a real file and applies it to `source`; the output is in *out.
int Apply(const std::string &patch, const std::string &source, std::string *out) {
  TempDir dir;
  WriteFile(dir / "p", patch);
  FILE *in = fopen((dir / "p").c_str(), "rb");
  PatchHeader header;
  int code = ReadPatchHeader(in, &header);
  if (code == result::kOk) {
    EXPECT_EQ(ftell(in), 32);
    char *buffer = nullptr;
    size_t size = 0;
    FILE *output = open_memstream(&buffer, &size);
    code = ApplyPatch(header, in, reinterpret_cast<const unsigned char *>(source.data()), output);
    fclose(output);
    out->assign(buffer, size);
    free(buffer);
  }
  fclose(in);
  return code;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

uint32_t ReferenceCrc(const std::string &data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : data) crc = (crc << 8) ^ BZ2_crc32Table[(crc >> 24) ^ b];
  return ~crc;
}

TEST(Crc32Bzip2, CheckValuesAndAgreementWithTheBzip2Table) {
  EXPECT_EQ(Crc32Bzip2(nullptr, 0), 0u);
  EXPECT_EQ(Crc32Bzip2(reinterpret_cast<const unsigned char *>("123456789"), 9), 0xFC891918u);
  std::mt19937 rng(7);
  std::string data(1 << 16, '\0');
  for (char &c : data) c = static_cast<char>(rng());
  const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
  // Every length around the eight-byte steps, and every start alignment.
  for (size_t start = 0; start < 8; ++start)
    for (size_t len = 0; len < 40; ++len)
      ASSERT_EQ(Crc32Bzip2(bytes + start, len), ReferenceCrc(data.substr(start, len)))
          << start << "+" << len;
  EXPECT_EQ(Crc32Bzip2(bytes, data.size()), ReferenceCrc(data));
  uint32_t state = kCrc32Bzip2Start;
  state = Crc32Bzip2Update(state, bytes, 1001);
  state = Crc32Bzip2Update(state, bytes + 1001, data.size() - 1001);
  EXPECT_EQ(~state, ReferenceCrc(data));
}

TEST(ApplyPatch, AddsDiffBytesToSourceBytesModulo256) {
  std::string out;
  ASSERT_EQ(Apply(MakePatchFile(3, 3, {{3, 0, 0}}, Bytes({0x01, 0x00, 0x02}), ""),
                  Bytes({0x10, 0x20, 0xFF}), &out),
            result::kOk);
  EXPECT_EQ(out, Bytes({0x11, 0x20, 0x01}));
}

TEST(ApplyPatch, SeeksMoveThroughTheSourceBothWaysUpToItsEnd) {
  std::string out;
  // x = 0 and y = 0 only move; a negative seek uses bytes again; a seek may end exactly at the end.
  auto patch = MakePatchFile(4, 9, {{0, 0, 2}, {2, 1, -4}, {4, 0, -4}, {0, 2, 4}},
                             std::string(6, '\0'), "XYZ");
  ASSERT_EQ(Apply(patch, "abcd", &out), result::kOk);
  EXPECT_EQ(out, "cdXabcdYZ");

  // One byte beyond the end, or before the start: corrupt, with the earlier triples written.
  EXPECT_EQ(
      Apply(MakePatchFile(4, 2, {{2, 0, 0}, {0, 0, 3}}, std::string(2, '\0'), ""), "abcd", &out),
      result::kCorruptPatch);
  EXPECT_EQ(out, "ab");
  EXPECT_EQ(Apply(MakePatchFile(4, 1, {{1, 0, -2}}, std::string(1, '\0'), ""), "abcd", &out),
            result::kCorruptPatch);
  EXPECT_EQ(out, "a");
  EXPECT_EQ(Apply(MakePatchFile(4, 0, {{0, 0, INT32_MIN}}, "", ""), "abcd", &out),
            result::kCorruptPatch);
}

TEST(ApplyPatch, LengthsBeyondTheirBlocksAreCorruptAfterTheEarlierTriples) {
  std::string out;
  // Add length one more than the source bytes left after position 1.
  EXPECT_EQ(
      Apply(MakePatchFile(3, 5, {{1, 1, 0}, {3, 0, 0}}, std::string(4, '\0'), "E"), "abc", &out),
      result::kCorruptPatch);
  EXPECT_EQ(out, "aE");
  // Add length one more than the diff bytes left.
  EXPECT_EQ(
      Apply(MakePatchFile(3, 3, {{1, 0, 0}, {2, 0, 0}}, std::string(2, '\0'), ""), "abc", &out),
      result::kCorruptPatch);
  EXPECT_EQ(out, "a");
  // Copy length one more than the extra bytes left.
  EXPECT_EQ(Apply(MakePatchFile(3, 4, {{0, 2, 0}, {0, 2, 0}}, "", "XYZ"), "abc", &out),
            result::kCorruptPatch);
  EXPECT_EQ(out, "XY");
  // Lengths near 2^32 must not wrap around in the checks.
  EXPECT_EQ(Apply(MakePatchFile(3, 0, {{0xFFFFFFFFu, 0, 0}}, "", ""), "abc", &out),
            result::kCorruptPatch);
  EXPECT_EQ(Apply(MakePatchFile(3, 0, {{0, 0xFFFFFFFFu, 0}}, "", "X"), "abc", &out),
            result::kCorruptPatch);
}

TEST(ApplyPatch, LeftoverDiffAndExtraBytesAreIgnored) {
  std::string out;
  ASSERT_EQ(Apply(MakePatchFile(2, 2, {{1, 1, 0}}, Bytes({1, 9, 9}), "Zqq"), "ab", &out),
            result::kOk);
  EXPECT_EQ(out, "bZ");
  ASSERT_EQ(Apply(MakePatchFile(0, 0, {}, "", ""), "", &out), result::kOk);
  EXPECT_EQ(out, "");
}

TEST(ApplyPatch, PatchThatMakesAnotherLengthThanItAnnouncesIsCorrupt) {
  // The caller reserves dest_length bytes for the new file: a shorter result would leave zeros.
  std::string out;
  EXPECT_EQ(Apply(MakePatchFile(2, 3, {{2, 0, 0}}, std::string(2, '\0'), ""), "ab", &out),
            result::kCorruptPatch);
  EXPECT_EQ(Apply(MakePatchFile(2, 1, {{2, 0, 0}}, std::string(2, '\0'), ""), "ab", &out),
            result::kCorruptPatch);
}

TEST(ReadPatchHeader, ShortFilesWrongMagicAndSizesThatDoNotAddUp) {
  std::string out;
  const std::string good = MakePatchFile(2, 2, {{2, 0, 0}}, std::string(2, '\0'), "");
  EXPECT_EQ(Apply(good.substr(0, 31), "ab", &out), result::kReadError);
  EXPECT_EQ(Apply("", "ab", &out), result::kReadError);
  EXPECT_EQ(Apply(good + "x", "ab", &out), result::kCorruptPatch);
  EXPECT_EQ(Apply(good.substr(0, good.size() - 1), "ab", &out), result::kCorruptPatch);
  std::string magic = good;
  magic[7] = '1';
  EXPECT_EQ(Apply(magic, "ab", &out), result::kCorruptPatch);
  // Control block that is not whole triples (the 2 diff bytes counted as control).
  std::string partial = good;
  patch_format::StoreBE32(reinterpret_cast<unsigned char *>(&partial[20]), 14);
  patch_format::StoreBE32(reinterpret_cast<unsigned char *>(&partial[24]), 0);
  EXPECT_EQ(Apply(partial, "ab", &out), result::kCorruptPatch);
  // Block lengths whose 32-bit sum wraps around to the file's size.
  std::string wrap = MakePatchFile(0, 0, {}, "", "");
  patch_format::StoreBE32(reinterpret_cast<unsigned char *>(&wrap[24]), 0x80000000u);
  patch_format::StoreBE32(reinterpret_cast<unsigned char *>(&wrap[28]), 0x80000000u);
  EXPECT_EQ(Apply(wrap, "", &out), result::kCorruptPatch);

  PatchHeader header;
  ASSERT_EQ(
      ParsePatchHeader(reinterpret_cast<const unsigned char *>(good.data()), good.size(), &header),
      result::kOk);
  EXPECT_EQ(header.source_length, 2u);
  EXPECT_EQ(header.dest_length, 2u);
  EXPECT_EQ(header.control_length, 12u);
  EXPECT_EQ(header.diff_length, 2u);
  EXPECT_EQ(header.extra_length, 0u);
}

TEST(ApplyPatch, ShortBodyIsAReadErrorAndAFailedWriteAWriteError) {
  const std::string patch =
      MakePatchFile(0, 1 << 16, {{0, 1 << 16, 0}}, "", std::string(1 << 16, 'x'));
  PatchHeader header;
  ASSERT_EQ(ParsePatchHeader(reinterpret_cast<const unsigned char *>(patch.data()), patch.size(),
                             &header),
            result::kOk);
  TempDir dir;
  WriteFile(dir / "short", patch.substr(32, patch.size() - 33));
  FILE *in = fopen((dir / "short").c_str(), "rb");
  FILE *sink = fopen("/dev/null", "wb");
  EXPECT_EQ(ApplyPatch(header, in, nullptr, sink), result::kReadError);
  fclose(sink);
  fclose(in);

  WriteFile(dir / "body", patch.substr(32));
  in = fopen((dir / "body").c_str(), "rb");
  FILE *full = fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(ApplyPatch(header, in, nullptr, full), result::kWriteError);
  fclose(full);
  fclose(in);
}

TEST(ApplyPatchBody, RandomControlBlocksNeverReachOutsideTheirBuffers) {
  // Each body and source is allocated at its exact size, so a sanitizer build flags any stray read.
  std::mt19937 rng(11);
  int corrupt = 0;
  for (int round = 0; round < 2000; ++round) {
    const uint32_t source_length = rng() % 64, diff_length = rng() % 64, extra_length = rng() % 64;
    const uint32_t triples = rng() % 5;
    PatchHeader header = {{}, source_length, 0, 0, triples * 12, diff_length, extra_length};
    std::vector<unsigned char> body(header.control_length + diff_length + extra_length);
    for (unsigned char &b : body) b = static_cast<unsigned char>(rng());
    for (uint32_t t = 0; t < triples; ++t) {  // mostly small values, sometimes huge ones
      for (int field = 0; field < 3; ++field) {
        uint32_t v = rng() % 4 == 0 ? rng() : rng() % 80;
        if (field == 2 && rng() % 2) v = static_cast<uint32_t>(-static_cast<int32_t>(v % 80));
        patch_format::StoreBE32(&body[t * 12 + field * 4], v);
      }
    }
    std::vector<unsigned char> source(source_length);
    header.dest_length = rng() % 128;
    FILE *sink = fopen("/dev/null", "wb");
    int code = ApplyPatchBody(header, body.data(), source.data(), sink);
    fclose(sink);
    ASSERT_TRUE(code == result::kOk || code == result::kCorruptPatch) << code;
    corrupt += code == result::kCorruptPatch;
  }
  EXPECT_GT(corrupt, 1000);
}

}  // namespace
