// SPDX-License-Identifier: MIT
// kbpatch OLD NEW PATCH: applies a patch the way the updater does (header, size check, CRC check,
// application) and exits with the updater's result code and its meaning when that fails.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/bzip2_stream.h"
#include "base/result.h"
#include "base/scoped_file.h"
#include "base/whole_file.h"
#include "common/arguments.h"
#include "patch/apply_patch.h"
#include "patch/crc32.h"
#include "patch/patch_format.h"

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
    "decompressed into memory first, exactly as the updater extracts it: one bzip2 "
    "stream,\n"
    "whatever follows its end is ignored.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this text and exit\n"
    "\n"
    "Exit status: 0 on success; 1 for a wrong command line; 2 when OLD or PATCH cannot be read;\n"
    "otherwise the updater's result code (a patch shorter than its header is a read failure;\n"
    "OLD is the file to patch):\n";

// The result codes that a patch can end in, listed in the help with their meanings.
const int kExitCodes[] = {result::kCrcMismatch,   result::kReadError,    result::kWriteError,
                          result::kPatchNoMemory, result::kCopyNoMemory, result::kDecompressError,
                          result::kCorruptPatch,  result::kWrongKind};

std::string Usage() {
  std::string usage = kUsage;
  for (int code : kExitCodes) {
    char line[16];
    snprintf(line, sizeof(line), "  %2d  ", code);
    usage += line;
    usage += result::MeaningOf(code);
    usage += "\n";
  }
  return usage;
}

// The most room reserved up front for a decompressed patch, whatever its header says.
constexpr uint64_t kMaxReserve = uint64_t{1} << 30;

// Reads a compressed patch for the decoding loop.
int ReadPatchBytes(void *context, char *buffer, int32_t size) {
  return static_cast<int>(
      fread(buffer, 1, static_cast<size_t>(size), static_cast<FILE *>(context)));
}

// Decompresses the bzip2 data of `in` into `*plain` with the archive reader's own loop: one
// stream, whatever follows its end is ignored, as the updater extracts a patch member.
int Decompress(FILE *in, std::string *plain) {
  static char input[1 << 18], output[1 << 18];
  struct stat st;
  if (fstat(fileno(in), &st) != 0) return result::kReadError;
  Bzip2Source source;
  source.read = ReadPatchBytes;
  source.context = in;
  source.length = st.st_size;
  Bzip2Sink sink;
  sink.write = [](void *context, const char *data, size_t size) {
    std::string *plain = static_cast<std::string *>(context);
    // The header announces the patch's size: room for all of it at once (within reason; a header
    // that lies is caught by the checks that follow), so that the bytes are copied only once.
    if (plain->empty() && size >= patch_format::kHeaderSize) {
      PatchHeader header;
      (void)ParsePatchHeader(reinterpret_cast<const unsigned char *>(data), 0, &header);
      const uint64_t total = patch_format::kHeaderSize + uint64_t{header.control_length} +
                             header.diff_length + header.extra_length;
      if (total <= kMaxReserve) plain->reserve(static_cast<size_t>(total));
    }
    plain->append(data, size);
    return true;
  };
  sink.context = plain;
  return DecodeBzip2Stream(source, input, sizeof(input), output, sizeof(output), sink);
}

// Opens the patch into `*patch`; a bzip2-compressed one is decompressed into `*plain` instead
// (`*patch` stays empty).
int OpenPatch(const char *path, ScopedFile *patch, std::string *plain) {
  ScopedFile file(fopen(path, "rb"));
  if (!file) {
    fprintf(stderr, "kbpatch: cannot open %s: %s\n", path, strerror(errno));
    return result::kReadError;
  }
  char magic[3] = {0, 0, 0};
  size_t got = fread(magic, 1, sizeof(magic), file.get());
  rewind(file.get());
  if (got < 3 || memcmp(magic, "BZh", 3) != 0) {
    patch->Reset(file.release());
    return result::kOk;
  }
  int code = Decompress(file.get(), plain);
  if (code != result::kOk) fprintf(stderr, "kbpatch: cannot decompress %s\n", path);
  return code;
}

// Reads the file to patch whole and checks it against the header, as the updater does.
int LoadSource(const char *path, const PatchHeader &header, unsigned char **data, mode_t *mode) {
  ScopedFile file(fopen(path, "rb"));
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
  if (!ReadExactly(file.get(), *data, size)) {
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
  std::string plain;  // a compressed patch, decompressed
  ScopedFile patch;   // an uncompressed one
  int code = OpenPatch(patch_path, &patch, &plain);
  if (code != result::kOk) return code;
  // A decompressed patch in memory gets the same checks as the file the updater reads: a header
  // of 32 bytes that agrees with the size, then the body.
  unsigned char *plain_bytes = reinterpret_cast<unsigned char *>(plain.data());
  PatchHeader header;
  if (patch) {
    code = ReadPatchHeader(patch.get(), &header);
  } else {
    code = plain.size() < patch_format::kHeaderSize
               ? result::kReadError
               : ParsePatchHeader(plain_bytes, plain.size(), &header);
  }
  if (code != result::kOk) return code;

  unsigned char *raw_source = nullptr;
  mode_t mode = 0644;
  code = LoadSource(old_path, header, &raw_source, &mode);
  std::unique_ptr<unsigned char, decltype(&free)> source(raw_source, &free);
  if (code != result::kOk) return code;

  ScopedFile out(fopen(new_path, "wb"));
  if (!out) {
    fprintf(stderr, "kbpatch: cannot create %s: %s\n", new_path, strerror(errno));
    return result::kWriteError;
  }
  // Triples are often short: a large buffer turns their bytes into few large writes.
  setvbuf(out.get(), nullptr, _IOFBF, 1 << 20);
  if (fchmod(fileno(out.get()), mode) != 0) code = result::kWriteError;
  if (code == result::kOk) {
    code = patch ? ApplyPatch(header, patch.get(), source.get(), out.get())
                 : ApplyPatchBody(header, plain_bytes + patch_format::kHeaderSize, source.get(),
                                  out.get());
  }
  if (out.Close() != 0 && code == result::kOk) code = result::kWriteError;
  if (code != result::kOk) remove(new_path);
  return code;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> files;
  const std::string usage = Usage();
  int parsed =
      ParseFileArguments(argc, argv, "kbpatch", usage.c_str(), "[--help] OLD NEW PATCH", 3, &files);
  if (parsed >= 0) return parsed;
  for (const std::string &input : {files[0], files[2]}) {
    if (!InputReadable("kbpatch", input)) return kExitUnreadableInput;
  }
  int code = Patch(files[0].c_str(), files[1].c_str(), files[2].c_str());
  if (code != result::kOk) {
    fprintf(stderr, "kbpatch: %s (%d)\n", result::MeaningOf(code), code);
    return code > 0 && code < 126 ? code : 1;
  }
  return 0;
}
