// SPDX-License-Identifier: MIT
// Reading half of the archive library: opening an archive's index, lookups, reading stored bytes,
// walking the items, and the signature area's rewrite, which walks the index with the same walk.
#include "archive/upk.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include <string>
#include <vector>

#include "archive/upk_format.h"
#include "archive/upk_signature.h"

using namespace upk_format;

namespace {

// Bytes that one item with a name of `name_len` bytes takes in the item block, rounded up so that
// the next item is aligned.
size_t ItemBytes(size_t name_len) {
  const size_t align = alignof(UpkItem);
  return (sizeof(UpkItem) + name_len + 1 + align - 1) / align * align;
}

// Builds the hash table from the index bytes: an index that ends in a short tail is refused. All
// items live in one block, laid out bucket after bucket and in index order within a bucket, so that
// a lookup walks its chain through adjacent memory; the first item of the first non-empty bucket is
// the block's start, which upk_close frees. On failure nothing is allocated.
bool ParseIndex(UpkArchive *archive, const unsigned char *index, size_t size) {
  size_t bucket_bytes[kBucketCount] = {};
  size_t total = 0;
  bool ok = WalkIndex(index, size, [&](const unsigned char *, const char *name, size_t name_len) {
              bucket_bytes[Bucket(name)] += ItemBytes(name_len);
              total += ItemBytes(name_len);
              return true;
            }) != IndexWalk::kShortTail;
  if (!ok || total == 0) return ok;
  char *block = static_cast<char *>(malloc(total));
  if (!block) return false;
  char *cursor[kBucketCount];
  for (size_t b = 0, at = 0; b < kBucketCount; at += bucket_bytes[b], ++b) cursor[b] = block + at;
  UpkItem *tails[kBucketCount] = {};
  WalkIndex(index, size, [&](const unsigned char *entry, const char *name, size_t name_len) {
    unsigned bucket = Bucket(name);
    UpkItem *item = reinterpret_cast<UpkItem *>(cursor[bucket]);
    cursor[bucket] += ItemBytes(name_len);
    item->next = nullptr;
    item->offset = LoadBE32(entry);
    item->length = LoadBE32(entry + 4);
    item->flags = LoadBE32(entry + 8);
    item->name = reinterpret_cast<char *>(item + 1);
    memcpy(item->name, name, name_len + 1);
    // Appended at the tail, so that a bucket keeps index order.
    if (tails[bucket]) {
      tails[bucket]->next = item;
    } else {
      archive->buckets[bucket] = item;
    }
    tails[bucket] = item;
    return true;
  });
  return true;
}

}  // namespace

// The signature area's rewrite walks the index as the reader does, with the same walker.
namespace upk_signature {

namespace {
constexpr size_t kCopyChunk = 65536;
}  // namespace

bool Rewrite(FILE *fp, const Area &area, const std::vector<Entry> &entries, const Sink &sink,
             std::string *error) {
  if (!area.present) {
    *error = "the archive has the older layout, which has no signature area";
    return false;
  }
  if (entries.size() > kMaxSignatures) {
    *error = "more than " + std::to_string(kMaxSignatures) + " signatures";
    return false;
  }
  struct stat st;
  unsigned char header[kSignatureEntriesPos];
  if (fstat(fileno(fp), &st) != 0 || !ReadAt(fp, 0, header, sizeof(header))) {
    *error = "the archive's header cannot be read";
    return false;
  }
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  const uint64_t old_area = area.end - kSignatureEntriesPos;
  uint64_t new_area = 0;
  for (const Entry &e : entries) new_area += 8 + e.data.size();
  const uint32_t index_offset = LoadBE32(header + kIndexOffsetPos);
  if (index_offset < area.end || uint64_t{index_offset} + 4 > file_size) {
    *error = "the index does not lie between the signature area and the end of the file";
    return false;
  }
  unsigned char size_field[4];
  if (!ReadAt(fp, index_offset, size_field, sizeof(size_field))) {
    *error = "the index cannot be read";
    return false;
  }
  const uint32_t index_size = LoadBE32(size_field);
  if (uint64_t{index_offset} + 4 + index_size > file_size) {
    *error = "the index runs past the end of the file";
    return false;
  }
  // Offsets move by new_area - old_area; everything they point at must stay within 32 bits.
  auto moved = [&](uint64_t offset) { return offset - old_area + new_area; };
  if (moved(index_offset) > UINT32_MAX) {
    *error = "the archive would grow beyond what its offsets can address";
    return false;
  }

  uint64_t archive_size = 0;
  for (int i = 0; i < 8; ++i) archive_size = (archive_size << 8) | header[8 + i];
  StoreBE32(header + kIndexOffsetPos, static_cast<uint32_t>(moved(index_offset)));
  StoreBE64(header + kArchiveSizePos, moved(archive_size));
  StoreBE32(header + kSignatureCountPos, static_cast<uint32_t>(entries.size()));
  if (!sink(header, sizeof(header))) {
    *error = "the rewritten archive cannot be written";
    return false;
  }
  for (const Entry &e : entries) {
    unsigned char head[8];
    StoreBE32(head, e.algorithm);
    StoreBE32(head + 4, static_cast<uint32_t>(e.data.size()));
    if (!sink(head, sizeof(head)) || (!e.data.empty() && !sink(e.data.data(), e.data.size()))) {
      *error = "the rewritten archive cannot be written";
      return false;
    }
  }

  // Additional blocks and item data, as they are.
  std::vector<uint8_t> chunk(kCopyChunk);
  if (fseeko(fp, area.end, SEEK_SET) != 0) {
    *error = "the archive cannot be read";
    return false;
  }
  for (uint64_t left = index_offset - area.end; left > 0;) {
    size_t want = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
    if (!ReadExact(fp, chunk.data(), want)) {
      *error = "the archive cannot be read";
      return false;
    }
    if (!sink(chunk.data(), want)) {
      *error = "the rewritten archive cannot be written";
      return false;
    }
    left -= want;
  }

  // The index, its entries walked as the reader walks them: every member's data must lie between
  // the signature area and the index, so that all of it is covered as it is read.
  std::vector<uint8_t> index(index_size);
  if (index_size != 0 && !ReadAt(fp, uint64_t{index_offset} + 4, index.data(), index_size)) {
    *error = "the index cannot be read";
    return false;
  }
  const IndexWalk walk =
      WalkIndex(index.data(), index.size(), [&](uint8_t *entry, const char *name, size_t) {
        const uint32_t offset = LoadBE32(entry);
        const uint32_t length = LoadBE32(entry + 4);
        if (offset < area.end || uint64_t{offset} + length > index_offset) {
          *error = std::string("the data of member ") + name +
                   " does not lie between the signature area and the index";
          return false;
        }
        StoreBE32(entry, static_cast<uint32_t>(moved(offset)));
        return true;
      });
  // A short tail is passed on as it is: the reader refuses such an index itself.
  if (walk == IndexWalk::kStopped) return false;
  if (!sink(size_field, sizeof(size_field)) ||
      (index_size != 0 && !sink(index.data(), index.size()))) {
    *error = "the rewritten archive cannot be written";
    return false;
  }

  // Whatever follows the index, to the end of the file.
  if (fseeko(fp, static_cast<off_t>(uint64_t{index_offset} + 4 + index_size), SEEK_SET) != 0) {
    *error = "the archive cannot be read";
    return false;
  }
  while (true) {
    size_t got = fread(chunk.data(), 1, chunk.size(), fp);
    if (got == 0) break;
    if (!sink(chunk.data(), got)) {
      *error = "the rewritten archive cannot be written";
      return false;
    }
  }
  if (ferror(fp)) {
    *error = "the archive cannot be read";
    return false;
  }
  return true;
}

}  // namespace upk_signature

UpkArchive *upk_open(const char *path, const char **why) {
  FILE *fp = fopen(path, "rb");
  if (!fp) {
    fputs("ERROR: could not open file in upk_open()\n", stderr);
    perror(path);
    return nullptr;
  }
  return upk_open_stream(fp, why);
}

UpkArchive *upk_open_stream(FILE *fp, const char **why) {
  const char *reason = nullptr;
  UpkArchive *archive = static_cast<UpkArchive *>(calloc(1, sizeof(UpkArchive)));
  if (!archive) {
    if (why) *why = "not enough memory to open it";
    fclose(fp);
    return nullptr;
  }
  archive->fp = fp;
  auto refuse = [&](const char *text) {
    if (why) *why = text;
    upk_close(archive);
    return nullptr;
  };

  char magic[4];
  uint32_t index_offset = 0;
  uint32_t index_size = 0;
  struct stat st;
  if (fseeko(fp, 0, SEEK_SET) != 0 || !ReadExact(fp, magic, sizeof(magic))) {
    return refuse("truncated: shorter than the 4-byte magic number (an empty or cut download?)");
  }
  if (memcmp(magic, kMagic, sizeof(kMagic)) != 0) {
    return refuse("not an update archive: the file does not start with the archive's magic number");
  }
  if (!ReadBE32At(fp, &index_offset)) return refuse("truncated: the header is cut short");
  if (fstat(fileno(fp), &st) != 0) return refuse("the file's size cannot be read");
  if (index_offset > static_cast<uint64_t>(st.st_size) ||
      fseeko(fp, static_cast<off_t>(index_offset), SEEK_SET) != 0 || !ReadBE32At(fp, &index_size)) {
    return refuse("truncated: the index lies past the end of the file (a cut download?)");
  }
  if (index_size == 0) return refuse("damaged: the index is empty");
  // The index must lie inside the file before its size is trusted for an allocation.
  uint64_t index_end = uint64_t{index_offset} + 4 + index_size;
  if (index_end > static_cast<uint64_t>(st.st_size)) {
    return refuse("truncated: the index runs past the end of the file (a cut download?)");
  }
  unsigned char *index = static_cast<unsigned char *>(malloc(index_size));
  if (!index || !ReadExact(fp, index, index_size)) {
    reason = index ? "the index cannot be read" : "not enough memory for the index";
    free(index);
    return refuse(reason);
  }
  bool ok = ParseIndex(archive, index, index_size);
  free(index);
  if (!ok) return refuse("damaged: an entry of the index is malformed");
  return archive;
}

void upk_close(UpkArchive *archive) {
  if (!archive) return;
  if (archive->fp) fclose(archive->fp);
  // Every item lies in one block that begins with the first non-empty bucket's head.
  for (UpkItem *head : archive->buckets) {
    if (head) {
      free(head);
      break;
    }
  }
  free(archive);
}

UpkItem *upk_lookup(UpkArchive *archive, const char *name) {
  for (UpkItem *item = archive->buckets[Bucket(name)]; item; item = item->next) {
    if (strcmp(item->name, name) == 0) return item;
  }
  return nullptr;
}

int upk_read_item(UpkArchive *archive, UpkItem *item, int32_t position, char *buffer,
                  int32_t capacity) {
  int32_t length = static_cast<int32_t>(item->length);
  if (position == length) return 0;
  if (position > length) return -1;
  off_t at = static_cast<off_t>(item->offset) + position;
  if (fseeko(archive->fp, at, SEEK_SET) != 0) return -1;
  int32_t want = length - position;
  if (capacity < want) want = capacity;
  if (want <= 0) return 0;
  return static_cast<int>(fread(buffer, 1, static_cast<size_t>(want), archive->fp));
}

int upk_for_each_item(UpkArchive *archive, UpkItemCallback callback, void *user) {
  for (UpkItem *head : archive->buckets) {
    for (UpkItem *item = head; item; item = item->next) {
      int rv = callback(archive, item, user);
      if (rv != 0) return rv;
    }
  }
  return 0;
}
