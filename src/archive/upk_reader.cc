// SPDX-License-Identifier: MIT
// The update's archive reader: opening and closing update.upk, and streaming one bzip2-compressed
// item at a time through two process-wide buffers, so that memory stays bounded whatever the
// item's size.
#include "archive/upk_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "archive/bzip2_stream.h"
#include "archive/upk.h"
#include "base/result.h"
#include "base/update_log.h"

namespace {

constexpr size_t kBufferSize = kReaderBufferSize;
constexpr size_t kFallbackBufferSize = 1024;

// Shared by every reader; a size drops to 1024 for good once an allocation at it failed.
char *input_buffer = nullptr;
size_t input_buffer_size = kBufferSize;
char *output_buffer = nullptr;
size_t output_buffer_size = kBufferSize;

// Allocates `*buffer` at `*size`, falling back to 1024 bytes. False when even that fails.
bool AllocateBuffer(char **buffer, size_t *size) {
  if (*buffer) return true;
  *buffer = static_cast<char *>(malloc(*size));
  if (!*buffer) {
    *size = kFallbackBufferSize;
    *buffer = static_cast<char *>(malloc(*size));
  }
  return *buffer != nullptr;
}

}  // namespace

int UpkReader::Open(const char *path) {
  if (archive_) Close();
  if (!AllocateBuffer(&input_buffer, &input_buffer_size) ||
      !AllocateBuffer(&output_buffer, &output_buffer_size)) {
    return result::kReaderNoMemory;
  }
  const char *why = "";
  archive_ = upk_open(path, &why);
  if (!archive_ && *why) LOG("Archive: update.upk cannot be read: %s", why);
  return archive_ ? result::kOk : result::kReadError;
}

int UpkReader::OpenStream(FILE *fp) {
  if (archive_) Close();
  if (!AllocateBuffer(&input_buffer, &input_buffer_size) ||
      !AllocateBuffer(&output_buffer, &output_buffer_size)) {
    fclose(fp);
    return result::kReaderNoMemory;
  }
  const char *why = "";
  archive_ = upk_open_stream(fp, &why);
  if (!archive_ && *why) LOG("Archive: update.upk cannot be read: %s", why);
  return archive_ ? result::kOk : result::kReadError;
}

void UpkReader::Close() {
  if (archive_) {
    upk_close(archive_);
    archive_ = nullptr;
  }
  free(input_buffer);
  input_buffer = nullptr;
  free(output_buffer);
  output_buffer = nullptr;
}

int UpkReader::ExtractToStream(const char *name, FILE *out) {
  UpkItem *item = upk_lookup(archive_, name);
  if (!item) return result::kReadError;
  return ExtractItem(item, out);
}

int UpkReader::ExtractToFile(const char *name, const char *path) {
  return ExtractToFileAt(name, AT_FDCWD, path, 0);
}

int UpkReader::ExtractToFileAt(const char *name, int dir, const char *leaf, int open_flags) {
  UpkItem *item = upk_lookup(archive_, name);
  if (!item) return result::kReadError;
  int fd = openat(dir, leaf, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC | open_flags,
                  static_cast<mode_t>(item->flags & kMemberModeMask));
  if (fd < 0) return result::kWriteError;
  FILE *out = fdopen(fd, "wb");
  if (!out) {
    close(fd);
    return result::kWriteError;
  }
  int rv = ExtractItem(item, out);
  // Bytes still buffered in the stream are written by the close: its failure is a write failure.
  if (fclose(out) != 0 && rv == result::kOk) rv = result::kWriteError;
  return rv;
}

int UpkReader::ExtractItem(UpkItem *item, FILE *out) {
  struct Reading {
    UpkArchive *archive;
    UpkItem *item;
    int32_t position;
  } reading{archive_, item, 0};
  Bzip2Source source;
  source.read = [](void *context, char *buffer, int32_t size) {
    Reading *r = static_cast<Reading *>(context);
    int got = upk_read_item(r->archive, r->item, r->position, buffer, size);
    if (got > 0) r->position += got;
    return got;
  };
  source.context = &reading;
  source.length = static_cast<int32_t>(item->length);
  return DecodeBzip2Stream(source, input_buffer, static_cast<int32_t>(input_buffer_size),
                           output_buffer, output_buffer_size, out);
}
