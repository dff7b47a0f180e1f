// SPDX-License-Identifier: MIT
// kbdiff and kbpatch run as processes, with their exit codes and messages.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/result.h"
#include "support/test_support.h"

using testing_support::Exists;
using testing_support::Mode;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

const std::string kDiff = std::string(PROGRAMS_DIR) + "/kbdiff";
const std::string kPatch = std::string(PROGRAMS_DIR) + "/kbpatch";

std::string RandomText(unsigned seed, size_t size) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char &c : s) c = static_cast<char>(rng());
  return s;
}

class PatchTools : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = RandomText(1, 200000);
    new_ = old_.substr(0, 90000) + "inserted block" + old_.substr(95000);
    new_[150000] ^= 0x40;
    WriteFile(dir_ / "old", old_, 0755);
    WriteFile(dir_ / "new", new_);
    ASSERT_EQ(testing_support::Run(kDiff + " " + dir_ / "old" + " " + dir_ / "new" + " " +
                                   dir_ / "patch"),
              0);
  }
  // Runs kbpatch and keeps its standard error in `err_`.
  int Patch(const std::string &old, const std::string &patch) {
    int code = testing_support::Run(kPatch + " " + old + " " + dir_ / "out" + " " + patch + " 2>" +
                                    dir_ / "err");
    err_ = ReadFile(dir_ / "err");
    return code;
  }
  TempDir dir_;
  std::string old_, new_, err_;
};

TEST_F(PatchTools, RoundTripPlainAndBzip2CompressedWithTheOldModeBits) {
  ASSERT_EQ(Patch(dir_ / "old", dir_ / "patch"), 0) << err_;
  EXPECT_EQ(ReadFile(dir_ / "out"), new_);
  EXPECT_EQ(Mode(dir_ / "out"), 0755u);
  EXPECT_LT(ReadFile(dir_ / "patch").size(), new_.size() + 200);

  ASSERT_EQ(testing_support::Run("bzip2 -9 -k " + dir_ / "patch"), 0);
  ASSERT_EQ(testing_support::Run("rm " + dir_ / "out"), 0);
  ASSERT_EQ(Patch(dir_ / "old", dir_ / "patch.bz2"), 0) << err_;
  EXPECT_EQ(ReadFile(dir_ / "out"), new_);

  // Decoded exactly as the updater extracts a member: the first bzip2 stream only. What follows
  // its end is ignored, so a patch cut into two concatenated streams is a cut patch.
  const std::string packed = ReadFile(dir_ / "patch.bz2");
  WriteFile(dir_ / "junk", "junk");
  ASSERT_EQ(testing_support::Run("bzip2 -9 " + dir_ / "junk"), 0);
  WriteFile(dir_ / "trailing", packed + ReadFile(dir_ / "junk.bz2"));
  ASSERT_EQ(Patch(dir_ / "old", dir_ / "trailing"), 0) << err_;
  EXPECT_EQ(ReadFile(dir_ / "out"), new_);
  const std::string patch = ReadFile(dir_ / "patch");
  WriteFile(dir_ / "head", patch.substr(0, patch.size() / 2));
  WriteFile(dir_ / "tail", patch.substr(patch.size() / 2));
  ASSERT_EQ(testing_support::Run("bzip2 -9 " + dir_ / "head" + " " + dir_ / "tail"), 0);
  WriteFile(dir_ / "two", ReadFile(dir_ / "head.bz2") + ReadFile(dir_ / "tail.bz2"));
  EXPECT_EQ(Patch(dir_ / "old", dir_ / "two"), 41) << err_;
}

TEST_F(PatchTools, WrongSourceFailsWithTheMeaningAndLeavesNoOutput) {
  std::string changed = old_;
  changed[12345] ^= 1;
  WriteFile(dir_ / "changed", changed);
  EXPECT_EQ(Patch(dir_ / "changed", dir_ / "patch"), 4);
  EXPECT_NE(err_.find("kbpatch: the file to patch does not have the CRC recorded in the patch (4)"),
            std::string::npos)
      << err_;
  EXPECT_FALSE(Exists(dir_ / "out"));

  WriteFile(dir_ / "longer", old_ + "x");
  EXPECT_EQ(Patch(dir_ / "longer", dir_ / "patch"), 42);
  EXPECT_NE(err_.find("does not have the size recorded in the patch (42)"), std::string::npos);
  EXPECT_EQ(Patch(dir_ / "missing", dir_ / "patch"), 2);
}

TEST_F(PatchTools, CorruptedPatchesFailWithTheMeaning) {
  std::string patch = ReadFile(dir_ / "patch");
  std::string bad = patch;
  bad[32] = '\x7F';  // the first add length now runs past the source
  WriteFile(dir_ / "bad", bad);
  EXPECT_EQ(Patch(dir_ / "old", dir_ / "bad"), 41);
  EXPECT_NE(err_.find("kbpatch: a patch file is corrupt (41)"), std::string::npos) << err_;
  EXPECT_FALSE(Exists(dir_ / "out"));

  WriteFile(dir_ / "cut", patch.substr(0, patch.size() - 1));
  EXPECT_EQ(Patch(dir_ / "old", dir_ / "cut"), 41);
  WriteFile(dir_ / "tiny", patch.substr(0, 20));
  EXPECT_EQ(Patch(dir_ / "old", dir_ / "tiny"), 6);
  // A damaged compressed patch is the decompressor's failure.
  ASSERT_EQ(testing_support::Run("bzip2 -9 -k " + dir_ / "patch"), 0);
  std::string packed = ReadFile(dir_ / "patch.bz2");
  WriteFile(dir_ / "packed", packed.substr(0, packed.size() / 2));
  EXPECT_EQ(Patch(dir_ / "old", dir_ / "packed"), 39);
  // Compressed, a patch shorter or longer than its header says fails as it does uncompressed.
  const std::pair<std::string, int> sized[] = {
      {patch.substr(0, patch.size() - 1), 41}, {patch.substr(0, 20), 6}, {patch + "x", 41}};
  for (const auto &[bytes, code] : sized) {
    WriteFile(dir_ / "sized", bytes);
    ASSERT_EQ(testing_support::Run("bzip2 -9 -f " + dir_ / "sized"), 0);
    EXPECT_EQ(Patch(dir_ / "old", dir_ / "sized.bz2"), code) << bytes.size() << " bytes";
    EXPECT_FALSE(Exists(dir_ / "out"));
  }
}

TEST(PatchToolsCommandLine, HelpUsageAndRefusedInputs) {
  TempDir dir;
  EXPECT_EQ(testing_support::Run(kDiff + " --help >" + dir / "help"), 0);
  EXPECT_EQ(ReadFile(dir / "help").rfind("Usage: kbdiff [--help] OLD NEW PATCH\n", 0), 0u);
  EXPECT_EQ(testing_support::Run(kPatch + " -h >" + dir / "help"), 0);
  EXPECT_NE(ReadFile(dir / "help").find("Exit status"), std::string::npos);
  // The codes' meanings come from the one table of them.
  EXPECT_NE(ReadFile(dir / "help")
                .find(std::string("  41  ") + result::MeaningOf(result::kCorruptPatch) + "\n"),
            std::string::npos);
  EXPECT_EQ(testing_support::Run(kDiff + " a b 2>/dev/null"), 1);
  EXPECT_EQ(testing_support::Run(kPatch + " a b c d 2>/dev/null"), 1);
  EXPECT_EQ(testing_support::Run(kDiff + " --fast a b c 2>/dev/null"), 1);
  EXPECT_EQ(testing_support::Run(kDiff + " " + dir / "none " + dir / "none " + dir / "p 2>" +
                                 dir / "err"),
            2);
  EXPECT_NE(ReadFile(dir / "err").find("kbdiff: cannot read"), std::string::npos);
  EXPECT_FALSE(Exists(dir / "p"));
  // A directory is not a file to diff.
  EXPECT_EQ(testing_support::Run(kDiff + " " + dir.path() + " " + dir.path() + " " +
                                 dir / "p 2>/dev/null"),
            1);
}

}  // namespace
