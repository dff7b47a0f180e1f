// SPDX-License-Identifier: MIT
// The archive's index and item reads over arbitrary archive bytes: opening, walking every item,
// looking each up by name, reading each item's stored bytes in pieces and at its edges, and the
// layout and product information reads.
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "archive/upk.h"
#include "fuzz_support.h"

using fuzz_support::MemFile;

namespace {

struct Walk {
  std::vector<UpkItem *> items;
};

int Collect(UpkArchive *, UpkItem *item, void *user) {
  static_cast<Walk *>(user)->items.push_back(item);
  return 0;
}

int StopAtSecond(UpkArchive *, UpkItem *, void *user) {
  int *calls = static_cast<int *>(user);
  return ++*calls == 2 ? 7 : 0;
}

void CheckItem(UpkArchive *archive, UpkItem *item, uint64_t file_size) {
  // The first item of that name in index order is found; it carries the same name.
  UpkItem *found = upk_lookup(archive, item->name);
  FUZZ_CHECK(found != nullptr);
  FUZZ_CHECK(strcmp(found->name, item->name) == 0);

  const int32_t length = static_cast<int32_t>(item->length);
  char buffer[1000];
  int32_t position = 0;
  uint64_t total = 0;
  // Pieces of one buffer until the item or the file ends; never more than the item or the file.
  for (int rounds = 0; rounds < 64 && length > 0; ++rounds) {
    int got = upk_read_item(archive, item, position, buffer, sizeof(buffer));
    FUZZ_CHECK(got >= -1 && got <= static_cast<int>(sizeof(buffer)));
    if (got <= 0) break;
    position += got;
    total += static_cast<uint64_t>(got);
    FUZZ_CHECK(position <= length);
  }
  FUZZ_CHECK(total <= file_size);
  // At the item's end nothing is read; one past it is refused.
  FUZZ_CHECK(upk_read_item(archive, item, length, buffer, sizeof(buffer)) == 0);
  if (length < INT32_MAX) {
    FUZZ_CHECK(upk_read_item(archive, item, length + 1, buffer, sizeof(buffer)) == -1);
  }
  // A capacity of 0 or 1 reads at most that much.
  FUZZ_CHECK(upk_read_item(archive, item, 0, buffer, 0) <= 0);
  FUZZ_CHECK(upk_read_item(archive, item, 0, buffer, 1) <= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  MemFile file(data, size);

  bool has_signatures = false;
  bool has_blocks = false;
  uint32_t signatures = 0;
  uint32_t first_block = 0;
  uint32_t blocks = 0;
  if (get_upk_file_info(file.path(), &has_signatures, &signatures, &has_blocks, &first_block,
                        &blocks) == 0) {
    FUZZ_CHECK(signatures <= 8);
    FUZZ_CHECK(has_signatures || signatures == 0);
  }

  UpkArchive *archive = upk_open(file.path());
  if (!archive) return 0;

  Walk walk;
  FUZZ_CHECK(upk_for_each_item(archive, Collect, &walk) == 0);
  // Every index entry takes at least 14 bytes of the file.
  FUZZ_CHECK(walk.items.size() * 14 <= size);
  for (UpkItem *item : walk.items) CheckItem(archive, item, size);
  if (walk.items.size() >= 2) {
    int calls = 0;
    FUZZ_CHECK(upk_for_each_item(archive, StopAtSecond, &calls) == 7 && calls == 2);
  }
  FUZZ_CHECK(upk_lookup(archive, "no such member in any archive") == nullptr ||
             size >= 14 + strlen("no such member in any archive"));

  UpkProductInfo info = {nullptr, nullptr};
  if (upk_get_product_info(archive, &info) == 0) {
    FUZZ_CHECK(info.product_id && strlen(info.product_id) <= 63);
    FUZZ_CHECK(info.product_version && strlen(info.product_version) <= 31);
    upk_free_product_info(&info);
    FUZZ_CHECK(!info.product_id && !info.product_version);
  }
  upk_close(archive);
  return 0;
}
