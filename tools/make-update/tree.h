// SPDX-License-Identifier: MIT
// The two release trees that an update is made from: a scan of every file and folder below a root,
// and the rules that say which names and files an update can carry. Failures are returned as
// readable sentences (one per offending entry), never printed here.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/manifest_format.h"

namespace make_update {

// The longest path an update can name.
using manifest::kMaxPathLength;
// Member lengths and patch sizes are 32-bit fields.
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;

struct TreeEntry {
  char kind = 'f';         // 'f' regular file, 'd' folder, 'l' symbolic link
  mode_t mode = 0;         // permission bits (& 07777)
  uint64_t size = 0;       // files only
  std::string target;      // links only
  bool to_folder = false;  // links only: the link, followed, leads to a folder
};

// Relative path ("dir/file", no leading or trailing '/') -> entry. The map's order is bytewise, so
// a folder always sorts before everything inside it.
using TreeMap = std::map<std::string, TreeEntry>;

struct Tree {
  std::string root;  // the folder that was scanned, as given
  TreeMap entries;
};

// Scans every entry below `root` (not `root` itself), links not followed. Returns false when
// `root` is not a readable folder or an entry cannot be queried; entries that an update cannot
// carry (devices, bad names, huge files, special mode bits) are listed in `problems` with
// `label` ("new tree", "old tree") in front, and the scan goes on. Links are recorded with their
// target; which links an update may carry is the plan's decision.
[[nodiscard]] bool ScanTree(const std::string &root, const std::string &label, Tree *tree,
                            std::vector<std::string> *problems);

// Why `path` cannot be named in an update instruction, or "" when it can: a double quote or a line
// break in it, the two bytes "..", a leading '/', an empty path, more than kMaxPathLength bytes.
std::string PathProblem(const std::string &path);

// The whole file at `path` in `*data`. False (and a sentence in `*error`) when it cannot be read.
[[nodiscard]] bool ReadWholeFile(const std::string &path, std::string *data, std::string *error);

// True when the two files hold the same bytes. False (and a sentence in `*error`) on a read
// failure.
[[nodiscard]] bool SameContents(const std::string &a, const std::string &b, bool *same,
                                std::string *error);

// Removes `path` and everything below it; missing paths are fine. False when something stays.
bool RemoveTree(const std::string &path);

}  // namespace make_update
