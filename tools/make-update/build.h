// Turns a plan into archive members and the archive: every carried file is compared with its old
// version, compressed with libbz2 and, where allowed, also made into a patch (the smaller of the
// two is kept); the work runs on a pool of threads within a memory budget. Failures are returned
// as one sentence in `*error`; nothing is printed except the optional progress line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plan.h"

namespace make_update {

struct BuildSettings {
  unsigned jobs = 0;           // worker threads; 0 means one per available core
  uint64_t memory_budget = 0;  // bytes that the workers may hold at once; 0 means automatic
  bool progress = false;       // draw a progress line on standard error
};

// Compresses `size` bytes at `data` into one bzip2 stream (block size 9, or a smaller one that
// holds the whole input, which compresses the same) in the file `dest`, created with exactly the
// permission bits `mode` (missing folders above it are made); `*compressed_size` receives its
// length.
[[nodiscard]] bool CompressBytes(const void *data, size_t size, const std::string &dest,
                                 mode_t mode, uint64_t *compressed_size, std::string *error);

// Fills in the build fields of every carry of `plan` and leaves one compressed member per needed
// instruction below `members_dir` (named like the member). On failure the workers stop early and
// the members written so far stay for the caller to remove.
[[nodiscard]] bool BuildMembers(Plan *plan, const std::string &members_dir,
                                const BuildSettings &settings, std::string *error);

// The manifest text for `instructions`: one line each, ending in a line feed.
std::string ManifestText(const std::vector<Instruction> &instructions);

// Writes the compressed manifest into `members_dir` and the archive `output` (through a temporary
// file beside it, renamed into place, so a failure leaves no archive) with the members in
// instruction order. REQUIRES: the members of `instructions` exist below `members_dir`.
[[nodiscard]] bool WriteArchive(const std::vector<Instruction> &instructions,
                                const std::string &members_dir, const std::string &output,
                                const std::string &product, const std::string &version,
                                std::string *error);

// Creates every missing folder above `path` (mode 0755). False when one cannot be made.
bool MakeParents(const std::string &path);

}  // namespace make_update
