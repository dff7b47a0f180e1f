// SPDX-License-Identifier: MIT
// The update's only way into its archive: a reader holding the open update.upk and
// two shared 262144-byte buffers, extracting one bzip2-compressed item at a time to a file or
// stream. Results are the program's result codes; the reader itself writes no messages.
#pragma once

#include <cstddef>
#include <cstdio>

// The size of each of the reader's two buffers (compressed input, decompressed output), which is
// also the block size every decoder of archive members uses.
constexpr size_t kReaderBufferSize = 262144;

// The bits of a member's flags that extraction gives the file: the permission bits only, so that
// an archive never creates a set-user-ID, set-group-ID or sticky file.
constexpr unsigned kMemberModeMask = 0777;

struct UpkArchive;
struct UpkItem;

class UpkReader {
 public:
  UpkReader() = default;
  ~UpkReader() { Close(); }
  UpkReader(const UpkReader &) = delete;
  UpkReader &operator=(const UpkReader &) = delete;

  // Opens the archive at `path` (closing any open one first) and allocates both buffers.
  // Returns result::kOk, kReadError (archive unreadable or bad index) or kReaderNoMemory (no
  // buffers even at 1024 bytes). An archive that opens but cannot be read is logged as "Archive:
  // update.upk cannot be read: WHY", WHY naming what is wrong (truncated, not an archive, a
  // damaged index); a missing one only on standard error, by the container library.
  [[nodiscard]] int Open(const char *path);
  // The same on a stream opened "rb", which the reader takes over in every case (so that the bytes
  // read are those of the file that the caller already checked).
  [[nodiscard]] int OpenStream(FILE *fp);
  // Closes the archive if open and frees both buffers. Harmless when empty.
  void Close();

  // Decompresses the item `name` and appends it to `out` (neither flushed nor closed).
  // Returns result::kOk, kReadError (no such item / read failure), kWriteError, kDecompressError
  // (bad bzip2 data) or kEmpty (length 0).
  // REQUIRES: a successful Open.
  [[nodiscard]] int ExtractToStream(const char *name, FILE *out);
  // Creates `path` (creat semantics, the item's permission bits, masked to 0777, through the umask)
  // and decompresses the item `name` into it. No file is created when the item is missing
  // (kReadError); a file that failed half-way is left in place. Returns as ExtractToStream, plus
  // kWriteError when the file cannot be created.
  [[nodiscard]] int ExtractToFile(const char *name, const char *path);
  // The same for the entry `leaf` of the folder `dir` (AT_FDCWD: `leaf` is a path), created with
  // `open_flags` (O_NOFOLLOW, say) added to creat's.
  [[nodiscard]] int ExtractToFileAt(const char *name, int dir, const char *leaf, int open_flags);
  // The loop behind both: decompresses `item` into `out`.
  [[nodiscard]] int ExtractItem(UpkItem *item, FILE *out);

  // result::kNoArchive when no archive is open, else kOk.
  [[nodiscard]] int CheckArchiveOpen() const;
  // Checks the open archive's product information against the accepted identifiers (blank, comma or
  // tab separated; null or empty skips the check) and the application's version. Returns
  // result::kOk, kNoArchive, kNoProductInfo, kWrongProduct or kApplicationNewer.
  [[nodiscard]] int VerifyProductInfo(const char *accepted, const char *app_version);

  UpkArchive *archive() const { return archive_; }

 private:
  UpkArchive *archive_ = nullptr;
};

// -1 when version `a` is older than `b`, 0 when equal, 1 when newer (also when out of memory).
int CompareVersions(const char *a, const char *b);
