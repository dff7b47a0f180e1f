// SPDX-License-Identifier: MIT
// Decoding ahead over real archives: every member, decoded by workers or passed to the reader,
// comes out with the bytes and the result the reader alone gives, within a small budget.
#include "archive/decode_ahead.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "archive/upk_reader.h"
#include "base/result.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

using testing_support::Bzip2;
using testing_support::ExecutableLike;
using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::UpkEntry;
using testing_support::WriteUpk;

namespace {

constexpr size_t kBudget = size_t{4} << 20;

// The result and the bytes of one extraction to a stream.
using Extracted = std::pair<int, std::string>;
template <typename Extract>
Extracted ToStream(Extract extract) {
  FILE *out = tmpfile();
  int rv = extract(out);
  fflush(out);
  std::string bytes;
  rewind(out);
  for (int c; (c = fgetc(out)) != EOF;) bytes.push_back(static_cast<char>(c));
  fclose(out);
  return {rv, bytes};
}

class DecodeAheadTest : public testing::Test {
 protected:
  void TearDown() override {
    ahead_.Stop();
    reader_.Close();
  }
  UpkReader reader_;
  DecodeAhead ahead_{&reader_};
  // Writes and opens an archive of `entries`; the names in order.
  std::vector<std::string> Open(const std::vector<UpkEntry> &entries) {
    EXPECT_TRUE(WriteUpk(dir_ / "u.upk", entries));
    EXPECT_EQ(reader_.Open((dir_ / "u.upk").c_str()), result::kOk);
    std::vector<std::string> names;
    for (const UpkEntry &e : entries) names.push_back(e.name);
    return names;
  }
  TempDir dir_;
};

std::string Lines(int count, int seed) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "line " + std::to_string(i * seed) + " of many\n";
  return text;
}

TEST_F(DecodeAheadTest, EveryMemberAsTheReaderGivesIt) {
  std::string cut = Bzip2(Lines(20000, 3));
  cut.resize(cut.size() / 2);
  std::vector<UpkEntry> entries;
  for (int i = 0; i < 12; ++i) entries.push_back({"small" + std::to_string(i), Lines(i * 50, i)});
  // Larger than the budget, in the middle: its extraction takes it over while it is decoded.
  entries.insert(entries.begin() + 4, {"big", Lines(300000, 7)});
  entries.insert(entries.begin() + 6, {"corrupt", "BZh91AY&SY not really bzip2", 0644, true});
  entries.insert(entries.begin() + 8, {"cut", cut, 0644, true});
  entries.insert(entries.begin() + 9, {"empty", "", 0644, true});
  entries.push_back({"multi-chunk", Lines(60000, 5)});  // 1.4 MB: two chunks, the last shrunk
  std::vector<std::string> names = Open(entries);

  std::vector<Extracted> expected;
  for (const std::string &n : names) {
    expected.push_back(
        ToStream([&](FILE *out) { return reader_.ExtractToStream(n.c_str(), out); }));
  }
  EXPECT_EQ(expected[6].first, result::kDecompressError);
  EXPECT_EQ(expected[8].first, result::kDecompressError);
  EXPECT_EQ(expected[9].first, result::kEmpty);

  for (const std::string &n : names) ahead_.Plan(reader_.archive(), n.c_str());
  ASSERT_EQ(ahead_.Start(3, kBudget), 3);
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(ToStream([&](FILE *out) { return ahead_.ExtractToStream(names[i].c_str(), out); }),
              expected[i]);
    EXPECT_EQ(ahead_.decodings(names[i].c_str()), 1);
  }
  EXPECT_EQ(ahead_.taken_ahead() + ahead_.taken_own(), static_cast<int>(names.size()));
}

// Members of several blocks, two of them next to each other so that both are decoded at once, one
// damaged in its third block: each worker helps with the blocks of the others' members, and every
// member comes out as the reader gives it, decoded once.
TEST_F(DecodeAheadTest, BlocksOfLargeMembersSharedByTheWorkers) {
  std::string damaged = Bzip2(ExecutableLike(3000000, 3));
  damaged[damaged.size() / 2] ^= 0x10;
  const std::vector<UpkEntry> entries = {{"small", Lines(500, 1)},
                                         {"exe-a", ExecutableLike(3000000, 1)},
                                         {"exe-b", ExecutableLike(2500000, 2)},
                                         {"between", Lines(800, 2)},
                                         {"damaged", damaged, 0644, true},
                                         {"last", Lines(300, 3)}};
  const std::vector<std::string> names = Open(entries);
  std::vector<Extracted> expected;
  for (const std::string &n : names) {
    expected.push_back(
        ToStream([&](FILE *out) { return reader_.ExtractToStream(n.c_str(), out); }));
  }
  ASSERT_EQ(expected[4].first, result::kDecompressError);
  for (int workers : {2, 3}) {
    SCOPED_TRACE(workers);
    for (const std::string &n : names) ahead_.Plan(reader_.archive(), n.c_str());
    ASSERT_EQ(ahead_.Start(workers, kBudget), workers);
    for (size_t i = 0; i < names.size(); ++i) {
      SCOPED_TRACE(names[i]);
      EXPECT_EQ(ToStream([&](FILE *out) { return ahead_.ExtractToStream(names[i].c_str(), out); }),
                expected[i]);
      EXPECT_EQ(ahead_.decodings(names[i].c_str()), 1);
    }
    ahead_.Stop();
  }
}

// A member of several blocks far down the plan, behind small members that fill the budget: a
// worker claims it at once, before any extraction, rather than leave it to its action to decode
// alone on the update's thread when it gets there.
TEST_F(DecodeAheadTest, LargeMemberLateInThePlanNotLeftToItsAction) {
  std::vector<UpkEntry> entries;
  for (int i = 0; i < 30; ++i) entries.push_back({"small" + std::to_string(i), Lines(6000, i)});
  entries.push_back({"large", ExecutableLike(3000000, 4)});
  const std::vector<std::string> names = Open(entries);
  std::vector<Extracted> expected;
  for (const std::string &n : names) {
    expected.push_back(
        ToStream([&](FILE *out) { return reader_.ExtractToStream(n.c_str(), out); }));
  }
  for (const std::string &n : names) ahead_.Plan(reader_.archive(), n.c_str());
  ASSERT_EQ(ahead_.Start(2, size_t{1} << 20), 2);
  for (int waited = 0; waited < 5000 && ahead_.decodings("large") == 0; ++waited) usleep(1000);
  EXPECT_EQ(ahead_.decodings("large"), 1);
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(ToStream([&](FILE *out) { return ahead_.ExtractToStream(names[i].c_str(), out); }),
              expected[i]);
    EXPECT_EQ(ahead_.decodings(names[i].c_str()), 1);
  }
}

// Members passed over are dropped; asked for later, or never planned, the reader extracts them.
TEST_F(DecodeAheadTest, PassedAndUnplannedMembersGoToTheReader) {
  std::vector<std::string> names =
      Open({{"a", Lines(100, 1), 0600}, {"b", Lines(200, 2)}, {"c", Lines(300, 3), 0640}});
  for (const std::string &n : names) ahead_.Plan(reader_.archive(), n.c_str());
  ahead_.Plan(reader_.archive(), "missing");  // left out of the plan
  ASSERT_EQ(reader_.ExtractToFile("c", (dir_ / "reference").c_str()), result::kOk);
  ASSERT_EQ(ahead_.Start(2, kBudget), 2);
  for (int waited = 0; ahead_.settled() < 3; ++waited) {
    ASSERT_LT(waited, 3000) << "the workers did not get through the plan";
    usleep(10000);
  }

  EXPECT_EQ(ahead_.ExtractToFile("c", (dir_ / "c").c_str()), result::kOk);
  EXPECT_EQ(ahead_.ExtractToFile("a", (dir_ / "a").c_str()), result::kOk);
  EXPECT_EQ(ahead_.ExtractToFile("missing", (dir_ / "m").c_str()), result::kReadError);
  EXPECT_EQ(ahead_.ExtractToFile("b", (dir_ / "no/such/dir").c_str()), result::kWriteError);
  EXPECT_EQ(ReadFile(dir_ / "c"), Lines(300, 3));
  EXPECT_EQ(testing_support::Mode(dir_ / "c"), testing_support::Mode(dir_ / "reference"));
  EXPECT_EQ(ReadFile(dir_ / "a"), Lines(100, 1));
  EXPECT_FALSE(Exists(dir_ / "m"));
  EXPECT_EQ(ahead_.taken_ahead(), 1);
  EXPECT_EQ(ahead_.taken_own(), 0);
}

// A member larger than the budget was given up half decoded by its worker and decoded again by its
// extraction; a conditional member was decoded before its test said it is not wanted.
TEST_F(DecodeAheadTest, NoMemberDecodedTwiceAndAnUnwantedOneNotAtAll) {
  std::vector<UpkEntry> entries = {{"first", Lines(2000, 1)},
                                   {"big", Lines(500000, 7)},
                                   {"unwanted", Lines(5000, 2)},
                                   {"wanted", Lines(5000, 3)},
                                   {"last", Lines(100, 4)}};
  std::vector<std::string> names = Open(entries);
  for (const std::string &n : names) {
    ahead_.Plan(reader_.archive(), n.c_str(), n == "unwanted" || n == "wanted");
  }
  ASSERT_EQ(ahead_.Start(2, kBudget), 2);
  ahead_.Decide("unwanted", false);
  ahead_.Decide("wanted", true);
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "unwanted") continue;
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(ToStream([&](FILE *out) { return ahead_.ExtractToStream(names[i].c_str(), out); }),
              Extracted(result::kOk, entries[i].content));
    EXPECT_EQ(ahead_.decodings(names[i].c_str()), 1);
  }
  EXPECT_EQ(ahead_.decodings("unwanted"), 0);
  EXPECT_EQ(ahead_.taken_ahead() + ahead_.taken_own(), 4);
}

}  // namespace
