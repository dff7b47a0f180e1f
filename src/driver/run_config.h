// SPDX-License-Identifier: MIT
// The run's configuration: what the command line and the environment say, read once at start and
// handed, unchanged, to every step of the run. Nothing here logs.
#pragma once

#include "base/paths.h"

struct RunConfig {
  const char *patch_dir = "";        // the patch-dir argument as given
  char install_dir[kPathSize] = "";  // install-dir without one trailing '/'
  char working_dir[kPathSize] = "";  // apply-to-dir, same rule
  bool install_fits = true;          // install-dir fits a path buffer (else it is cut, for the log)
  bool working_fits = true;          // apply-to-dir fits
  bool staged_update = false;        // wait-pid reads as -1
  bool replace_request = false;      // wait-pid contains "/replace" and is not -1
  bool os_update = false;            // KIV_OS_UPDATE was present at start
  bool keep_previous = false;        // KIV_KEEP_PREVIOUS was "1" at start (a swap keeps the old)
  int wait_pid = 0;                  // the process to wait for, when greater than 0
  bool signatures_required = false;  // the build's policy: refuse when no key is trusted
};

// Reads the configuration from a command line of at least the three directories and from the
// environment (KIV_OS_UPDATE and KIV_KEEP_PREVIOUS, which it then empties, as the program's
// children must not see them);
// `signatures_required` is the build's own setting, passed on.
RunConfig ReadRunConfig(int argc, char **argv, bool signatures_required);

// What the update procedure returns to the entry point.
struct UpdateOutcome {
  int code = 0;  // result::kOk or the update's first failure
  bool update_succeeded = false;
  bool launch_callback = true;  // false after the fallback of a failed replace request
};
