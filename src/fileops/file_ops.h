// Logged file-system operations that every change to an installation goes through: parent
// directories, removal, renaming with replacement, link copying, and the ".kiv-backup" convention
// that lets a failed update put every replaced or removed file back. Each failure is logged once,
// here.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include "base/scoped_file.h"

// Adds the owner-write bit to `path` (following links) when it lacks it. Logs nothing.
void make_writable(const char *path);

// Opens `path` with the stdio `mode_text` after make_writable. Unless the mode text opens for
// reading only, forces the file's full st_mode to `mode` (type bits included, e.g. 0100644) and
// verifies it; returns null when that does not hold. Logs nothing.
FILE *open_with_mode(const char *path, const char *mode_text, mode_t mode);

// Creates every missing directory above the last '/' of `path` (mode 0755). Returns result::kOk or
// result::kWriteError.
// REQUIRES: `path` is writable; it is changed during the call and restored.
[[nodiscard]] int ensure_parent_dir(char *path);

// Removes a file, a link or an empty directory. Returns the raw result (0 or -1).
[[nodiscard]] int ensure_remove(const char *path);

// Removes `path` and everything below it (links are removed, not followed). Returns 0, or the raw
// failure. With `continue_on_error` the top directory's remaining entries are still tried.
[[nodiscard]] int ensure_remove_recursive(const char *path, bool continue_on_error);

// Renames `source` to `destination`, replacing an existing destination (file or empty directory)
// and creating the destination's parent directories. With `check_type` the source, links followed,
// must be a regular file or a directory (a dangling link cannot be read: result::kReadError);
// without it any entry moves, a dangling link included. Returns result::kOk, kReadError,
// kWriteError or kWrongKind.
// REQUIRES: `destination` is writable; it is changed during the call and restored.
[[nodiscard]] int rename_file(const char *source, char *destination, bool check_type);

// Creates `new_link` with the target text of the existing link `link`. Returns result::kOk or
// result::kReadError.
[[nodiscard]] int ensure_copy_symlink(const char *link, const char *new_link);

// Whether `path` exists, following links as an access(F_OK) check does (a link whose target is
// missing counts as missing, and so do a link loop, an over-long name and a file on the way).
// Returns result::kOk with `*exists` set; result::kReadError when the check fails in a way that may
// hide an existing file (an I/O error, a folder on the way that cannot be searched), logged as
// "check_exists: unable to check path: %s, err: %d": neither answer would be safe then.
[[nodiscard]] int check_exists(const char *path, bool *exists);

// Moves `path` to "<path>.kiv-backup". Returns rename_file's result.
[[nodiscard]] int backup_create(const char *path);
// Moves the backup back over `path` if one exists (logging when none does; a backup path below a
// file, in a link loop or too long for the system does not exist); a backup that cannot be told
// missing is tried all the same. Returns result::kOk, result::kReadError when the backup's name
// does not fit, or rename_file's result.
int backup_restore(const char *path);
// Removes the backup of `path` if one exists (or cannot be told missing). Returns result::kOk or
// result::kWriteError.
int backup_drop(const char *path);
