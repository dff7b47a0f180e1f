// SPDX-License-Identifier: MIT
// kbdiff OLD NEW PATCH: writes the patch that turns OLD into NEW. Exits 0 on success, 2 when an
// input cannot be read and 1 otherwise, with a message on standard error.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "base/whole_file.h"
#include "common/arguments.h"
#include "kbdiff/make_patch.h"

namespace {

const char kUsage[] =
    "Usage: kbdiff [--help] OLD NEW PATCH\n"
    "\n"
    "Writes to PATCH a binary patch that turns the file OLD into the file NEW.\n"
    "\n"
    "The patch is in the updater's format: a 32-byte header (the magic \"KBDIFF10\", the size and\n"
    "CRC of OLD, the size of NEW and the lengths of three blocks), then a control block of\n"
    "add/copy/seek instructions, a block of bytes added to OLD's bytes and a block of bytes "
    "copied\n"
    "verbatim. It is not compressed: an update archive compresses its members with bzip2, and\n"
    "`bzip2 -9 PATCH` gives the size it will take there.\n"
    "\n"
    "Matches are chosen to suit NEW: text (scripts, markup) that changed in many places gets\n"
    "fewer, longer matches than machine code; a NEW of up to 1 MiB is matched both ways and the\n"
    "patch that compresses smaller with bzip2 is kept.\n"
    "\n"
    "The patch applies only to a file of exactly OLD's size and CRC; `kbpatch OLD NEW PATCH`\n"
    "applies it the way the updater does. PATCH is overwritten if it exists.\n"
    "\n"
    "Limits: OLD and NEW must each be smaller than 4 GiB, and no instruction may move more than\n"
    "2 GiB through OLD; such inputs are refused. Memory use is about five times OLD's size\n"
    "(nine times for an OLD of 2 GiB or more), or OLD's size plus twice NEW's size if that is\n"
    "more.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this text and exit\n"
    "\n"
    "Exit status: 0 when PATCH was written, 2 when OLD or NEW cannot be read, 1 otherwise (a\n"
    "message on standard error says why).\n";

using Buffer = std::unique_ptr<uint8_t, decltype(&free)>;

// Reads the whole regular file at `path` into `*data`; prints why on failure.
bool ReadWholeFile(const char *path, Buffer *data, size_t *size) {
  WholeFileOptions options;
  options.regular_only = true;
  options.max_size = std::numeric_limits<uint32_t>::max();
  char *bytes = nullptr;
  switch (ReadWholeFile(path, options, &bytes, size)) {
    case FileRead::kOk:
      data->reset(reinterpret_cast<uint8_t *>(bytes));
      return true;
    case FileRead::kCannotOpen:
      fprintf(stderr, "kbdiff: cannot open %s: %s\n", path, strerror(errno));
      break;
    case FileRead::kCannotQuery:
      fprintf(stderr, "kbdiff: cannot query %s: %s\n", path, strerror(errno));
      break;
    case FileRead::kNotRegular:
      fprintf(stderr, "kbdiff: %s is not a regular file\n", path);
      break;
    case FileRead::kTooLarge:
      fprintf(stderr, "kbdiff: %s is 4 GiB or larger; a patch can only describe smaller files\n",
              path);
      break;
    case FileRead::kNoMemory:
      fprintf(stderr, "kbdiff: not enough memory to read %s\n", path);
      break;
    case FileRead::kCannotRead:
      fprintf(stderr, "kbdiff: cannot read %s: %s\n", path, strerror(errno));
      break;
    case FileRead::kShort:
      fprintf(stderr, "kbdiff: cannot read %s: the file became shorter\n", path);
      break;
  }
  return false;
}

bool WriteWholeFile(const char *path, const std::vector<uint8_t> &data) {
  FILE *file = fopen(path, "wb");
  if (!file) {
    fprintf(stderr, "kbdiff: cannot create %s: %s\n", path, strerror(errno));
    return false;
  }
  bool written = fwrite(data.data(), 1, data.size(), file) == data.size();
  int saved = errno;
  if (fclose(file) != 0 && written) {
    written = false;
    saved = errno;
  }
  if (!written) {
    fprintf(stderr, "kbdiff: cannot write %s: %s\n", path, strerror(saved));
    remove(path);
  }
  return written;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> files;
  int parsed =
      ParseFileArguments(argc, argv, "kbdiff", kUsage, "[--help] OLD NEW PATCH", 3, &files);
  if (parsed >= 0) return parsed;
  for (int i = 0; i < 2; ++i) {
    if (!InputReadable("kbdiff", files[i])) return kExitUnreadableInput;
  }

  std::vector<uint8_t> patch_bytes;
  // The new file is read only once the old one is indexed: sorting needs the most memory.
  Buffer old_data(nullptr, &free), new_data(nullptr, &free);
  size_t old_size = 0, new_size = 0;
  if (!ReadWholeFile(files[0].c_str(), &old_data, &old_size)) return 1;
  PatchMaker maker;
  MakePatchStatus status = maker.Index(old_data.get(), old_size);
  if (status == MakePatchStatus::kOk) {
    if (!ReadWholeFile(files[1].c_str(), &new_data, &new_size)) return 1;
    status = maker.Make(new_data.get(), new_size, &patch_bytes);
  }
  if (status != MakePatchStatus::kOk) {
    fprintf(stderr, "kbdiff: %s\n", MakePatchStatusText(status));
    return 1;
  }
  old_data.reset();
  new_data.reset();
  return WriteWholeFile(files[2].c_str(), patch_bytes) ? 0 : 1;
}
