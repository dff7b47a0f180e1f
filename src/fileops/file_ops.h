// SPDX-License-Identifier: MIT
// Logged file-system operations that every change to an installation goes through: parent
// directories, removal, renaming with replacement (or exchange), link copying, flushes to disk, and
// the ".kiv-backup" convention that lets a failed update put every replaced or removed file back.
// Each failure is logged once, here. A relative path is resolved beneath the current directory,
// the directory being updated (fileops/beneath.h), and each operation is made on the folder that
// resolution opened; an absolute path is taken as it is.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "base/scoped_file.h"

// Adds the owner-write bit to `path` (following links; beneath the current directory only those
// that stay inside) when it lacks it. Logs nothing.
void make_writable(const char *path);

// Opens `path` as fopen does with the stdio `mode_text`. A mode text that may create or write
// follows a link at `path` only while it stays beneath the current directory, and never one that
// appears after the resolution. Null with errno set (kLeadsOutside for a path that leads
// outside, logged as "Link: ...").
FILE *open_file(const char *path, const char *mode_text);

// Opens `path` with the stdio `mode_text` after make_writable. Unless the mode text opens for
// reading only, forces the file's full st_mode to `mode` (type bits included, e.g. 0100644) and
// verifies it; returns null when that does not hold. Logs nothing but what open_file logs.
FILE *open_with_mode(const char *path, const char *mode_text, mode_t mode);

// stat (`follow_link`) or lstat of `path`. Returns 0, or -1 with errno set.
[[nodiscard]] int stat_path(const char *path, struct stat *st, bool follow_link);
// access of `path` with `mode` (links followed). Returns 0, or -1 with errno set.
[[nodiscard]] int access_path(const char *path, int mode);
// Removes a file, a link or an empty directory, as remove does, logging nothing but a path that
// leads outside. Returns 0, or -1 with errno set.
[[nodiscard]] int remove_entry(const char *path);
// Removes the empty directory `path`, as rmdir does. Returns 0, or -1 with errno set.
[[nodiscard]] int remove_dir(const char *path);
// Creates the link `path` with the text `target`, as symlink does. Returns 0, or -1 with errno.
[[nodiscard]] int make_symlink(const char *target, const char *path);

// Creates every missing directory above the last '/' of `path` (mode 0755). Returns result::kOk or
// result::kWriteError.
// REQUIRES: `path` is writable; it is changed during the call and restored.
[[nodiscard]] int ensure_parent_dir(char *path);

// Removes a file, a link or an empty directory. Returns the raw result (0 or -1).
[[nodiscard]] int ensure_remove(const char *path);

// Removes `path` and everything below it (links are removed, not followed; each entry is reached
// from its folder's descriptor). Returns 0, or the raw failure. With `continue_on_error` the top
// directory's remaining entries are still tried. `shown` names `path` in the log (`path` itself
// when null).
[[nodiscard]] int ensure_remove_recursive(const char *path, bool continue_on_error,
                                          const char *shown = nullptr);

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
// "check_exists: unable to check path: %s, err: %d": neither answer would be safe then;
// result::kWrongKind when a folder on the way leads outside (logged as "Link: ...").
[[nodiscard]] int check_exists(const char *path, bool *exists);

// As rename_file with `check_type` true, but exchanges `source` and an existing `destination` in
// one step (renameat2 with RENAME_EXCHANGE), so that `destination` never goes missing. When the
// file system cannot exchange, sets `*unsupported`, logs nothing and returns result::kWriteError;
// the caller then moves in two steps. Returns result::kOk, kReadError, kWriteError or kWrongKind.
[[nodiscard]] int exchange_file(const char *source, char *destination, bool *unsupported);

#include <map>
#include <set>
#include <string>

// The backups of one run. The first backup of a path wins: it holds the path's content from before
// the run, and a later change of the same path in the same run only removes the version this run
// wrote. Only backups that this run made (or that its journal vouches for, Adopt) are ever put
// back; whatever already lay at a backup name is removed when the run makes its own there. Paths
// are relative to the current directory or absolute, as the caller names them.
class BackupSet {
 public:
  // Moves `path` to "<path>.kiv-backup" (removing what lay at that name before, a folder
  // included), or, when this run has already backed `path` up, removes `path`. Returns
  // rename_file's result, or result::kWriteError when the earlier content cannot be removed.
  [[nodiscard]] int Create(const char *path);
  // The one undo routine, for a failed run's Finish pass and for the recovery of a killed run
  // alike: puts `path` back as it was before the run. When the run recorded that nothing lay at
  // `path` (RecordBefore), whatever lies there now is the run's and is removed (a folder with
  // everything below it), and a backup this run made of it holds only what the run wrote and is
  // dropped; otherwise this run's backup moves back over `path`. A backup name that this run did
  // not fill is left alone (logged when something lies there; "backup_restore: backup file doesn't
  // exist: %s" when nothing does, unless `quiet`; a backup path below a file, in a link loop or
  // too long for the system does not exist). Returns result::kOk or the first failing code.
  int Undo(const char *path, bool quiet = false);
  // Records whether anything lay at `path` before the run's first change (the journal's records).
  void RecordBefore(const std::string &path, bool present) { before_[path] = present; }
  // Removes the backup of `path` if one exists (or cannot be told missing). Returns result::kOk or
  // result::kWriteError.
  int Drop(const char *path);
  // Counts the backup at "<path>.kiv-backup" as this run's: recovery adopts the backups that its
  // journal vouches for (the run removed whatever lay at those names before it wrote the journal).
  void Adopt(const char *path) { own_.insert(path); }
  // Whether this run has backed up `path`.
  bool Has(const char *path) const { return own_.count(path) > 0; }
  // How many backups this run made that are neither put back nor dropped: after the Finish pass,
  // more than 0 means that the update's undo or clean-up is not complete.
  size_t outstanding() const { return own_.size(); }

 private:
  std::set<std::string> own_;
  std::map<std::string, bool> before_;  // path -> something lay there before the run
};

// Flushes to disk the entries of the directory `path`. Logs "flush_dir: failed to flush directory:
// %s, err: %d". Returns result::kOk or result::kWriteError.
[[nodiscard]] int flush_dir(const char *path);
// Flushes every written file of the file system holding `path` (one syncfs). Logs
// "flush_file_system: failed to flush the file system of: %s, err: %d". Returns result::kOk or
// result::kWriteError.
[[nodiscard]] int flush_file_system(const char *path);
// Flushes the file system holding `root`, then the entries of `root` and of every folder below it
// (links not followed), then of the folder above it: a tree that was just written whole (a staged
// copy) is then on disk. Returns result::kOk or result::kWriteError (logged by the flushes).
[[nodiscard]] int flush_tree(const char *root);

// Whether paths stay beneath the folder `base` ("." when null), which is opened and resolved once,
// when the object is made. The check resolves as every operation does (fileops/beneath.h), so the
// two never disagree.
class BeneathCheck {
 public:
  explicit BeneathCheck(const char *base = nullptr);
  ~BeneathCheck();
  BeneathCheck(const BeneathCheck &) = delete;
  BeneathCheck &operator=(const BeneathCheck &) = delete;
  // Whether the deepest folder on the way to `path` that exists, links resolved, is the base or
  // lies below it (links that stay inside are fine; the entry itself is not resolved, so a link at
  // `path` is the entry, not its target). A relative `path` is taken relative to the base, an
  // absolute one must start with the base's resolved path. Logs
  // "Link: %s leads outside the directory being updated" and returns result::kWrongKind when it
  // does not; result::kReadError (logged) when the base or a folder on the way cannot be resolved;
  // else result::kOk.
  [[nodiscard]] int Check(const char *path) const;

 private:
  int root_fd_ = -1;  // the base, opened
  std::string root_;  // resolved; empty when it cannot be
  int root_error_ = 0;
};
