// SPDX-License-Identifier: MIT
// The update's archive reader over archives written by our writer with members compressed by the
// real libbz2: extraction to files and streams, damaged members, the product check and the
// version comparison.
#include "archive/upk_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "base/result.h"
#include "raw_archive.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

using testing_support::Bzip2;
using testing_support::Exists;
using testing_support::Mode;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::UpkEntry;
using testing_support::WriteFile;
using testing_support::WriteUpk;

namespace {

// Bytes that bzip2 cannot shrink, so both the stored and the decompressed item span several of
// the reader's 262144-byte buffers.
std::string Incompressible(size_t size) {
  std::string out(size, '\0');
  uint32_t x = 2463534242u;
  for (char &c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

// The reader is process-wide; every test leaves it closed.
class ReaderTest : public testing::Test {
 protected:
  void TearDown() override { reader_.Close(); }
  UpkReader reader_;
  TempDir dir_;
};

TEST_F(ReaderTest, ExtractsMembersToFilesAndStreams) {
  std::string big = Incompressible(700000);
  std::string repetitive(1000000, 'r');  // tiny when stored, four output buffers when extracted
  ASSERT_TRUE(WriteUpk(dir_ / "u.upk", {{"updatev3.manifest", "add \"big\"\n", 0644},
                                        {"dir/big", big, 0755},
                                        {"rep", repetitive, 0600}}));
  ASSERT_GT(Bzip2(big).size(), 2u * 262144u);
  ASSERT_EQ(reader_.Open((dir_ / "u.upk").c_str()), result::kOk);
  EXPECT_EQ(reader_.CheckArchiveOpen(), result::kOk);

  mode_t old_mask = umask(027);
  EXPECT_EQ(reader_.ExtractToFile("dir/big", (dir_ / "big").c_str()), result::kOk);
  EXPECT_EQ(reader_.ExtractToFile("rep", (dir_ / "rep").c_str()), result::kOk);
  umask(old_mask);
  EXPECT_TRUE(ReadFile(dir_ / "big") == big);
  EXPECT_EQ(Mode(dir_ / "big"), 0750u);
  EXPECT_TRUE(ReadFile(dir_ / "rep") == repetitive);
  EXPECT_EQ(Mode(dir_ / "rep"), 0600u);

  // A stream receives the member after what it already holds, and is left open.
  FILE *out = fopen((dir_ / "stream").c_str(), "wb");
  ASSERT_NE(out, nullptr);
  fputs("before:", out);
  EXPECT_EQ(reader_.ExtractToStream("updatev3.manifest", out), result::kOk);
  EXPECT_EQ(reader_.ExtractToStream("updatev3.manifest", out), result::kOk);
  EXPECT_EQ(fclose(out), 0);
  EXPECT_EQ(ReadFile(dir_ / "stream"), "before:add \"big\"\nadd \"big\"\n");

  // An existing file is truncated.
  WriteFile(dir_ / "old", std::string(5000, 'o'));
  EXPECT_EQ(reader_.ExtractToFile("updatev3.manifest", (dir_ / "old").c_str()), 0);
  EXPECT_EQ(ReadFile(dir_ / "old"), "add \"big\"\n");

  // Missing member: 6 and no file; an output that cannot be created: 7.
  EXPECT_EQ(reader_.ExtractToFile("updatev2.manifest", (dir_ / "none").c_str()),
            result::kReadError);
  EXPECT_FALSE(Exists(dir_ / "none"));
  EXPECT_EQ(reader_.ExtractToFile("rep", (dir_ / "no/such/dir").c_str()),
            result::kWriteError);
}

TEST_F(ReaderTest, UnusualAndDamagedMembers) {
  std::string two_streams = Bzip2("first stream") + Bzip2("second stream");
  ASSERT_TRUE(WriteUpk(dir_ / "u.upk", {{"empty", "", 0644},
                                        {"two", two_streams, 0644, true},
                                        {"junk", "this is not a bzip2 stream at all", 0644, true},
                                        {"zero", "", 0644, true}}));
  ASSERT_EQ(reader_.Open((dir_ / "u.upk").c_str()), result::kOk);

  EXPECT_EQ(reader_.ExtractToFile("empty", (dir_ / "empty").c_str()), result::kOk);
  EXPECT_TRUE(Exists(dir_ / "empty"));
  EXPECT_EQ(ReadFile(dir_ / "empty"), "");

  EXPECT_EQ(reader_.ExtractToFile("two", (dir_ / "two").c_str()), result::kOk);
  EXPECT_EQ(ReadFile(dir_ / "two"), "first stream");

  EXPECT_EQ(reader_.ExtractToFile("junk", (dir_ / "junk").c_str()), result::kDecompressError);

  EXPECT_EQ(reader_.ExtractToFile("zero", (dir_ / "zero").c_str()), result::kEmpty);
  EXPECT_TRUE(Exists(dir_ / "zero")) << "the file is created before the length is seen";
}

TEST_F(ReaderTest, MemberCutBeforeItsStreamEndsFailsInsteadOfLooping) {
  std::string content = Incompressible(300000) + std::string(300000, 'z');
  std::string whole = Bzip2(content);
  std::vector<UpkEntry> entries;
  std::vector<size_t> cuts = {1, 10, 100, whole.size() / 2, 262144, whole.size() - 1};
  for (size_t cut : cuts) {
    entries.push_back({"cut" + std::to_string(cut), whole.substr(0, cut), 0644, true});
  }
  ASSERT_TRUE(WriteUpk(dir_ / "u.upk", entries));
  ASSERT_EQ(reader_.Open((dir_ / "u.upk").c_str()), result::kOk);
  for (size_t cut : cuts) {
    std::string name = "cut" + std::to_string(cut);
    EXPECT_EQ(reader_.ExtractToFile(name.c_str(), (dir_ / name).c_str()),
              result::kDecompressError)
        << name;
    std::string got = ReadFile(dir_ / name);
    EXPECT_EQ(got, content.substr(0, got.size())) << "what was written is a prefix";
  }
}

// A /proc/self/status field in kB ("VmRSS", "VmHWM").
long StatusKb(const std::string &field) {
  std::istringstream status(ReadFile("/proc/self/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0)
      return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

TEST_F(ReaderTest, MemoryStaysBoundedWhateverTheMemberSize) {
  {
    std::string huge(96u << 20, 'h');  // 96 MiB that compress to almost nothing
    huge[12345] = 'x';
    ASSERT_TRUE(WriteUpk(dir_ / "u.upk", {{"huge", huge, 0644}}));
  }
  ASSERT_EQ(reader_.Open((dir_ / "u.upk").c_str()), result::kOk);
  FILE *sink = fopen("/dev/null", "wb");
  ASSERT_NE(sink, nullptr);
  // Writing "5" to clear_refs resets the peak resident size to the current one.
  WriteFile("/proc/self/clear_refs", "5");
  long before = StatusKb("VmRSS");
  ASSERT_GT(before, 0);
  EXPECT_EQ(reader_.ExtractToStream("huge", sink), result::kOk);
  long peak = StatusKb("VmHWM");
  fclose(sink);
  EXPECT_LT(peak - before, 24 * 1024) << "peak grew from " << before << " kB to " << peak << " kB";
}

TEST_F(ReaderTest, OpenAndCloseStates) {
  EXPECT_EQ(reader_.CheckArchiveOpen(), result::kNoArchive);
  EXPECT_EQ(reader_.VerifyProductInfo("", "1.0"), result::kNoArchive);
  WriteFile(dir_ / "not.upk", "UPK0 this is no archive");
  EXPECT_EQ(reader_.Open((dir_ / "not.upk").c_str()), result::kReadError);
  EXPECT_EQ(reader_.CheckArchiveOpen(), result::kNoArchive);

  ASSERT_TRUE(WriteUpk(dir_ / "a.upk", {{"a", "from a", 0644}}));
  ASSERT_TRUE(WriteUpk(dir_ / "b.upk", {{"b", "from b", 0644}}));
  ASSERT_EQ(reader_.Open((dir_ / "a.upk").c_str()), result::kOk);
  ASSERT_EQ(reader_.Open((dir_ / "b.upk").c_str()), result::kOk);  // replaces a.upk
  EXPECT_EQ(reader_.ExtractToFile("a", (dir_ / "a").c_str()), result::kReadError);
  EXPECT_EQ(reader_.ExtractToFile("b", (dir_ / "b").c_str()), result::kOk);
  EXPECT_EQ(ReadFile(dir_ / "b"), "from b");
  reader_.Close();
  reader_.Close();
  EXPECT_EQ(reader_.CheckArchiveOpen(), result::kNoArchive);
}

TEST_F(ReaderTest, ProductCheck) {
  ASSERT_TRUE(WriteUpk(dir_ / "beta.upk", {{"m", "x", 0644}}, "beta", "2.0"));
  ASSERT_EQ(reader_.Open((dir_ / "beta.upk").c_str()), result::kOk);
  const char *accepted = "alpha, beta\tgamma";
  EXPECT_EQ(reader_.VerifyProductInfo(accepted, "1.0"), result::kOk);
  EXPECT_EQ(reader_.VerifyProductInfo(accepted, "2.0"), result::kOk);
  EXPECT_EQ(reader_.VerifyProductInfo(accepted, "2.0.1"), result::kApplicationNewer);
  EXPECT_EQ(reader_.VerifyProductInfo("", "1.0"), result::kOk);
  EXPECT_EQ(reader_.VerifyProductInfo(nullptr, "1.0"), result::kOk);
  EXPECT_EQ(reader_.VerifyProductInfo("alpha,gamma", "1.0"), result::kWrongProduct);
  EXPECT_EQ(reader_.VerifyProductInfo("betas", "3.0"), result::kWrongProduct)
      << "the identifier is checked before the version";
  // Only the first 511 characters of the accepted list count.
  std::string long_list = std::string(505, ' ') + ",beta";
  EXPECT_EQ(reader_.VerifyProductInfo(long_list.c_str(), "1.0"), result::kOk);
  long_list = std::string(507, ' ') + ",beta";
  EXPECT_EQ(reader_.VerifyProductInfo(long_list.c_str(), "1.0"), result::kWrongProduct);

  ASSERT_TRUE(WriteUpk(dir_ / "delta.upk", {{"m", "x", 0644}}, "delta", "2.0"));
  ASSERT_EQ(reader_.Open((dir_ / "delta.upk").c_str()), result::kOk);
  EXPECT_EQ(reader_.VerifyProductInfo(accepted, "1.0"), result::kWrongProduct);

  WriteFile(dir_ / "old.upk", raw_archive::OldLayout({{"m", "x", 0644}}));
  ASSERT_EQ(reader_.Open((dir_ / "old.upk").c_str()), result::kOk);
  EXPECT_EQ(reader_.VerifyProductInfo(accepted, "1.0"), result::kNoProductInfo);
}

TEST(CompareVersions, OrdersVersionStrings) {
  struct Case {
    const char *older;
    const char *newer;
  };
  const Case ordered[] = {
      {"1.9", "1.10"},      {"1.0pre1", "1.0"},  {"1.0a", "1.0b"},    {"1.0a1", "1.0a2"},
      {"1.0", "1.0+"},      {"1.0a", "1.0ab"},   {"1.0a1b", "1.0a1"}, {"1.0a1b", "1.0a1c"},
      {"2", "*"},           {"2147483646", "*"}, {"1.0", "1.0.1"},    {"1.-1", "1"},
      {"1.0b1", "1.0b1.1"}, {"0.9.9", "1"},      {"1.0pre9", "1.0+"}, {"1.\x80", "1.a"},
  };
  for (const Case &c : ordered) {
    EXPECT_EQ(CompareVersions(c.older, c.newer), -1) << c.older << " < " << c.newer;
    EXPECT_EQ(CompareVersions(c.newer, c.older), 1) << c.newer << " > " << c.older;
  }
  const Case equal[] = {{"1.0", "1.0.0"}, {"1.0+", "1.1pre"}, {"1.0+anything", "1.1pre0"},
                        {"", "0"},        {"*", "*.0"},       {"01.2", "1.02"}};
  for (const Case &c : equal) {
    EXPECT_EQ(CompareVersions(c.older, c.newer), 0) << c.older << " == " << c.newer;
    EXPECT_EQ(CompareVersions(c.newer, c.older), 0) << c.newer << " == " << c.older;
  }
}

}  // namespace
