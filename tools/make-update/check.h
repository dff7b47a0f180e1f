// SPDX-License-Identifier: MIT
// Proof that an update does what it should: applies it with the real updater program to a scratch
// copy of the old tree (an empty folder for a complete update) and compares the result with what
// the plan says the installation must hold: every file's bytes and permission bits, every folder,
// and nothing else. The outcome is a readable report; nothing is printed here.
#pragma once

#include <string>

#include "plan.h"
#include "tree.h"

namespace make_update {

struct CheckSettings {
  std::string updater;         // path of the updater program
  std::string scratch_parent;  // where the scratch folder is made ("" = $TMPDIR or /tmp)
  // Public key file text; when set, the scratch installation trusts this key (as
  // update-keys/make-update-check.pub), so that the updater checks the archive's signature.
  std::string trusted_key;
};

// The updater beside the running program (same folder, named "updater"), or "" when unknown.
std::string DefaultUpdaterPath();

// Applies `archive` as described above. Returns true when the updater reported success and the
// installation matches; otherwise false with the differences (or the failure, and the tail of the
// updater's log) in `*report`, and the scratch folder is kept for inspection and named there.
// With a trusted key, the key file is also expected in the result.
// REQUIRES: `plan` was made from `old_tree` (null for a complete update) and the new tree,
// whose files must still be in place.
[[nodiscard]] bool CheckUpdate(const std::string &archive, const Tree *old_tree, const Plan &plan,
                               const std::string &precomplete_source, const CheckSettings &settings,
                               std::string *report);

}  // namespace make_update
