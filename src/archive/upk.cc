// Reading half of the archive library: opening an archive's index, lookups, reading stored bytes
// and walking the items.
#include "archive/upk.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "archive/upk_format.h"

using namespace upk_format;

namespace {

// Bytes that one item with a name of `name_len` bytes takes in the item block, rounded up so that
// the next item is aligned.
size_t ItemBytes(size_t name_len) {
  const size_t align = alignof(UpkItem);
  return (sizeof(UpkItem) + name_len + 1 + align - 1) / align * align;
}

// Walks the index entries, calling `visit(entry, name, name_len)` for each. True when the walk ends
// exactly at the end of the index, or at an entry whose name has no NUL (that entry is dropped).
template <typename Visit>
bool WalkIndex(const unsigned char *index, size_t size, Visit visit) {
  size_t pos = 0;
  while (pos < size) {
    if (size - pos < kMinEntrySize) return false;
    const unsigned char *entry = index + pos;
    const char *name = reinterpret_cast<const char *>(entry + kEntryFieldsSize);
    const void *nul = memchr(name, '\0', size - pos - kEntryFieldsSize);
    if (!nul) return true;
    size_t name_len = static_cast<const char *>(nul) - name;
    visit(entry, name, name_len);
    pos += kEntryFieldsSize + name_len + 1;
  }
  return true;
}

// Builds the hash table from the index bytes (see WalkIndex for what is accepted). All items live
// in one block, laid out bucket after bucket and in index order within a bucket, so that a lookup
// walks its chain through adjacent memory; the first item of the first non-empty bucket is the
// block's start, which upk_close frees. On failure nothing is allocated.
bool ParseIndex(UpkArchive *archive, const unsigned char *index, size_t size) {
  size_t bucket_bytes[kBucketCount] = {};
  size_t total = 0;
  bool ok = WalkIndex(index, size, [&](const unsigned char *, const char *name, size_t name_len) {
    bucket_bytes[Bucket(name)] += ItemBytes(name_len);
    total += ItemBytes(name_len);
  });
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
  });
  return true;
}

}  // namespace

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
