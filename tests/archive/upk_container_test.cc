// SPDX-License-Identifier: MIT
// The container library over real files: archives from our writer read back, hand-made layouts,
// damaged indexes, layout reports, product information and unpacking.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "archive/upk.h"
#include "archive/upk_format.h"
#include "raw_archive.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

using testing_support::Exists;
using testing_support::Mode;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::UpkEntry;
using testing_support::WriteFile;
using testing_support::WriteUpk;

namespace {

// Enters a directory for the scope of one test and returns to the previous one.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string &dir) {
    if (!getcwd(previous_, sizeof(previous_))) previous_[0] = '\0';
    EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
  }
  ~ScopedCwd() { EXPECT_EQ(chdir(previous_), 0); }

 private:
  char previous_[PATH_MAX];
};

// The whole stored content of `name`, read in pieces of `piece` bytes.
std::string ReadItem(UpkArchive *archive, const char *name, int piece = 7) {
  UpkItem *item = upk_lookup(archive, name);
  if (!item) return "<missing>";
  std::string out;
  std::vector<char> buffer(static_cast<size_t>(piece));
  int got;
  while ((got = upk_read_item(archive, item, static_cast<int32_t>(out.size()), buffer.data(),
                              piece)) > 0) {
    out.append(buffer.data(), static_cast<size_t>(got));
  }
  return got == 0 ? out : "<read error>";
}

int CollectName(UpkArchive *, UpkItem *item, void *user) {
  static_cast<std::vector<std::string> *>(user)->push_back(item->name);
  return 0;
}

std::vector<std::string> Names(UpkArchive *archive) {
  std::vector<std::string> names;
  EXPECT_EQ(upk_for_each_item(archive, CollectName, &names), 0);
  return names;
}

TEST(UpkWriter, ArchiveReadsBackWithTheWrittenLayout) {
  TempDir dir;
  std::string big(10000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 256);
  ASSERT_TRUE(WriteUpk(dir / "u.upk",
                       {{"first", "0123456789", 0600, true}, {"dir/big", big, 0751, true}}, "app",
                       "2.0"));
  std::string bytes = ReadFile(dir / "u.upk");

  // Header: the archive size field equals the file's size.
  ASSERT_GE(bytes.size(), 128u);
  EXPECT_EQ(bytes.substr(0, 4), "UPK1");
  EXPECT_EQ(bytes.substr(8, 8), raw_archive::BE32(0) + raw_archive::BE32(bytes.size()));
  EXPECT_EQ(bytes.substr(16, 8), raw_archive::BE32(0) + raw_archive::BE32(1));

  UpkArchive *archive = upk_open((dir / "u.upk").c_str());
  ASSERT_NE(archive, nullptr);
  UpkItem *first = upk_lookup(archive, "first");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->offset, 128u);
  EXPECT_EQ(first->flags, 0600u);
  UpkItem *second = upk_lookup(archive, "dir/big");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->offset, 138u);
  EXPECT_EQ(second->flags, 0751u);
  EXPECT_EQ(ReadItem(archive, "first"), "0123456789");
  EXPECT_EQ(ReadItem(archive, "dir/big", 4096), big);
  EXPECT_EQ(upk_lookup(archive, "Dir/big"), nullptr);

  // Reads at and past the end, and a buffer larger than the rest.
  char buffer[64];
  EXPECT_EQ(upk_read_item(archive, first, 10, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(upk_read_item(archive, first, 11, buffer, sizeof(buffer)), -1);
  ASSERT_EQ(upk_read_item(archive, first, 6, buffer, sizeof(buffer)), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");

  upk_close(archive);

  bool has_signatures = false, has_blocks = false;
  uint32_t signatures = 99, first_block = 0, blocks = 0;
  ASSERT_EQ(get_upk_file_info((dir / "u.upk").c_str(), &has_signatures, &signatures, &has_blocks,
                              &first_block, &blocks),
            0);
  EXPECT_TRUE(has_signatures);
  EXPECT_EQ(signatures, 0u);
  EXPECT_TRUE(has_blocks);
  EXPECT_EQ(first_block, 24u);
  EXPECT_EQ(blocks, 1u);
}

TEST(UpkWriter, RefusesWhatItCannotWriteAndLeavesNoFile) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  WriteFile("member", "data");
  std::string id63(63, 'i'), version31(31, 'v'), id64(64, 'i');
  const char *files[] = {"member"};

  UpkProductInfo too_long_id = {id64.data(), version31.data()};
  EXPECT_EQ(upk_create_archive("a.upk", 1, files, &too_long_id), -1);
  EXPECT_FALSE(Exists("a.upk"));

  UpkProductInfo fits = {id63.data(), version31.data()};
  EXPECT_EQ(upk_create_archive("a.upk", 0, files, &fits), -1) << "an archive needs an item";
  EXPECT_FALSE(Exists("a.upk"));
  const char *missing[] = {"member", "no-such-file"};
  EXPECT_EQ(upk_create_archive("a.upk", 2, missing, &fits), -1);
  EXPECT_FALSE(Exists("a.upk"));

  // At the limits the block has no padding and is exactly 104 bytes.
  ASSERT_EQ(upk_create_archive("a.upk", 1, files, &fits), 0);
  std::string bytes = ReadFile("a.upk");
  EXPECT_EQ(bytes.substr(24, 104), raw_archive::BE32(104) + raw_archive::BE32(1) + id63 +
                                       std::string(1, '\0') + version31 + std::string(1, '\0'));
  EXPECT_EQ(bytes.substr(128, 4), "data");
  UpkProductInfo read = {nullptr, nullptr};
  ASSERT_EQ(read_product_info_block("a.upk", &read), 0);
  EXPECT_EQ(read.product_id, id63);
  EXPECT_EQ(read.product_version, version31);
  upk_free_product_info(&read);
}

// Items taken from memory and from ranges of an open file make the archive that the same bytes
// in files make; a range the file cannot supply fails and leaves no archive.
TEST(UpkWriter, ItemsFromMemoryAndFileRangesMatchItemsFromFiles) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  WriteFile("first", "manifest bytes");
  WriteFile("dir/second", "second member");
  ASSERT_EQ(chmod("dir/second", 0755), 0);
  WriteFile("store", "xx second member yy");
  const char *files[] = {"first", "dir/second"};
  std::string id = "app", version = "2.0";
  UpkProductInfo info = {id.data(), version.data()};
  ASSERT_EQ(upk_create_archive("files.upk", 2, files, &info), 0);

  const int fd = open("store", O_RDONLY);
  ASSERT_GE(fd, 0);
  const std::string manifest = "manifest bytes";
  UpkItemSource items[] = {{"first", 0644, manifest.data(), -1, 0, 14},
                           {"dir/second", 0755, nullptr, fd, 3, 13}};
  ASSERT_EQ(upk_create_archive_from("ranges.upk", 2, items, &info), 0);
  EXPECT_EQ(ReadFile("ranges.upk"), ReadFile("files.upk"));

  items[1].offset = 10;  // runs past the end of the file
  testing::internal::CaptureStderr();
  EXPECT_EQ(upk_create_archive_from("short.upk", 2, items, &info), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: could not write item: dir/second\n");
  EXPECT_FALSE(Exists("short.upk"));
  close(fd);
}

TEST(UpkReader, OlderLayoutOpensAndHasNoSignatureAreaOrProductInformation) {
  TempDir dir;
  std::string path = dir / "old.upk";
  WriteFile(path, raw_archive::OldLayout({{"m", "abc", 0644}, {"n", "defg", 0755}}));
  UpkArchive *archive = upk_open(path.c_str());
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(upk_lookup(archive, "m")->offset, 8u);
  EXPECT_EQ(ReadItem(archive, "m"), "abc");
  EXPECT_EQ(ReadItem(archive, "n"), "defg");
  UpkProductInfo info = {nullptr, nullptr};
  EXPECT_EQ(upk_get_product_info(archive, &info), -1);
  EXPECT_EQ(info.product_id, nullptr);
  upk_close(archive);

  // The file is too short to hold the newer header's signature count at offset 16.
  bool has_signatures = true, has_blocks = true;
  uint32_t signatures = 99;
  ASSERT_EQ(
      get_upk_file_info(path.c_str(), &has_signatures, &signatures, &has_blocks, nullptr, nullptr),
      0);
  EXPECT_FALSE(has_signatures);
  EXPECT_EQ(signatures, 0u);
  EXPECT_FALSE(has_blocks);

  std::string before = ReadFile(path);
  std::string id = "x", version = "1";
  UpkProductInfo next = {id.data(), version.data()};
  EXPECT_EQ(upk_refresh_product_info(path.c_str(), &next), -1);
  EXPECT_EQ(ReadFile(path), before);
}

TEST(UpkReader, BucketsKeepIndexOrderAndDuplicatesFindTheFirst) {
  EXPECT_EQ(upk_format::Bucket("updatev3.manifest"), 69u);
  EXPECT_EQ(upk_format::Bucket("updatev2.manifest"), 192u);
  EXPECT_EQ(upk_format::Bucket("a"), 97u);
  EXPECT_EQ(upk_format::Bucket("ux"), 97u);  // 117 * 37 + 120 = 4449 = 17 * 256 + 97

  TempDir dir;
  std::string path = dir / "dup.upk";
  WriteFile(path, raw_archive::OldLayout({{"ux", "first ux", 0644},
                                          {"b", "b", 0644},
                                          {"a", "the a", 0644},
                                          {"ux", "second ux", 0600}}));
  UpkArchive *archive = upk_open(path.c_str());
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(ReadItem(archive, "ux"), "first ux");
  EXPECT_EQ(upk_lookup(archive, "ux")->flags, 0644u);
  EXPECT_EQ(ReadItem(archive, "a"), "the a");
  // Bucket 97 ("ux", "a", "ux" in index order) comes before bucket 98 ("b").
  EXPECT_EQ(Names(archive), (std::vector<std::string>{"ux", "a", "ux", "b"}));
  upk_close(archive);
}

TEST(UpkReader, ManyItemsWithNamesOfEveryLengthAreAllFoundInIndexOrder) {
  // Thousands of items, several hundred in some buckets, names of 1 to 40 bytes (so that items of
  // every size lie next to each other), one name twice.
  std::vector<raw_archive::Item> items;
  for (int i = 0; i < 3000; ++i) {
    std::string name = std::to_string(i) + std::string(static_cast<size_t>(i % 37), 'n');
    items.push_back({name, "data of " + name, static_cast<uint32_t>(0600 + i % 64)});
  }
  items.push_back({"7nnnnnnn", "a second 7", 0644});
  TempDir dir;
  std::string path = dir / "many.upk";
  WriteFile(path, raw_archive::OldLayout(items));
  UpkArchive *archive = upk_open(path.c_str());
  ASSERT_NE(archive, nullptr);
  for (size_t i = 0; i + 1 < items.size(); ++i) {
    UpkItem *item = upk_lookup(archive, items[i].name.c_str());
    ASSERT_NE(item, nullptr) << items[i].name;
    EXPECT_EQ(item->flags, items[i].flags);
    EXPECT_EQ(ReadItem(archive, items[i].name.c_str()), items[i].data);
  }
  EXPECT_EQ(upk_lookup(archive, "3000"), nullptr);
  // The walk visits bucket after bucket, each in index order.
  std::vector<std::string> expected;
  for (unsigned bucket = 0; bucket < 256; ++bucket) {
    for (const auto &item : items) {
      if (upk_format::Bucket(item.name.c_str()) == bucket) expected.push_back(item.name);
    }
  }
  EXPECT_EQ(Names(archive), expected);
  upk_close(archive);
}

TEST(UpkReader, DamagedIndexesDoNotOpen) {
  TempDir dir;
  std::string path = dir / "bad.upk";
  std::string good = raw_archive::OldLayout({{"m", "abc", 0644}});
  WriteFile(path, good);
  UpkArchive *archive = upk_open(path.c_str());
  ASSERT_NE(archive, nullptr);
  upk_close(archive);

  // 1 to 13 stray bytes after the last entry.
  for (size_t stray = 1; stray <= 13; ++stray) {
    WriteFile(path, raw_archive::OldLayout({{"m", "abc", 0644}}, std::string(stray, 'x')));
    EXPECT_EQ(upk_open(path.c_str()), nullptr) << stray << " stray bytes";
  }

  std::string bad_magic = good;
  bad_magic[3] = '2';
  WriteFile(path, bad_magic);
  EXPECT_EQ(upk_open(path.c_str()), nullptr);

  // Index offset past the end; index size 0; index sizes that run past the end of the file,
  // up to one that would ask for 4 GiB.
  std::string index_offset_field = good.substr(4, 4);
  uint32_t index_offset = static_cast<uint32_t>(good.size() - 4 - 14);
  ASSERT_EQ(index_offset_field, raw_archive::BE32(index_offset));
  std::string past_end = good;
  past_end.replace(4, 4, raw_archive::BE32(static_cast<uint32_t>(good.size() + 10)));
  std::vector<std::string> cases = {past_end};
  for (uint32_t size : {0u, 16u, 0x10000000u, 0xFFFFFFFFu}) {
    std::string damaged = good;
    damaged.replace(index_offset, 4, raw_archive::BE32(size));
    cases.push_back(damaged);
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    WriteFile(path, cases[i]);
    EXPECT_EQ(upk_open(path.c_str()), nullptr) << "case " << i;
  }
  // Cut at every length.
  for (size_t len = 0; len < good.size(); ++len) {
    WriteFile(path, good.substr(0, len));
    EXPECT_EQ(upk_open(path.c_str()), nullptr) << "cut at " << len;
  }
  EXPECT_EQ(upk_open((dir / "missing.upk").c_str()), nullptr);
}

TEST(UpkReader, NameWithoutNulEndsTheIndexAndDropsTheEntry) {
  TempDir dir;
  std::string path = dir / "nonul.upk";
  WriteFile(path, raw_archive::OldLayout({{"kept", "abc", 0644}},
                                         raw_archive::Entry(8, 3, 0644, "dropped", false)));
  UpkArchive *archive = upk_open(path.c_str());
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(Names(archive), (std::vector<std::string>{"kept"}));
  EXPECT_EQ(upk_lookup(archive, "dropped"), nullptr);
  upk_close(archive);
}

TEST(UpkProductInfo, SignedArchivesAreReadButNotRefreshed) {
  TempDir dir;
  std::string path = dir / "signed.upk";
  std::vector<raw_archive::Item> items = {{"m", "payload", 0644}};
  WriteFile(path, raw_archive::WithBlocks({"sig!", "second signature"},
                                          {raw_archive::BE32(12) + raw_archive::BE32(7) + "skip",
                                           raw_archive::ProductBlock("prod", "1.5")},
                                          items));
  bool has_signatures = false, has_blocks = false;
  uint32_t signatures = 0, first_block = 0, blocks = 0;
  ASSERT_EQ(get_upk_file_info(path.c_str(), &has_signatures, &signatures, &has_blocks, &first_block,
                              &blocks),
            0);
  EXPECT_TRUE(has_signatures);
  EXPECT_EQ(signatures, 2u);
  EXPECT_TRUE(has_blocks);
  EXPECT_EQ(first_block, 20u + 12u + 24u + 4u);
  EXPECT_EQ(blocks, 2u);

  UpkProductInfo info = {nullptr, nullptr};
  ASSERT_EQ(read_product_info_block(path.c_str(), &info), 0);  // past a block of another kind
  EXPECT_STREQ(info.product_id, "prod");
  EXPECT_STREQ(info.product_version, "1.5");
  upk_free_product_info(&info);

  std::string before = ReadFile(path);
  std::string id = "new", version = "2.0";
  UpkProductInfo next = {id.data(), version.data()};
  testing::internal::CaptureStderr();
  EXPECT_EQ(upk_refresh_product_info(path.c_str(), &next), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Cannot refresh a signed UPK\n");
  EXPECT_EQ(ReadFile(path), before);
}

TEST(UpkProductInfo, RefreshRewritesOnlyTheBlockOfAnUnsignedArchive) {
  TempDir dir;
  std::string path = dir / "u.upk";
  ASSERT_TRUE(WriteUpk(path, {{"m", "member bytes", 0644, true}}, "old-product", "1.0"));
  std::string before = ReadFile(path);
  std::string id(63, 'p'), version = "2.0b1";
  UpkProductInfo next = {id.data(), version.data()};
  ASSERT_EQ(upk_refresh_product_info(path.c_str(), &next), 0);
  std::string after = ReadFile(path);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, 24), before.substr(0, 24));
  EXPECT_EQ(after.substr(128), before.substr(128));
  UpkProductInfo read = {nullptr, nullptr};
  ASSERT_EQ(read_product_info_block(path.c_str(), &read), 0);
  EXPECT_EQ(read.product_id, id);
  EXPECT_STREQ(read.product_version, "2.0b1");
  upk_free_product_info(&read);
}

TEST(UpkProductInfo, RefreshRefusesABlockShorterThanTheNewOne) {
  // A 16-byte block followed by item data: 104 new bytes would overwrite the data.
  TempDir dir;
  std::string path = dir / "short.upk";
  WriteFile(path, raw_archive::WithBlocks({}, {raw_archive::ProductBlock("p", "1", 16)},
                                          {{"m", "item data that must survive", 0644}}));
  UpkProductInfo info = {nullptr, nullptr};
  ASSERT_EQ(read_product_info_block(path.c_str(), &info), 0);
  EXPECT_STREQ(info.product_id, "p");
  upk_free_product_info(&info);
  std::string before = ReadFile(path);
  std::string id = "q", version = "2";
  UpkProductInfo next = {id.data(), version.data()};
  EXPECT_EQ(upk_refresh_product_info(path.c_str(), &next), -1);
  EXPECT_EQ(ReadFile(path), before);
}

TEST(UpkUnpack, ExtractAllWritesEveryItemBelowTheCurrentDirectory) {
  TempDir dir;
  ASSERT_TRUE(WriteUpk(dir / "u.upk", {{"top", "top bytes", 0640, true},
                                       {"a/b/deep", "deep bytes", 0755, true},
                                       {"a/empty", "", 0600, true}}));
  testing_support::MakeDirs(dir / "out");
  mode_t old_mask = umask(022);
  {
    ScopedCwd cwd(dir / "out");
    EXPECT_EQ(upk_extract_all("../u.upk"), 0);
    EXPECT_EQ(upk_extract_all("../missing.upk"), -1);
  }
  umask(old_mask);
  testing_support::Snapshot expected = {
      {"top", {'f', 0640, "top bytes"}}, {"a", {'d', 0755, ""}},
      {"a/b", {'d', 0755, ""}},          {"a/b/deep", {'f', 0755, "deep bytes"}},
      {"a/empty", {'f', 0600, ""}},
  };
  EXPECT_EQ(testing_support::DiffSnapshots(expected, testing_support::TakeSnapshot(dir / "out")),
            "");
}

TEST(UpkUnpack, NamesLeadingOutOfTheCurrentDirectoryAreRefused) {
  TempDir dir;
  WriteFile(dir / "victim", "precious");
  for (const std::string &name :
       {dir / "victim", std::string("../victim"), std::string("sub/../../victim")}) {
    WriteFile(dir / "hostile.upk", raw_archive::OldLayout({{name, "overwritten", 0644}}));
    testing_support::MakeDirs(dir / "out/sub");
    ScopedCwd cwd(dir / "out");
    testing::internal::CaptureStderr();
    EXPECT_EQ(upk_extract_all("../hostile.upk"), -1) << name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: unsafe item name in upk_test_callback(): " + name + "\n");
    EXPECT_EQ(ReadFile(dir / "victim"), "precious") << name;
  }
  // A name with dots that stays inside is fine.
  WriteFile(dir / "fine.upk", raw_archive::OldLayout({{"x/..y/a..b", "ok", 0644}}));
  ScopedCwd cwd(dir / "out");
  EXPECT_EQ(upk_extract_all("../fine.upk"), 0);
  EXPECT_EQ(ReadFile(dir / "out/x/..y/a..b"), "ok");
}

}  // namespace
