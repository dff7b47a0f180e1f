// SPDX-License-Identifier: MIT
// What the actions of one update work with, handed to them by the list that runs them instead of
// process-wide state: where the update's scratch files go, where the archive's members come from,
// the run's backups, and the flags that change what an instruction does. Owned by the update
// procedure (or a test), which outlives the list.
#pragma once

#include <cstdint>

class BackupSet;
class DecodeAhead;

struct UpdateContext {
  // The directory being updated, as the command line named it (the current directory while the
  // actions run); the patch files go to its "updating" folder.
  const char *working_dir = ".";
  // KIV_OS_UPDATE was present at start: a complete update leaves out the "precomplete" removals.
  bool os_update = false;
  // Every member the actions extract comes through here: decoded ahead, or by its reader.
  DecodeAhead *members = nullptr;
  // The run's backups and what lay at each changed path before the run.
  BackupSet *backups = nullptr;
  // Numbers the patch files of the run 0, 1, 2, ... in the order the patch actions are prepared.
  int32_t patch_counter = 0;
  // Set by a successful Finish pass.
  bool update_succeeded = false;
};
