// kbpatch OLD NEW PATCH: applies a patch the way the updater does (header, size check, CRC check,
// application) and exits with the updater's result code and its meaning when that fails.
#include <bzlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/file_arguments.h"
#include "common/tool_version.h"
#include "base/result.h"
#include "patch/apply_patch.h"
#include "patch/crc32.h"

namespace {

const char kUsage[] =
    "Usage: kbpatch [--help] OLD NEW PATCH\n"
    "\n"
    "Applies PATCH, made by kbdiff, to the file OLD and writes the result to NEW, through the "
    "same\n"
    "steps the updater takes for a patch instruction: it reads the patch header, checks that OLD "
    "has\n"
    "exactly the size and the CRC recorded there, and applies the patch. NEW gets OLD's "
    "permission\n"
    "bits; it is overwritten if it exists and removed again if the patch fails. NEW may be OLD\n"
    "itself: OLD is read whole before NEW is created.\n"
    "\n"
    "PATCH may also be compressed with bzip2, as an update archive stores it; it is then\n"
    "decompressed to a temporary file first, as the updater extracts it.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this text and exit\n"
    "\n"
    "Exit status: 0 on success; 1 for a wrong command line; otherwise the updater's result code:\n"
    "   4  OLD does not have the CRC recorded in the patch\n"
    "   6  a file cannot be opened, queried or read (also a patch shorter than its header)\n"
    "   7  NEW or the temporary file cannot be created or written\n"
    "  12  no memory for the patch body\n"
    "  13  no memory for the contents of OLD\n"
    "  39  the bzip2 decompressor reports an error\n"
    "  41  the patch is corrupt\n"
    "  42  OLD does not have the size recorded in the patch\n";

const char *Meaning(int code) {
  switch (code) {
    case result::kCrcMismatch:
      return "the file to patch does not have the CRC recorded in the patch";
    case result::kReadError:
      return "something that must be read cannot be opened, queried or read";
    case result::kWriteError:
      return "something that must be written cannot be created, renamed, removed or written";
    case result::kPatchNoMemory:
      return "no memory for the body of a patch";
    case result::kCopyNoMemory:
      return "no memory for the contents of the file to patch";
    case result::kDecompressError:
      return "the bzip2 decompressor cannot be started or reports an error";
    case result::kCorruptPatch:
      return "a patch file is corrupt";
    case result::kWrongKind:
      return "the file to patch does not have the size recorded in the patch";
  }
  return "unexpected failure";
}

struct FileCloser {
  void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Decompresses the bzip2 data of `in` (one or more concatenated streams) into `out`.
int Decompress(FILE *in, FILE *out) {
  static char input[1 << 18], output[1 << 18];
  bz_stream stream;
  memset(&stream, 0, sizeof(stream));
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return result::kDecompressError;
  int code = result::kOk;
  bool in_stream = true;  // a stream has been started and not finished
  for (;;) {
    if (stream.avail_in == 0) {
      size_t got = fread(input, 1, sizeof(input), in);
      if (got == 0) {
        if (ferror(in))
          code = result::kReadError;
        else if (in_stream)
          code = result::kDecompressError;  // cut short
        break;
      }
      stream.next_in = input;
      stream.avail_in = static_cast<unsigned>(got);
    }
    if (!in_stream) {  // more data after a finished stream: the next concatenated stream
      BZ2_bzDecompressEnd(&stream);
      char *next_in = stream.next_in;
      unsigned avail_in = stream.avail_in;
      memset(&stream, 0, sizeof(stream));
      if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return result::kDecompressError;
      stream.next_in = next_in;
      stream.avail_in = avail_in;
      in_stream = true;
    }
    stream.next_out = output;
    stream.avail_out = sizeof(output);
    int rv = BZ2_bzDecompress(&stream);
    if (rv != BZ_OK && rv != BZ_STREAM_END) {
      code = result::kDecompressError;
      break;
    }
    size_t made = sizeof(output) - stream.avail_out;
    if (fwrite(output, 1, made, out) != made) {
      code = result::kWriteError;
      break;
    }
    if (rv == BZ_STREAM_END) in_stream = false;
  }
  BZ2_bzDecompressEnd(&stream);
  return code;
}

// Opens the patch; a bzip2-compressed one is decompressed into an anonymous temporary file.
int OpenPatch(const char *path, File *patch) {
  File file(fopen(path, "rb"));
  if (!file) {
    fprintf(stderr, "kbpatch: cannot open %s: %s\n", path, strerror(errno));
    return result::kReadError;
  }
  char magic[3] = {0, 0, 0};
  size_t got = fread(magic, 1, sizeof(magic), file.get());
  rewind(file.get());
  if (got < 3 || memcmp(magic, "BZh", 3) != 0) {
    *patch = std::move(file);
    return result::kOk;
  }
  // An anonymous in-memory file where available: the patch is written once and read once.
  int fd = memfd_create("kbpatch", 0);
  File plain(fd >= 0 ? fdopen(fd, "w+b") : tmpfile());
  if (fd >= 0 && !plain) close(fd);
  if (!plain) {
    fprintf(stderr, "kbpatch: cannot create a temporary file: %s\n", strerror(errno));
    return result::kWriteError;
  }
  int code = Decompress(file.get(), plain.get());
  if (code == result::kOk && fflush(plain.get()) != 0) code = result::kWriteError;
  if (code != result::kOk) {
    fprintf(stderr, "kbpatch: cannot decompress %s\n", path);
    return code;
  }
  rewind(plain.get());
  *patch = std::move(plain);
  return result::kOk;
}

// Reads the file to patch whole and checks it against the header, as the updater does.
int LoadSource(const char *path, const PatchHeader &header, unsigned char **data, mode_t *mode) {
  File file(fopen(path, "rb"));
  struct stat st;
  if (!file || fstat(fileno(file.get()), &st) != 0) {
    fprintf(stderr, "kbpatch: cannot open %s: %s\n", path, strerror(errno));
    return result::kReadError;
  }
  *mode = st.st_mode & 07777;
  if (static_cast<uint64_t>(st.st_size) != header.source_length) {
    fprintf(stderr, "kbpatch: %s has %lld bytes, the patch is for %u bytes\n", path,
            static_cast<long long>(st.st_size), header.source_length);
    return result::kWrongKind;
  }
  const size_t size = header.source_length;
  *data = static_cast<unsigned char *>(malloc(size > 0 ? size : 1));
  if (!*data) return result::kCopyNoMemory;
  if (fread(*data, 1, size, file.get()) != size) {
    fprintf(stderr, "kbpatch: cannot read %s\n", path);
    return result::kReadError;
  }
  uint32_t crc = Crc32Bzip2(*data, size);
  if (crc != header.source_crc) {
    fprintf(stderr, "kbpatch: %s has CRC 0x%08X, the patch is for CRC 0x%08X\n", path, crc,
            header.source_crc);
    return result::kCrcMismatch;
  }
  return result::kOk;
}

int Patch(const char *old_path, const char *new_path, const char *patch_path) {
  File patch;
  int code = OpenPatch(patch_path, &patch);
  if (code != result::kOk) return code;
  PatchHeader header;
  code = ReadPatchHeader(patch.get(), &header);
  if (code != result::kOk) return code;

  unsigned char *raw_source = nullptr;
  mode_t mode = 0644;
  code = LoadSource(old_path, header, &raw_source, &mode);
  std::unique_ptr<unsigned char, decltype(&free)> source(raw_source, &free);
  if (code != result::kOk) return code;

  File out(fopen(new_path, "wb"));
  if (!out) {
    fprintf(stderr, "kbpatch: cannot create %s: %s\n", new_path, strerror(errno));
    return result::kWriteError;
  }
  // Triples are often short: a large buffer turns their bytes into few large writes.
  setvbuf(out.get(), nullptr, _IOFBF, 1 << 20);
  if (fchmod(fileno(out.get()), mode) != 0) code = result::kWriteError;
  if (code == result::kOk) code = ApplyPatch(header, patch.get(), source.get(), out.get());
  if (fclose(out.release()) != 0 && code == result::kOk) code = result::kWriteError;
  if (code != result::kOk) remove(new_path);
  return code;
}

}  // namespace

int main(int argc, char **argv) {
  if (IsVersionRequest(argc, argv)) return PrintToolVersion("kbpatch");
  const char *files[3];
  int parsed =
      ParseFileArguments(argc, argv, "kbpatch", kUsage, "[--help] OLD NEW PATCH", 3, files);
  if (parsed >= 0) return parsed;
  int code = Patch(files[0], files[1], files[2]);
  if (code != result::kOk) {
    fprintf(stderr, "kbpatch: %s (%d)\n", Meaning(code), code);
    return code > 0 && code < 126 ? code : 1;
  }
  return 0;
}
