// SPDX-License-Identifier: MIT
#include "actions/file_actions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/decode_ahead.h"
#include "base/manifest_format.h"
#include "base/result.h"
#include "base/tokenizer.h"
#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/file_ops.h"

namespace {

// A path exists when it can be reached, following links: a link whose target is missing does not.
// 1 when `path` exists (links followed), 0 when it is missing, -1 when that cannot be told (the
// check has logged why; `*code` then says why: result::kReadError, or kWrongKind for a path that
// leads outside). An update must not take a path it cannot see for a missing one: it would skip a
// removal or a conditional instruction and still report success.
int Presence(const char *path, int *code) {
  bool exists = false;
  *code = check_exists(path, &exists);
  if (*code != result::kOk) return -1;
  return exists ? 1 : 0;
}

// The first step of a removal's Prepare: a path that is missing is skipped by every later pass and
// weighs nothing in the progress. Returns -1 when the path is there, else Prepare's result.
int SkipWhenMissing(const char *path, int *skip, int *progress_cost) {
  int code = result::kOk;
  int present = Presence(path, &code);
  if (present < 0) return code;
  if (present) return -1;
  *skip = 1;
  *progress_cost = 0;
  return result::kOk;
}

}  // namespace

// ---- RemoveFileAction ----

int RemoveFileAction::Parse(char *arg) {
  char *cursor = arg;
  path = get_valid_path(&cursor, false);
  return path ? result::kOk : result::kParseError;
}

int RemoveFileAction::Prepare() {
  if (int rv = SkipWhenMissing(path, &skip, &progress_cost); rv >= 0) return rv;
  LOG("PREPARE REMOVEFILE %s", path);

  struct stat st;
  if (stat_path(path, &st, true) != 0) {
    LOG("failed to read file status info: %s, err: %d", path, errno);
    return result::kReadError;
  }
  if (!S_ISREG(st.st_mode)) {
    LOG("path present, but not a file: %s", path);
    return result::kWrongKind;
  }

  // The file's directory must be writable for the rename to its backup; the path is cut at its
  // last '/' for the check and put back afterwards.
  char *slash = strrchr(path, '/');
  int rv;
  if (slash) {
    *slash = '\0';
    rv = access_path(path, W_OK);
    *slash = '/';
  } else {
    rv = access_path(".", W_OK);
  }
  if (rv != 0) {
    LOG("access failed: %d", errno);
    return result::kWriteError;
  }
  return result::kOk;
}

int RemoveFileAction::Execute() {
  if (skip) return result::kOk;
  LOG("EXECUTE REMOVEFILE %s", path);
  int code = result::kOk;
  int present = Presence(path, &code);
  if (present < 0) return code;
  if (!present) {
    LOG("file cannot be removed because it does not exist; skipping");
    skip = 1;
    return result::kOk;
  }
  int rv = ctx->backups->Create(path);
  if (rv != result::kOk) {
    LOG("backup_create failed: %d", rv);
    return rv;
  }
  return result::kOk;
}

void RemoveFileAction::Finish(int status) {
  if (skip) return;
  LOG("FINISH REMOVEFILE %s", path);
  if (status != result::kOk) {
    ctx->backups->Undo(path);
  } else {
    ctx->backups->Drop(path);
  }
}

// ---- RemoveDirAction ----

int RemoveDirAction::Parse(char *arg) {
  char *cursor = arg;
  path = get_valid_path(&cursor, true);
  return path ? result::kOk : result::kParseError;
}

int RemoveDirAction::Prepare() {
  if (int rv = SkipWhenMissing(path, &skip, &progress_cost); rv >= 0) return rv;
  LOG("PREPARE REMOVEDIR %s/", path);

  struct stat st;
  if (stat_path(path, &st, true) != 0) {
    LOG("failed to read directory status info: %s, err: %d", path, errno);
    return result::kReadError;
  }
  if (!S_ISDIR(st.st_mode)) {
    LOG("path present, but not a directory: %s", path);
    return result::kWrongKind;
  }
  int rv = access_path(path, W_OK);
  if (rv != 0) {
    LOG("access failed: %d, %d", rv, errno);
    return result::kWriteError;
  }
  return result::kOk;
}

int RemoveDirAction::Execute() {
  if (skip) return result::kOk;
  LOG("EXECUTE REMOVEDIR %s/", path);
  int code = result::kOk;
  int present = Presence(path, &code);
  if (present < 0) return code;
  if (!present) {
    LOG("directory no longer exists; skipping");
    skip = 1;
  }
  return result::kOk;
}

void RemoveDirAction::Finish(int status) {
  // Directories go only when the update succeeded; a failed one leaves them all in place.
  if (status != result::kOk || skip) return;
  LOG("FINISH REMOVEDIR %s/", path);
  int code = result::kOk;
  int present = Presence(path, &code);
  if (present <= 0) {
    // A directory that cannot be seen is left as it is, like one that cannot be removed.
    if (present == 0) LOG("directory no longer exists; skipping");
    return;
  }
  int rv = remove_dir(path);
  if (rv != 0) {
    LOG("non-fatal error removing directory: %s/, rv: %d, err: %d", path, rv, errno);
  }
}

// ---- AddAction ----

int AddAction::Parse(char *arg) {
  char *cursor = arg;
  path = get_valid_path(&cursor, false);
  return path ? result::kOk : result::kParseError;
}

int AddAction::Prepare() {
  LOG("PREPARE ADD %s", path);
  return result::kOk;
}

int AddAction::Execute() {
  LOG("EXECUTE ADD %s", path);
  int code = result::kOk;
  int present = Presence(path, &code);
  if (present < 0) return code;
  int rv = present ? ctx->backups->Create(path) : ensure_parent_dir(path);
  if (rv != result::kOk) return rv;

  // Whatever the extraction leaves at a path that held nothing before is this action's to take away
  // again if the update fails, complete or not. An entry that was there already (a link whose
  // target is missing) is not.
  struct stat st;
  bool had_entry = stat_path(path, &st, false) == 0;
  // The file is written where the path leads beneath the directory being updated: through a link
  // at the path only while it stays inside.
  AtPath at;
  if (!at.Resolve(path, AtPath::kFollowLeaf)) return result::kWriteError;
  // Decoding-ahead hook: the member's bytes come from memory when a worker has decoded them.
  rv = ctx->members->ExtractToFileAt(path, at.dir(), at.leaf(), at.leaf_flags());
  if (!had_entry && stat_path(path, &st, false) == 0) {
    created = true;
    created_dev = st.st_dev;
    created_ino = st.st_ino;
  }
  if (rv == result::kOk) added = true;
  return rv;
}

void AddAction::Finish(int status) {
  LOG("FINISH ADD %s", path);
  if (status == result::kOk) {
    ctx->backups->Drop(path);
    return;
  }
  // Only the very file that Execute created is removed: when an earlier action of the list (say a
  // removal of the same path) has already put the old file back, that file stays.
  struct stat st;
  if (created && stat_path(path, &st, false) == 0 && st.st_dev == created_dev &&
      st.st_ino == created_ino) {
    (void)remove_entry(path);
  }
  ctx->backups->Undo(path);
}

// ---- AddSymlinkAction ----

int AddSymlinkAction::Parse(char *arg) {
  char *cursor = arg;
  path = get_valid_path(&cursor, false);
  if (!path || !next_token(manifest::kQuote, &cursor)) return result::kParseError;
  // The target is not a manifest path: it may climb with "..", which Prepare checks.
  target = next_token(manifest::kQuote, &cursor);
  return target && target[0] ? result::kOk : result::kParseError;
}

int AddSymlinkAction::Prepare() {
  LOG("PREPARE ADDSYMLINK %s -> %s", path, target);
  if (target[0] == manifest::kFolderEnd) {
    LOG("Link: %s -> %s: the target must be relative", path, target);
    return result::kWrongKind;
  }
  if (!manifest::LinkTargetStaysInside(path, target)) {
    LOG("Link: %s -> %s leads outside the directory being updated", path, target);
    return result::kWrongKind;
  }
  struct stat st;
  if (stat_path(path, &st, false) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return result::kOk;
    LOG("failed to read file status info: %s, err: %d", path, errno);
    return result::kReadError;
  }
  if (S_ISDIR(st.st_mode)) {
    LOG("Link: %s is a folder, which a link does not replace", path);
    return result::kWrongKind;
  }
  return result::kOk;
}

int AddSymlinkAction::Execute() {
  LOG("EXECUTE ADDSYMLINK %s -> %s", path, target);
  // The link itself is what is replaced, whatever it points to: no link is followed here.
  struct stat st;
  const bool had_entry = stat_path(path, &st, false) == 0;
  int rv = had_entry ? ctx->backups->Create(path) : ensure_parent_dir(path);
  if (rv != result::kOk) return rv;
  if (make_symlink(target, path) != 0) {
    LOG("Link: cannot create %s -> %s, err: %d", path, target, errno);
    return result::kWriteError;
  }
  if (stat_path(path, &st, false) == 0) {
    created = true;
    created_dev = st.st_dev;
    created_ino = st.st_ino;
  }
  return result::kOk;
}

void AddSymlinkAction::Finish(int status) {
  LOG("FINISH ADDSYMLINK %s", path);
  if (status == result::kOk) {
    ctx->backups->Drop(path);
    return;
  }
  struct stat st;
  if (created && stat_path(path, &st, false) == 0 && st.st_dev == created_dev &&
      st.st_ino == created_ino) {
    (void)remove_entry(path);
  }
  ctx->backups->Undo(path);
}

// ---- ConditionalAction ----

int ConditionalAction::Parse(char *arg) {
  char *cursor = arg;
  test_path_ = get_valid_path(&cursor, false);
  if (!test_path_) return result::kParseError;
  if (!next_token("\"", &cursor)) return result::kParseError;
  return inner_->Parse(cursor);
}

int ConditionalAction::Prepare() {
  int code = result::kOk;
  int present = Presence(test_path_, &code);
  if (present < 0) return code;
  // The decoding ahead held the member back until now.
  bool in_prepare = false;
  const char *member = inner_->ExtractedMember(&in_prepare);
  const bool wanted = (present == 1) == run_when_present_;
  if (member && ctx && ctx->members) ctx->members->Decide(member, wanted);
  if (!wanted) {
    test_path_ = nullptr;
    progress_cost = inner_->progress_cost;
    return result::kOk;
  }
  int rv = inner_->Prepare();
  progress_cost = inner_->progress_cost;
  return rv;
}

int ConditionalAction::Execute() { return test_path_ ? inner_->Execute() : result::kOk; }

void ConditionalAction::Finish(int status) {
  if (test_path_) inner_->Finish(status);
}
