// The update's archive reader: opening and closing update.upk, and streaming one bzip2-compressed
// item at a time through two process-wide buffers, so that memory stays bounded whatever the
// item's size.
#include "archive/upk_reader.h"

#include <bzlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "archive/upk.h"
#include "base/result.h"

UpkReader update_reader;

namespace {

constexpr size_t kBufferSize = 262144;
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

void CloseAtExit() { update_reader.Close(); }

// The archive left open by an update is closed, and the buffers freed, when the process ends.
const int close_registered = std::atexit(CloseAtExit);

}  // namespace

int UpkReader::Open(const char *path) {
  (void)close_registered;
  if (archive_) Close();
  if (!AllocateBuffer(&input_buffer, &input_buffer_size) ||
      !AllocateBuffer(&output_buffer, &output_buffer_size)) {
    return result::kReaderNoMemory;
  }
  archive_ = upk_open(path);
  return archive_ ? result::kOk : result::kReadError;
}

int UpkReader::OpenStream(FILE *fp) {
  (void)close_registered;
  if (archive_) Close();
  if (!AllocateBuffer(&input_buffer, &input_buffer_size) ||
      !AllocateBuffer(&output_buffer, &output_buffer_size)) {
    fclose(fp);
    return result::kReaderNoMemory;
  }
  archive_ = upk_open_stream(fp);
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
  UpkItem *item = upk_lookup(archive_, name);
  if (!item) return result::kReadError;
  int fd = creat(path, static_cast<mode_t>(item->flags));
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
  bz_stream stream;
  memset(&stream, 0, sizeof(stream));
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return result::kDecompressError;

  const int32_t length = static_cast<int32_t>(item->length);
  int32_t position = 0;
  int rv = result::kOk;
  while (true) {
    if (length == 0) {
      rv = result::kEmpty;
      break;
    }
    if (position < length && stream.avail_in == 0) {
      int got = upk_read_item(archive_, item, position, input_buffer,
                              static_cast<int32_t>(input_buffer_size));
      if (got <= 0) {
        rv = result::kReadError;
        break;
      }
      position += got;
      stream.next_in = input_buffer;
      stream.avail_in = static_cast<unsigned>(got);
    }
    stream.next_out = output_buffer;
    stream.avail_out = static_cast<unsigned>(output_buffer_size);
    int bz = BZ2_bzDecompress(&stream);
    if (bz != BZ_OK && bz != BZ_STREAM_END) {
      rv = result::kDecompressError;
      break;
    }
    size_t produced = output_buffer_size - stream.avail_out;
    if (produced != 0 && fwrite(output_buffer, 1, produced, out) != produced) {
      rv = result::kWriteError;
      break;
    }
    if (bz == BZ_STREAM_END) break;
    // Every stored byte consumed and nothing more to give: the bzip2 stream is cut short.
    if (produced == 0 && stream.avail_in == 0 && position >= length) {
      rv = result::kDecompressError;
      break;
    }
  }
  BZ2_bzDecompressEnd(&stream);
  return rv;
}
