// SPDX-License-Identifier: MIT
// The archive container library: reads an archive's index into a 256-bucket hash table and gives
// random access to each item's stored bytes; writes new archives, unpacks them, reports their
// signature and block layout and reads or rewrites the product information. Results are -1 / 0 or
// none; where noted, a failure also writes one message to standard error (libc only, no logging).
#pragma once

#include <cstdint>
#include <cstdio>

struct UpkItem {
  UpkItem *next;    // following item of the same bucket, or null
  uint32_t offset;  // absolute offset of the stored bytes
  uint32_t length;  // number of stored bytes
  uint32_t flags;   // permission bits
  char *name;       // NUL-terminated; lives in the same allocation as the item
};

struct UpkArchive {
  FILE *fp;  // opened "rb", owned by the archive
  UpkItem *buckets[256];
};

// Two strings owned by whoever filled the record (the library fills with malloc'd copies).
struct UpkProductInfo {
  char *product_id;       // at most 63 characters
  char *product_version;  // at most 31 characters
};

// Returns nonzero to stop a walk.
typedef int (*UpkItemCallback)(UpkArchive *archive, UpkItem *item, void *user);

// ---- Reading ----

// Opens the archive at `path` and reads its whole index. Returns null when the file cannot be
// opened (message "ERROR: could not open file in upk_open()" and the system error), or silently
// when the magic, the index position or size, or an index entry is wrong. An index that would run
// past the end of the file is refused before anything is allocated for it. An entry whose name has
// no NUL before the index ends is dropped and ends the index. Never returns a half-built archive.
// When the file opens but is refused, `*why` (when given) gets a sentence naming what is wrong,
// e.g. "truncated: the index runs past the end of the file (a cut download?)" (static storage);
// it is left as it was when the file cannot be opened.
[[nodiscard]] UpkArchive *upk_open(const char *path, const char **why = nullptr);
// The same on a stream opened "rb" (read from its start), which the archive takes over: on
// failure it is closed.
[[nodiscard]] UpkArchive *upk_open_stream(FILE *fp, const char **why = nullptr);
// Closes the stream and frees every item and the archive. Accepts null.
void upk_close(UpkArchive *archive);
// The first item (in index order) named exactly `name`, or null.
UpkItem *upk_lookup(UpkArchive *archive, const char *name);
// Reads up to `capacity` stored bytes of `item` from `position` (signed 32-bit comparisons).
// Returns the count read; 0 at the item's end or when nothing could be read; -1 past the end or
// when the seek fails.
int upk_read_item(UpkArchive *archive, UpkItem *item, int32_t position, char *buffer,
                  int32_t capacity);
// Calls `callback` for each item, buckets 0..255 and each chain head to tail. Returns 0 or the
// first nonzero callback result (the walk stops there).
int upk_for_each_item(UpkArchive *archive, UpkItemCallback callback, void *user);

// ---- Unpacking ----

// Copies the stored bytes of `item` to the file named by the item, relative to the current
// directory (parents made with mode 0755, the file with the item's flags as its mode). Refuses an
// absolute name, an empty one or one with a ".." component ("ERROR: unsafe item name in
// upk_test_callback(): NAME"). Returns 0 when the whole item was copied, else -1 (the file may be
// left partly written).
int upk_test_callback(UpkArchive *archive, UpkItem *item, void *user);
// Opens `path` and unpacks every item with upk_test_callback. Returns 0, -1 when the archive does
// not open, or the first nonzero callback result (items after it are not unpacked).
[[nodiscard]] int upk_extract_all(const char *path);

// ---- Writing ----

// Writes a new archive at `path`: the 24-byte header, the 104-byte product information block,
// the bytes of each file in order (item name = the path exactly as given, flags = mode & 0777)
// and the index. Fails (-1) with no files, with product strings missing or too long, with a file
// that cannot be read, or when the archive would exceed 500 MiB; a partly written archive is
// removed. Messages: "ERROR: could not create target file: PATH", "ERROR: file not found: PATH".
// REQUIRES: `files` holds `count` paths.
[[nodiscard]] int upk_create_archive(const char *path, int count, const char *const *files,
                                     const UpkProductInfo *info);
// One item of upk_create_archive_from: `length` stored bytes, at `bytes` or, when that is null, at
// `offset` in the open file `fd`.
struct UpkItemSource {
  const char *name;
  uint32_t flags;  // permission bits
  const void *bytes;
  int fd;
  uint64_t offset;
  uint32_t length;
};
// Writes a new archive at `path` exactly as upk_create_archive would from files holding the same
// bytes, with the items in the given order, taking each item's bytes from memory or from a range
// of an open file. Same refusals and removal on failure; messages "ERROR: could not create target
// file: PATH" and "ERROR: could not write item: NAME" (a short read or write).
[[nodiscard]] int upk_create_archive_from(const char *path, int count, const UpkItemSource *items,
                                          const UpkProductInfo *info);
// Appends the bytes of the file at `path` to `out` in chunks of 4096. 0, or -1 when the file
// cannot be opened ("ERROR: could not open file in upk_concat_file()" and the system error), read
// or written.
[[nodiscard]] int upk_concat_file(FILE *out, const char *path);
// Writes a 104-byte product information block at `out`'s position and adds 104 to
// `*running_offset` when given. -1 when a string is missing or too long (63 / 31 characters) or a
// write is short; nothing is written when a string is refused.
[[nodiscard]] int upk_write_product_info_block(FILE *out, uint32_t *running_offset,
                                               const UpkProductInfo *info);

// ---- Layout and product information ----

// Reports the layout of the archive at `path`: whether it has a signature area, the signature
// count, whether it has additional blocks, the offset of the first block and the block count.
// Every output is optional but at least one of the two flags must be asked for. -1 on any failed
// read or seek, more than 8 signatures, or when the file cannot be opened ("ERROR: could not open
// file in get_upk_file_info()" and the system error). An archive of the older layout reports no
// signature area, 0 signatures and no blocks.
[[nodiscard]] int get_upk_file_info(const char *path, bool *has_signature_area,
                                    uint32_t *signature_count, bool *has_blocks,
                                    uint32_t *first_block_offset, uint32_t *block_count);
// The same on an open stream (its position is moved).
[[nodiscard]] int get_upk_stream_info(FILE *fp, bool *has_signature_area, uint32_t *signature_count,
                                      bool *has_blocks, uint32_t *first_block_offset,
                                      uint32_t *block_count);
// Fills `info` with malloc'd copies of the archive's product strings. -1 (and `info` untouched)
// when the archive has no product information block or it cannot be read or breaks its limits.
[[nodiscard]] int upk_get_product_info(UpkArchive *archive, UpkProductInfo *info);
// The same for the archive at `path` ("ERROR: could not open file in read_product_info_block()"
// and the system error when it cannot be opened).
[[nodiscard]] int read_product_info_block(const char *path, UpkProductInfo *info);
// Rewrites the product information block of the unsigned archive at `path` in place. Refuses a
// signed archive ("ERROR: Cannot refresh a signed UPK"), one without the block, and one whose
// block is not 104 bytes long (a new block would overwrite what follows it). -1 on failure, with
// one message on standard error. Only the block's own 104 bytes are ever written; a write that
// fails half-way leaves them as far as they were written.
[[nodiscard]] int upk_refresh_product_info(const char *path, const UpkProductInfo *info);
// Frees both strings of a record filled by the library and sets them to null.
void upk_free_product_info(UpkProductInfo *info);
