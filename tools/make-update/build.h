// SPDX-License-Identifier: MIT
// Turns a plan into archive members and the archive: every carried file is compared with its old
// version, compressed with libbz2 and, where allowed, also made into a patch (the smaller of the
// two is kept); the work runs on a pool of threads within a memory budget. Failures are returned
// as one sentence in `*error`; nothing is printed except the optional progress line.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "archive/upk_format.h"
#include "plan.h"

namespace make_update {

// The most an archive may take, in bytes (500 MiB): the container's writer refuses a larger one.
constexpr uint64_t kArchiveLimit = upk_format::kMaxArchiveSize;
// What a publisher can do about an update that does not fit; ends every message about the limit.
extern const char kArchiveLimitAdvice[];

struct BuildSettings {
  unsigned jobs = 0;           // worker threads; 0 means one per available core
  uint64_t memory_budget = 0;  // bytes that the workers may hold at once; 0 means automatic
  bool progress = false;       // draw a progress line on standard error
  // When not 0: the build stops, and fails with a message that says what to do, as soon as the
  // members built so far take more than this many bytes (no archive of them could be written).
  uint64_t archive_limit = 0;
};

// The most the archive of `plan` can take, whatever its files compress to: every carried file as a
// bzip2 stream of the worst case (its size plus 1 % plus 600 bytes), a manifest of one line per
// instruction at its longest, the container's header and its index. At or below kArchiveLimit the
// archive is sure to fit; above it, only the compression can tell.
uint64_t WorstCaseArchiveSize(const Plan &plan);

// Where the build puts the compressed members until the archive is written: appended to one
// scratch file that has no name (nothing is left behind, whatever happens), each found again by its
// member name. Without a scratch file (a dry run) only the sizes are kept. Put may be called from
// several threads at once.
class MemberStore {
 public:
  MemberStore() = default;
  ~MemberStore();
  MemberStore(const MemberStore &) = delete;
  MemberStore &operator=(const MemberStore &) = delete;

  // Opens the scratch file in `folder`. False with a sentence in `*error` when it cannot.
  [[nodiscard]] bool Open(const std::string &folder, std::string *error);
  // Keeps `bytes` as the member `name`, stored with the permission bits `mode`.
  [[nodiscard]] bool Put(const std::string &name, const std::string &bytes, mode_t mode,
                         std::string *error);

  struct Member {
    uint64_t offset = 0;  // in the scratch file
    uint32_t length = 0;
    mode_t mode = 0;
  };
  int fd() const { return fd_; }
  // The member `name`, or null when none was put.
  const Member *Find(const std::string &name) const;

 private:
  int fd_ = -1;
  std::mutex mutex_;
  uint64_t end_ = 0;
  std::map<std::string, Member> members_;
};

// Fills in the build fields of every carry of `plan` and puts one compressed member per needed
// instruction into `store` (named like the member). On failure the workers stop early.
[[nodiscard]] bool BuildMembers(Plan *plan, MemberStore *store, const BuildSettings &settings,
                                std::string *error);

// The manifest text for `instructions`: one line each, ending in a line feed.
std::string ManifestText(const std::vector<Instruction> &instructions);

// Writes the archive `output` (through a temporary file beside it, renamed into place, so a
// failure leaves no archive): the compressed manifest, then the members in instruction order,
// copied from `store`. REQUIRES: `store` holds the member of every instruction that has one.
[[nodiscard]] bool WriteArchive(const std::vector<Instruction> &instructions,
                                const MemberStore &store, const std::string &output,
                                const std::string &product, const std::string &version,
                                std::string *error);

}  // namespace make_update
