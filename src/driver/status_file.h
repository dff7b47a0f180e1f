// SPDX-License-Identifier: MIT
// The status file "update.status" in the patch directory: the updater's outward record of how far
// an update got ("applying", then one outcome). Each write replaces the whole file at once and is
// on disk when it returns; failure is only reported to the caller (plus what ensure_parent_dir
// logs).
#pragma once

// Writes exactly the bytes of `text` (without its NUL) to "<patch_dir>/update.status", creating the
// missing directories above it. Returns true when the text was written. A path that does not fit
// the program's 1024-byte path buffers is refused (false): cut short it would name another file.
bool WriteStatus(const char *patch_dir, const char *text);
