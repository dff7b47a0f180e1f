// SPDX-License-Identifier: MIT
// What an update does, decided from the old and the new tree before anything is compressed: the
// files it carries (each with the condition under which it is installed and whether a patch may
// be tried), the files and folders it removes, and the generated files: the `precomplete` list and
// the installation's product record. Also turns a finished plan into manifest instructions.
// Refusals and warnings are returned as sentences.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/manifest_format.h"
#include "base/update_protocol.h"
#include "tree.h"

namespace make_update {

using manifest::kManifestName;
using manifest::kPrecompleteName;
using protocol::kProductRecordName;

struct PlanOptions {
  bool partial = false;
  bool use_rmrfdir = false;             // remove a vanished folder tree with one "rmrfdir"
  std::vector<std::string> optional;    // paths present only in some installations
  std::vector<std::string> if_missing;  // paths installed only where they are missing
  // The text of the product record (base/product_record.h) that every update installs as
  // "update-product", so that the installation names the product and version it now holds; ""
  // ships none (a file of that name in the new tree is then carried like any other).
  std::string product_record;
};

enum class Condition {
  kAlways,     // "add" / "patch"
  kIfPresent,  // "add-if" on the optional root / "patch-if" on the file itself
  kIfMissing,  // "add-if-not" on the file itself; never patched
};

// One file of the new release that the update may have to write.
struct Carry {
  std::string path;        // relative path in the installation; also the "add" member name
  std::string source;      // the file holding the new content
  mode_t mode = 0644;      // permission bits of the new file
  std::string old_source;  // the old release's file at `path`, or "" when there is none
  bool same_mode = false;  // the old file exists and has the same permission bits
  bool may_patch = false;  // a patch may replace the whole file (same mode, old file present)
  Condition condition = Condition::kAlways;
  std::string test;  // the test path of a conditional instruction

  // Filled in by the build.
  bool unchanged = false;   // same bytes and mode as the old file: no instruction at all
  bool patched = false;     // ships as a patch
  uint64_t add_size = 0;    // compressed size of the whole file (when patched, at least this)
  uint64_t patch_size = 0;  // compressed size of the patch (when one was made)
  std::string PatchMember() const { return "patches/" + path + ".patch"; }
};

struct Plan {
  bool partial = false;
  std::vector<std::string> remove_files;  // sorted
  std::vector<std::string> remove_dirs;   // "rmdir", children before parents
  std::vector<std::string> rmrf_dirs;     // "rmrfdir", topmost vanished folders
  std::vector<Carry> carries;             // sorted by path; includes the generated files
  // "addsymlink": path -> target, for each link of the new tree that the update must make.
  std::map<std::string, std::string> links;
  std::string precomplete;     // text of the generated list
  std::string product_record;  // text of the generated record, or ""
};

// Normalises an --optional / --if-missing argument ("./a/b/" -> "a/b"). "" and a sentence in
// `*error` when it cannot name a path inside the trees.
std::string NormaliseUserPath(const std::string &arg, std::string *error);

// The `precomplete` text for a release whose entries are `entries` (plus the list itself and, with
// `with_record`, the product record): one `remove "file"` per file and per link that does not lead
// to a folder (`remove-cc` for paths under `if_missing`, which a complete update must leave alone;
// `remove` refuses a link to a folder), then one `rmdir "dir/"` per folder, children before
// parents.
std::string PrecompleteText(const TreeMap &entries, const std::vector<std::string> &if_missing,
                            bool with_record = false);

// Decides the plan. `old_tree` is null for a complete update. `generated_dir` is the folder where
// the caller writes the generated files under their own names (`precomplete`, and
// `update-product` when options.product_record is set) before the build. Returns false with the
// refusals in `problems` when the trees hold something an update cannot express; `warnings`
// collect what it can express only approximately (folder modes, a replaced generated file).
[[nodiscard]] bool MakePlan(const Tree *old_tree, const Tree &new_tree, const PlanOptions &options,
                            const std::string &generated_dir, Plan *plan,
                            std::vector<std::string> *problems, std::vector<std::string> *warnings);

struct Instruction {
  std::string text;          // the manifest line, without its line end
  std::string member;        // the archive member it needs, or ""
  std::string member_file;   // that member's compressed file, relative to the staging folder
  uint64_t member_size = 0;  // its compressed size
};

// The manifest lines of a built plan, in order: the type, the removals, the folder removals, one
// "addsymlink" per link in `plan.links`, then one line per carried file that changed.
std::vector<Instruction> Instructions(const Plan &plan);

}  // namespace make_update
