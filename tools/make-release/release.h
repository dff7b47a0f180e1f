// SPDX-License-Identifier: MIT
// make-release's core: the archives of one release (the complete update and a partial update
// from each previous version), built and checked by make-update processes run in parallel, and
// the feed releases.json that lists them. Functions return false and fill `error` (one line) on
// failure; what they leave behind is stated with each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace make_release {

// A partial update is left out when it is not clearly smaller than the complete one: at least
// this share of the complete update's size.
constexpr double kPartialLimit = 0.9;

struct Previous {
  std::string version;
  std::string tree;
};

struct ReleaseSettings {
  std::string product, version, new_tree, output;
  std::vector<Previous> previous;
  std::string make_update;                       // the make-update program
  std::string updater;                           // passed to make-update --updater when not empty
  std::vector<std::string> make_update_options;  // passed on unchanged (--optional P, ...)
  unsigned jobs = 0;                             // processes at once; 0: one per core
  uint64_t memory_mib = 0;                       // shared by the processes; 0: automatic
  // Secret key files (upk keygen) that sign every archive. make-update signs with the first and
  // its check runs the updater trusting that key; the others are added after the check.
  std::vector<std::string> sign_keys;
  bool force = false;     // build into an output folder that is not empty
  bool progress = false;  // a line on standard error as each archive is done
};

struct Signature {
  std::string algorithm, key_id;
};

struct Archive {
  std::string kind;        // "complete" or "partial"
  std::string applies_to;  // the previous version (partial updates)
  std::string file;        // name inside the output folder
  uint64_t size = 0;
  std::string sha256;  // lower-case hex
  std::vector<Signature> signatures;
};

// A version names files of the release: 1 to 31 bytes of letters, digits, ".", "_", "+", "-",
// not starting with "." (make-update's --version takes at most 31 bytes).
bool ValidVersion(const std::string &version);

// File names of the release's archives.
std::string CompleteName(const std::string &product, const std::string &version);
std::string PartialName(const std::string &product, const std::string &from,
                        const std::string &version);

// Builds and checks every archive into settings.output (created if missing; one that holds
// anything is refused unless settings.force). On success `archives` holds the complete update
// first, then the partial updates that were kept, in the order given, and the left-out partial
// archives have been deleted; `notes` says what was left out. On failure the failed run's output
// is in `error`, and what this run created is removed again: its archives, and the output
// folder when this run made it.
bool BuildRelease(const ReleaseSettings &settings, std::vector<Archive> *archives,
                  std::vector<std::string> *notes, std::string *error);

}  // namespace make_release
