// SPDX-License-Identifier: MIT
// Writing and maintenance half of the archive library: unpacking every item, writing new archives
// with their product information block, reporting the signature and block layout, and reading or
// rewriting the product information.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/upk.h"
#include "archive/upk_format.h"

using namespace upk_format;

namespace {

bool WriteBE32To(FILE *fp, uint32_t value) {
  unsigned char bytes[4];
  StoreBE32(bytes, value);
  return fwrite(bytes, 1, sizeof(bytes), fp) == sizeof(bytes);
}

// A name that stays below the current directory: relative, not empty, no ".." component.
bool IsSafeName(const char *name) {
  if (name[0] == '\0' || name[0] == '/') return false;
  const char *part = name;
  while (true) {
    const char *slash = strchr(part, '/');
    size_t len = slash ? static_cast<size_t>(slash - part) : strlen(part);
    if (len == 2 && part[0] == '.' && part[1] == '.') return false;
    if (!slash) return true;
    part = slash + 1;
  }
}

// Creates every parent directory of `name`, outermost first; failures are left to the file's
// creation to report.
void MakeParents(const char *name) {
  size_t len = strlen(name);
  char *copy = static_cast<char *>(malloc(len + 1));
  if (!copy) return;
  memcpy(copy, name, len + 1);
  for (char *p = copy + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    mkdir(copy, 0755);
    *p = '/';
  }
  free(copy);
}

// How the search of the additional blocks for one identifier ended.
enum class BlockSearch {
  kFound,
  kAbsent,      // no blocks, or none has the identifier
  kUnreadable,  // the layout or a block header cannot be read
  kBadSize,     // a block before it claims fewer bytes than its own header
};

// The one walk of the additional blocks: looks for the first block with identifier `id`, leaving
// `fp` at its start and `*size` its size field when found.
BlockSearch FindBlock(FILE *fp, uint32_t id, uint32_t *size) {
  bool has_blocks = false;
  uint32_t first = 0;
  uint32_t count = 0;
  if (get_upk_stream_info(fp, nullptr, nullptr, &has_blocks, &first, &count) != 0) {
    return BlockSearch::kUnreadable;
  }
  if (!has_blocks) return BlockSearch::kAbsent;
  off_t offset = first;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t block_size = 0;
    uint32_t block_id = 0;
    if (fseeko(fp, offset, SEEK_SET) != 0 || !ReadBE32At(fp, &block_size) ||
        !ReadBE32At(fp, &block_id)) {
      return BlockSearch::kUnreadable;
    }
    if (block_id == id) {
      *size = block_size;
      return fseeko(fp, offset, SEEK_SET) == 0 ? BlockSearch::kFound : BlockSearch::kUnreadable;
    }
    if (block_size < kBlockHeaderSize) return BlockSearch::kBadSize;
    offset += block_size;
  }
  return BlockSearch::kAbsent;
}

// Finds the product information block: 0 with `fp` at its start and `*size` its size field, -1
// when it cannot be found.
int FindProductInfoBlock(FILE *fp, uint32_t *size) {
  return FindBlock(fp, kProductInfoBlockId, size) == BlockSearch::kFound ? 0 : -1;
}

// Reads the product information block at `fp` into `info`.
int ReadProductInfo(FILE *fp, UpkProductInfo *info) {
  uint32_t block_size = 0;
  if (FindProductInfoBlock(fp, &block_size) != 0) return -1;
  uint32_t payload = block_size - kBlockHeaderSize;
  if (payload > kProductInfoMaxPayload) return -1;
  char buffer[kProductInfoMaxPayload + 1] = {};
  if (fseeko(fp, kBlockHeaderSize, SEEK_CUR) != 0 || !ReadExact(fp, buffer, payload)) return -1;
  size_t id_len = strlen(buffer);
  if (id_len > kMaxProductIdLength) return -1;
  const char *version = buffer + id_len + 1;
  size_t version_len = strlen(version);
  if (version_len > kMaxProductVersionLength) return -1;
  char *id_copy = strdup(buffer);
  char *version_copy = strdup(version);
  if (!id_copy || !version_copy) {
    free(id_copy);
    free(version_copy);
    return -1;
  }
  info->product_id = id_copy;
  info->product_version = version_copy;
  return 0;
}

// The index of an archive being written, grown in steps of kChunkSize.
class IndexBuilder {
 public:
  ~IndexBuilder() { free(index_); }
  bool Add(const char *name, uint32_t offset, uint32_t length, uint32_t flags) {
    size_t name_len = strlen(name);
    size_t entry_size = kEntryFieldsSize + name_len + 1;
    if (used_ + entry_size > capacity_) {
      size_t grown = ((used_ + entry_size) / kChunkSize) * kChunkSize + kChunkSize;
      unsigned char *bigger = static_cast<unsigned char *>(realloc(index_, grown));
      if (!bigger) return false;
      index_ = bigger;
      capacity_ = grown;
    }
    unsigned char *entry = index_ + used_;
    StoreBE32(entry, offset);
    StoreBE32(entry + 4, length);
    StoreBE32(entry + 8, flags);
    memcpy(entry + kEntryFieldsSize, name, name_len + 1);
    used_ += entry_size;
    return true;
  }
  const unsigned char *data() const { return index_; }
  size_t size() const { return used_; }

 private:
  unsigned char *index_ = nullptr;
  size_t used_ = 0;
  size_t capacity_ = 0;
};

// Creates the archive at `path` and writes its header and product information block; `*out` stays
// null when the file cannot be created (with the message), false when the first writes fail.
bool StartArchive(const char *path, const UpkProductInfo *info, FILE **out, uint32_t *data_offset) {
  *out = fopen(path, "wb");
  if (!*out) {
    fprintf(stderr, "ERROR: could not create target file: %s\n", path);
    return false;
  }
  unsigned char header[kHeaderSize] = {};
  memcpy(header, kMagic, sizeof(kMagic));
  StoreBE32(header + 20, 1);  // one additional block: the product information
  return fwrite(header, 1, sizeof(header), *out) == sizeof(header) &&
         upk_write_product_info_block(*out, data_offset, info) == 0;
}

// Appends the index after the items' data, fills in the header's index offset and archive size and
// closes `out`; removes the archive when anything failed (`ok` false on entry included).
int FinishArchive(FILE *out, const char *path, bool ok, const IndexBuilder &index,
                  uint32_t data_offset) {
  const size_t used = index.size();
  if (ok) {
    // An empty index cannot be written: an archive needs at least one item.
    ok = used > 0 && WriteBE32To(out, static_cast<uint32_t>(used)) &&
         fwrite(index.data(), 1, used, out) == used;
  }
  if (ok) {
    off_t end = ftello(out);
    ok = end >= 0 && end <= kMaxArchiveSize;
  }
  if (ok) {
    unsigned char fields[12];
    StoreBE32(fields, data_offset);
    StoreBE64(fields + 4, uint64_t{data_offset} + 4 + used);
    ok = fseeko(out, kIndexOffsetPos, SEEK_SET) == 0 &&
         fwrite(fields, 1, sizeof(fields), out) == sizeof(fields);
  }
  if (fclose(out) != 0) ok = false;
  if (!ok) {
    remove(path);
    return -1;
  }
  return 0;
}

}  // namespace

int upk_test_callback(UpkArchive *archive, UpkItem *item, void * /*user*/) {
  if (!IsSafeName(item->name)) {
    fprintf(stderr, "ERROR: unsafe item name in upk_test_callback(): %s\n", item->name);
    return -1;
  }
  MakeParents(item->name);
  int fd = open(item->name, O_CREAT | O_WRONLY | O_TRUNC, static_cast<mode_t>(item->flags));
  if (fd < 0) {
    fputs("ERROR: could not create file in upk_test_callback()\n", stderr);
    perror(item->name);
    return -1;
  }
  FILE *out = fdopen(fd, "wb");
  if (!out) {
    close(fd);
    return -1;
  }
  char buffer[kChunkSize];
  int32_t position = 0;
  int got;
  while ((got = upk_read_item(archive, item, position, buffer, sizeof(buffer))) > 0) {
    if (fwrite(buffer, 1, static_cast<size_t>(got), out) != static_cast<size_t>(got)) break;
    position += got;
  }
  bool closed = fclose(out) == 0;
  return got == 0 && closed ? 0 : -1;
}

int upk_extract_all(const char *path) {
  UpkArchive *archive = upk_open(path);
  if (!archive) return -1;
  int rv = upk_for_each_item(archive, upk_test_callback, nullptr);
  upk_close(archive);
  return rv;
}

int upk_concat_file(FILE *out, const char *path) {
  FILE *in = fopen(path, "rb");
  if (!in) {
    fputs("ERROR: could not open file in upk_concat_file()\n", stderr);
    perror(path);
    return -1;
  }
  char buffer[kChunkSize];
  int rv = 0;
  while (true) {
    size_t got = fread(buffer, 1, sizeof(buffer), in);
    if (got == 0) {
      if (ferror(in)) rv = -1;  // a read error must not pass as the end of the file
      break;
    }
    if (fwrite(buffer, 1, got, out) != got) {
      rv = -1;
      break;
    }
  }
  fclose(in);
  return rv;
}

int upk_write_product_info_block(FILE *out, uint32_t *running_offset, const UpkProductInfo *info) {
  if (!out || !info || !info->product_id || !info->product_version) return -1;
  size_t a = strlen(info->product_id);
  size_t b = strlen(info->product_version);
  if (a > kMaxProductIdLength || b > kMaxProductVersionLength) return -1;
  if (running_offset) *running_offset += kProductInfoBlockSize;
  unsigned char block[kProductInfoBlockSize] = {};
  StoreBE32(block, kProductInfoBlockSize);
  StoreBE32(block + 4, kProductInfoBlockId);
  memcpy(block + kBlockHeaderSize, info->product_id, a + 1);
  memcpy(block + kBlockHeaderSize + a + 1, info->product_version, b + 1);
  return fwrite(block, 1, sizeof(block), out) == sizeof(block) ? 0 : -1;
}

int upk_create_archive(const char *path, int count, const char *const *files,
                       const UpkProductInfo *info) {
  FILE *out = nullptr;
  uint32_t data_offset = kHeaderSize;
  bool ok = StartArchive(path, info, &out, &data_offset);
  if (!out) return -1;
  IndexBuilder index;

  for (int i = 0; ok && i < count; ++i) {
    struct stat st;
    if (stat(files[i], &st) != 0) {
      fprintf(stderr, "ERROR: file not found: %s\n", files[i]);
      ok = false;
      break;
    }
    if (!index.Add(files[i], data_offset, static_cast<uint32_t>(st.st_size),
                   static_cast<uint32_t>(st.st_mode & 0777))) {
      ok = false;
      break;
    }
    data_offset += static_cast<uint32_t>(st.st_size);
    if (upk_concat_file(out, files[i]) != 0) ok = false;
  }
  return FinishArchive(out, path, ok, index, data_offset);
}

int upk_create_archive_from(const char *path, int count, const UpkItemSource *items,
                            const UpkProductInfo *info) {
  FILE *out = nullptr;
  uint32_t data_offset = kHeaderSize;
  bool ok = StartArchive(path, info, &out, &data_offset);
  if (!out) return -1;
  IndexBuilder index;
  char buffer[1 << 16];
  for (int i = 0; ok && i < count; ++i) {
    const UpkItemSource &item = items[i];
    ok = index.Add(item.name, data_offset, item.length, item.flags & 0777);
    data_offset += item.length;
    if (ok && item.bytes) {
      ok = fwrite(item.bytes, 1, item.length, out) == item.length;
    } else {
      for (uint32_t done = 0; ok && done < item.length;) {
        const size_t want =
            item.length - done < sizeof(buffer) ? item.length - done : sizeof(buffer);
        const ssize_t got = pread(item.fd, buffer, want, static_cast<off_t>(item.offset + done));
        if (got < 0 && errno == EINTR) continue;
        ok =
            got > 0 && fwrite(buffer, 1, static_cast<size_t>(got), out) == static_cast<size_t>(got);
        done += static_cast<uint32_t>(got > 0 ? got : 0);
      }
    }
    if (!ok) fprintf(stderr, "ERROR: could not write item: %s\n", item.name);
  }
  return FinishArchive(out, path, ok, index, data_offset);
}

int get_upk_stream_info(FILE *fp, bool *has_signature_area, uint32_t *signature_count,
                        bool *has_blocks, uint32_t *first_block_offset, uint32_t *block_count) {
  if (!has_signature_area && !has_blocks) return -1;
  uint32_t index_offset = 0;
  uint32_t first_data = 0;
  if (fseeko(fp, kIndexOffsetPos, SEEK_SET) != 0 || !ReadBE32At(fp, &index_offset) ||
      fseeko(fp, static_cast<off_t>(index_offset) + 4, SEEK_SET) != 0 ||
      !ReadBE32At(fp, &first_data)) {
    return -1;
  }
  bool signature_area = first_data != kOldLayoutDataOffset;
  if (has_signature_area) *has_signature_area = signature_area;
  if (!signature_area) {
    // The older layout holds item data where the newer one has its header fields.
    if (signature_count) *signature_count = 0;
    if (has_blocks) *has_blocks = false;
    return 0;
  }
  uint32_t signatures = 0;
  if (fseeko(fp, kSignatureCountPos, SEEK_SET) != 0 || !ReadBE32At(fp, &signatures)) return -1;
  if (signature_count) *signature_count = signatures;
  if (!has_blocks) return 0;
  if (signatures > kMaxSignatures) return -1;
  for (uint32_t i = 0; i < signatures; ++i) {
    uint32_t length = 0;
    if (fseeko(fp, 4, SEEK_CUR) != 0 || !ReadBE32At(fp, &length) ||
        fseeko(fp, static_cast<off_t>(length), SEEK_CUR) != 0) {
      return -1;
    }
  }
  off_t position = ftello(fp);
  if (position < 0) return -1;
  if (position == static_cast<off_t>(first_data)) {
    *has_blocks = false;
    return 0;
  }
  uint32_t count = 0;
  if (!ReadBE32At(fp, &count)) return -1;
  *has_blocks = true;
  if (first_block_offset) *first_block_offset = static_cast<uint32_t>(position + 4);
  if (block_count) *block_count = count;
  return 0;
}

int get_upk_file_info(const char *path, bool *has_signature_area, uint32_t *signature_count,
                      bool *has_blocks, uint32_t *first_block_offset, uint32_t *block_count) {
  FILE *fp = fopen(path, "rb");
  if (!fp) {
    fputs("ERROR: could not open file in get_upk_file_info()\n", stderr);
    perror(path);
    return -1;
  }
  int rv = get_upk_stream_info(fp, has_signature_area, signature_count, has_blocks,
                               first_block_offset, block_count);
  fclose(fp);
  return rv;
}

int upk_get_product_info(UpkArchive *archive, UpkProductInfo *info) {
  return ReadProductInfo(archive->fp, info);
}

int read_product_info_block(const char *path, UpkProductInfo *info) {
  FILE *fp = fopen(path, "rb");
  if (!fp) {
    fputs("ERROR: could not open file in read_product_info_block()\n", stderr);
    perror(path);
    return -1;
  }
  int rv = ReadProductInfo(fp, info);
  fclose(fp);
  return rv;
}

int upk_refresh_product_info(const char *path, const UpkProductInfo *info) {
  bool signature_area = false;
  uint32_t signatures = 0;
  if (get_upk_file_info(path, &signature_area, &signatures, nullptr, nullptr, nullptr) != 0) {
    fputs("ERROR: Could not obtain UPK information.\n", stderr);
    return -1;
  }
  if (signature_area && signatures != 0) {
    fputs("ERROR: Cannot refresh a signed UPK\n", stderr);
    return -1;
  }
  FILE *fp = fopen(path, "r+b");
  if (!fp) {
    fprintf(stderr, "ERROR: could not open target file: %s\n", path);
    return -1;
  }
  int rv = -1;
  uint32_t block_size = 0;
  switch (FindBlock(fp, kProductInfoBlockId, &block_size)) {
    case BlockSearch::kFound:
      // The new block is always 104 bytes: over a block of another size it would damage the bytes
      // that follow it, or leave stale bytes inside it.
      if (block_size != kProductInfoBlockSize) {
        fprintf(stderr, "ERROR: Product Information Block is %u bytes, not %u\n", block_size,
                kProductInfoBlockSize);
      } else if (upk_write_product_info_block(fp, nullptr, info) != 0) {
        fputs("Could not concat Product Information Block\n", stderr);
      } else {
        rv = 0;
      }
      break;
    case BlockSearch::kBadSize:
      fputs("ERROR: Could not seek past current block.\n", stderr);
      break;
    case BlockSearch::kAbsent:
    case BlockSearch::kUnreadable:
      fputs("ERROR: Could not refresh because block does not exist\n", stderr);
      break;
  }
  if (fclose(fp) != 0) rv = -1;
  return rv;
}

void upk_free_product_info(UpkProductInfo *info) {
  if (!info) return;
  free(info->product_id);
  free(info->product_version);
  info->product_id = nullptr;
  info->product_version = nullptr;
}
