// SPDX-License-Identifier: MIT
// The one-update-at-a-time lock: an exclusive flock on the patch directory and on the directory
// that holds the installation, taken before the run writes anything. The locks belong to open
// descriptors, so they end with the process however it ends; nothing is left on disk.
#pragma once

// Takes both locks without waiting. Returns false only when another process holds one of them; a
// directory that cannot be opened (missing, not readable) is not locked and is no reason to stop:
// the run then meets the same directory again and reports as it always has. Writes nothing to
// the log (it is not open yet); the caller reports a held lock on standard error.
// `*held_dir` names the directory whose lock is held when false is returned.
// `patch_dir` is the patch directory; `install_dir` (which fits a path buffer) the installation.
[[nodiscard]] bool AcquireRunLocks(const char *patch_dir, const char *install_dir,
                                   const char **held_dir);
