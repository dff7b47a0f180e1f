// SPDX-License-Identifier: MIT
// The recursive copy that a staged update makes of the installation: links stay links, files are
// copied byte for byte with their permission bits, directories are recreated with theirs, and two
// given paths are left out.
#pragma once

// Copies the tree at `source` to `destination`. `skip_paths` is one block of 2 x kPathSize bytes
// holding two NUL-terminated paths (the second begins at offset kPathSize); a source child equal
// to either, compared without regard to letter case, is neither copied nor descended into.
// Returns result::kOk, kReadError (source unreadable), kWriteError (destination unwritable),
// kCopyNoMemory (no copy buffer) or kSystemFailure (final change of a file's mode failed). What was
// copied before a failure stays.
[[nodiscard]] int ensure_copy_recursive(const char *source, const char *destination,
                                        const char *skip_paths);

// Copies one non-directory entry (in practice a regular file). Returns as above.
[[nodiscard]] int ensure_copy(const char *source, const char *destination);
