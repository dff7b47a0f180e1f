// SPDX-License-Identifier: MIT
#include "kbdiff/make_patch.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "base/result.h"
#include "patch/apply_patch.h"
#include "patch/crc32.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Applies `patch` to `old` the way the updater does (header, size and CRC check, application).
::testing::AssertionResult RoundTrips(const Bytes &old, const Bytes &neu, const Bytes &patch) {
  if (patch.size() < 32) return ::testing::AssertionFailure() << "patch of " << patch.size();
  PatchHeader header;
  if (ParsePatchHeader(patch.data(), patch.size(), &header) != result::kOk)
    return ::testing::AssertionFailure() << "header refused";
  if (header.source_length != old.size() || header.source_crc != Crc32Bzip2(old.data(), old.size()))
    return ::testing::AssertionFailure() << "source size or CRC not recorded";
  if (header.dest_length != neu.size()) return ::testing::AssertionFailure() << "dest_length";
  Bytes body(patch.begin() + 32, patch.end());
  char *buffer = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&buffer, &size);
  int code = ApplyPatchBody(header, body.data(), old.data(), out);
  fclose(out);
  Bytes made(buffer, buffer + size);
  free(buffer);
  if (code != result::kOk) return ::testing::AssertionFailure() << "apply returned " << code;
  if (made != neu) return ::testing::AssertionFailure() << "result differs";
  return ::testing::AssertionSuccess();
}

Bytes Random(std::mt19937 *rng, size_t size) {
  Bytes b(size);
  for (uint8_t &c : b) c = static_cast<uint8_t>((*rng)());
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Slice(const Bytes &b, size_t from, size_t len) {
  return Bytes(b.begin() + from, b.begin() + from + len);
}

// A new version as real releases make them: blocks inserted, deleted, moved and changed, and
// numbers shifted by a constant here and there.
Bytes Mutate(std::mt19937 *rng, Bytes data) {
  const int edits = static_cast<int>((*rng)() % 8);
  for (int e = 0; e < edits; ++e) {
    const size_t at = data.empty() ? 0 : (*rng)() % data.size();
    const size_t len = (*rng)() % 300;
    switch ((*rng)() % 5) {
      case 0: {
        Bytes ins = Random(rng, len);
        data.insert(data.begin() + at, ins.begin(), ins.end());
        break;
      }
      case 1:
        data.erase(data.begin() + at, data.begin() + std::min(data.size(), at + len));
        break;
      case 2: {
        Bytes moved = Slice(data, at, std::min(len, data.size() - at));
        data.erase(data.begin() + at, data.begin() + at + moved.size());
        const size_t to = data.empty() ? 0 : (*rng)() % data.size();
        data.insert(data.begin() + to, moved.begin(), moved.end());
        break;
      }
      case 3:
        for (size_t i = at; i < data.size() && i < at + len; i += 7) data[i] += 3;
        break;
      default:
        if (!data.empty()) data[at] = static_cast<uint8_t>((*rng)());
    }
  }
  return data;
}

TEST(MakePatch, StructuredEditsRoundTrip) {
  std::mt19937 rng(1);
  const Bytes base = Random(&rng, 64 * 1024);
  const Bytes zeros(50000, 0);
  Bytes text;
  for (int i = 0; text.size() < 40000; ++i) {
    std::string line = "line " + std::to_string(i % 977) + ": the quick brown fox\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  Bytes shifted = base;
  for (size_t i = 0; i + 4 <= shifted.size(); i += 16) shifted[i] += 0x10;
  const std::vector<std::pair<Bytes, Bytes>> pairs = {
      {base, base},
      {base,
       Cat({Slice(base, 0, 1000), Random(&rng, 5000), Slice(base, 1000, base.size() - 1000)})},
      {base, Cat({Slice(base, 0, 20000), Slice(base, 30000, base.size() - 30000)})},
      {base, Cat({Slice(base, 40000, 24 * 1024), Slice(base, 0, 40000)})},
      {base, shifted},
      {base, Cat({base, base})},
      {Cat({base, base}), base},
      {{}, base},
      {base, {}},
      {{}, {}},
      {{7}, {7}},
      {{7}, {8, 7}},
      {base, Random(&rng, 30000)},
      {zeros, Cat({zeros, Bytes{1}, zeros})},
      {text, Mutate(&rng, text)},
  };
  for (size_t i = 0; i < pairs.size(); ++i) {
    Bytes patch;
    ASSERT_EQ(MakePatch(pairs[i].first.data(), pairs[i].first.size(), pairs[i].second.data(),
                        pairs[i].second.size(), &patch),
              MakePatchStatus::kOk);
    EXPECT_TRUE(RoundTrips(pairs[i].first, pairs[i].second, patch)) << "pair " << i;
  }
}

TEST(MakePatch, SimilarFilesGiveSmallPatches) {
  std::mt19937 rng(2);
  const Bytes old = Random(&rng, 100000);
  Bytes neu = Cat({Slice(old, 0, 50000), Random(&rng, 100), Slice(old, 50000, 50000)});
  Bytes patch;
  ASSERT_EQ(MakePatch(old.data(), old.size(), neu.data(), neu.size(), &patch),
            MakePatchStatus::kOk);
  ASSERT_TRUE(RoundTrips(old, neu, patch));
  PatchHeader header;
  ASSERT_EQ(ParsePatchHeader(patch.data(), patch.size(), &header), result::kOk);
  // The inserted bytes are copied; everything else is added from the old file with zero diffs.
  EXPECT_LE(header.extra_length, 200u);
  EXPECT_LE(header.control_length, 5u * 12);
}

TEST(MakePatch, ManyRandomPairsRoundTrip) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    const size_t size = rng() % 6000;
    Bytes old = Random(&rng, size);
    if (round % 3 == 0)  // small alphabets give many equal matches
      for (uint8_t &c : old) c %= 3;
    const Bytes neu = Mutate(&rng, old);
    Bytes patch;
    ASSERT_EQ(MakePatch(old.data(), old.size(), neu.data(), neu.size(), &patch),
              MakePatchStatus::kOk);
    ASSERT_TRUE(RoundTrips(old, neu, patch)) << "round " << round;
  }
}

// An executable-like file: instructions with 32-bit displacements, and a new build in which code
// was inserted, so that the displacements across the insertion point all change.
Bytes Executable(std::mt19937 *rng, size_t size, uint32_t shift, size_t insert_at) {
  Bytes code;
  std::mt19937 fixed(5);  // the same instruction stream for both builds
  while (code.size() < size) {
    const uint32_t target = static_cast<uint32_t>(fixed() % size);
    const uint32_t here = static_cast<uint32_t>(code.size());
    const uint32_t displacement =
        target - here + ((here < insert_at) != (target < insert_at) ? shift : 0);
    code.insert(
        code.end(),
        {0xe8, static_cast<uint8_t>(displacement), static_cast<uint8_t>(displacement >> 8),
         static_cast<uint8_t>(displacement >> 16), static_cast<uint8_t>(displacement >> 24)});
    for (int i = static_cast<int>(fixed() % 12); i > 0; --i)
      code.push_back(static_cast<uint8_t>(fixed() % 7 == 0 ? 0 : 0x40 + fixed() % 16));
  }
  if (shift) {
    const Bytes inserted = Random(rng, shift);
    code.insert(code.begin() + static_cast<std::ptrdiff_t>(insert_at), inserted.begin(),
                inserted.end());
  }
  return code;
}

// A script bundle: lines of identifiers and punctuation.
Bytes Bundle(std::mt19937 *rng, size_t size) {
  static const char *const kWords[] = {"function", "return", "const", "node", "type",
                                       "checker",  "symbol", "if",    "=>",   "flags"};
  std::string text;
  while (text.size() < size) {
    text += std::string((*rng)() % 8, ' ');
    for (int i = static_cast<int>((*rng)() % 9) + 1; i > 0; --i)
      text += std::string(kWords[(*rng)() % 10]) +
              ((*rng)() % 4 ? " " : "(x" + std::to_string((*rng)() % 99) + ") ");
    text += ";\n";
  }
  return Bytes(text.begin(), text.end());
}

TEST(MakePatch, BothMatchSettingsRoundTripOnExecutablesAndTextBundles) {
  std::mt19937 rng(6);
  const Bytes old_code = Executable(&rng, 300000, 0, 0);
  const Bytes new_code = Executable(&rng, 300000, 1237, 150000);
  const Bytes old_text = Bundle(&rng, 400000);
  Bytes new_text = Mutate(&rng, old_text);
  const Bytes moved = Slice(new_text, 1000, 30000);
  new_text.insert(new_text.end(), moved.begin(), moved.end());
  EXPECT_EQ(ChooseMatchSettings(new_code.data(), new_code.size()).margin, kBinarySettings.margin);
  EXPECT_EQ(ChooseMatchSettings(new_text.data(), new_text.size()).margin, kTextSettings.margin);
  EXPECT_EQ(ChooseMatchSettings(nullptr, 0).margin, kBinarySettings.margin);

  const std::vector<std::pair<Bytes, Bytes>> pairs = {
      {old_code, new_code}, {old_text, new_text}, {{}, new_text},
      {new_text, {}},       {old_text, old_text}, {old_text, Random(&rng, 5000)}};
  for (const MatchSettings &settings : {kBinarySettings, kTextSettings}) {
    for (size_t i = 0; i < pairs.size(); ++i) {
      const Bytes &old = pairs[i].first, &neu = pairs[i].second;
      PatchMaker maker;
      Bytes patch;
      ASSERT_EQ(maker.Index(old.data(), old.size()), MakePatchStatus::kOk);
      ASSERT_EQ(maker.Make(neu.data(), neu.size(), settings, &patch), MakePatchStatus::kOk);
      EXPECT_TRUE(RoundTrips(old, neu, patch)) << "pair " << i << ", margin " << settings.margin;
    }
  }
}

size_t Bzip2Size(const Bytes &data) {
  std::vector<char> out(data.size() + data.size() / 100 + 1024);
  unsigned int size = static_cast<unsigned int>(out.size());
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size,
                                     reinterpret_cast<char *>(const_cast<uint8_t *>(data.data())),
                                     static_cast<unsigned int>(data.size()), 9, 0, 0),
            BZ_OK);
  return size;
}

// A new release of a bundle: every line with a "(x1" in it rewritten.
Bytes Rewritten(std::mt19937 *rng, const Bytes &bundle) {
  Bytes out;
  for (size_t at = 0, end; at < bundle.size(); at = end + 1) {
    end = std::find(bundle.begin() + at, bundle.end(), '\n') - bundle.begin();
    const std::string line(bundle.begin() + at, bundle.begin() + end);
    const Bytes fresh =
        line.find("(x1") == std::string::npos ? Slice(bundle, at, end - at) : Bundle(rng, 20);
    out.insert(out.end(), fresh.begin(), fresh.end());
    out.push_back('\n');
  }
  return out;
}

// Below 1 MiB both settings are tried and the patch that compresses smaller is kept (the text
// settings win on a bundle with many lines rewritten, the binary ones on text whose every line
// changed a little). Above, text gets the text settings unless it changed in few places.
TEST(PatchMaker, EachFileGetsTheSettingsThatSuitIt) {
  std::mt19937 rng(7);
  const Bytes bundle = Bundle(&rng, 200000), large = Bundle(&rng, 1300000);
  std::string old_lines, new_lines;
  for (int i = 0; i < 5000; ++i) {
    old_lines += "old " + std::to_string(i % 3) + " line " + std::to_string(i) + "\n";
    new_lines += "new line " + std::to_string(i) + "\n";
  }
  enum Expect { kSmaller, kBinary, kText };
  const struct {
    Bytes old, neu;
    Expect expect;
  } cases[] = {
      {bundle, Rewritten(&rng, bundle), kSmaller},
      {Bytes(old_lines.begin(), old_lines.end()), Bytes(new_lines.begin(), new_lines.end()),
       kSmaller},
      {large, Rewritten(&rng, large), kText},
      {large, Cat({Slice(large, 0, 500000), Bundle(&rng, 300), Slice(large, 500000, 800000)}),
       kBinary},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Bytes &old = cases[i].old, &neu = cases[i].neu;
    Bytes chosen, binary, text;
    ASSERT_EQ(MakePatch(old.data(), old.size(), neu.data(), neu.size(), &chosen),
              MakePatchStatus::kOk);
    for (auto [settings, patch] : {std::pair{kBinarySettings, &binary}, {kTextSettings, &text}}) {
      PatchMaker maker;
      ASSERT_EQ(maker.Index(old.data(), old.size()), MakePatchStatus::kOk);
      ASSERT_EQ(maker.Make(neu.data(), neu.size(), settings, patch), MakePatchStatus::kOk);
    }
    ASSERT_NE(binary, text) << "case " << i;
    const bool binary_expected = cases[i].expect == kSmaller ? Bzip2Size(binary) <= Bzip2Size(text)
                                                             : cases[i].expect == kBinary;
    EXPECT_EQ(chosen, binary_expected ? binary : text) << "case " << i;
    EXPECT_TRUE(RoundTrips(old, neu, chosen)) << "case " << i;
  }
}

TEST(PatchMaker, EveryIndexWidthMakesTheSamePatch) {
  std::mt19937 rng(4);
  const Bytes old = Random(&rng, 20000);
  const Bytes neu = Mutate(&rng, old);
  Bytes expected;
  ASSERT_EQ(MakePatch(old.data(), old.size(), neu.data(), neu.size(), &expected),
            MakePatchStatus::kOk);
  for (int width : {4, 8}) {
    PatchMaker maker;
    maker.ForceIndexWidth(width);
    Bytes patch;
    ASSERT_EQ(maker.Index(old.data(), old.size()), MakePatchStatus::kOk);
    ASSERT_EQ(maker.Make(neu.data(), neu.size(), &patch), MakePatchStatus::kOk);
    EXPECT_EQ(patch, expected) << "width " << width;
  }
}

TEST(PatchMaker, RefusesWhatTheFormatCannotDescribe) {
  // Sizes are checked before any byte is read, so a one-byte buffer stands for a huge file.
  const uint8_t byte = 0;
  const size_t too_large = size_t{1} << 32;
  Bytes patch{1, 2, 3};
  EXPECT_EQ(MakePatch(&byte, too_large, &byte, 1, &patch), MakePatchStatus::kTooLarge);
  EXPECT_TRUE(patch.empty());
  PatchMaker maker;
  ASSERT_EQ(maker.Index(&byte, 1), MakePatchStatus::kOk);
  EXPECT_EQ(maker.Make(&byte, too_large, &patch), MakePatchStatus::kTooLarge);
  // The index is used up by Make, successful or not.
  EXPECT_EQ(maker.Make(&byte, 1, &patch), MakePatchStatus::kNoIndex);
  PatchMaker fresh;
  EXPECT_EQ(fresh.Make(&byte, 1, &patch), MakePatchStatus::kNoIndex);
}

}  // namespace
