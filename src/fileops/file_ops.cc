// SPDX-License-Identifier: MIT
#include "fileops/file_ops.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <cstring>
#include <string>
#include <vector>

#include "base/paths.h"
#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "fileops/beneath.h"

namespace {

// Paths formed here live in buffers of kPathSize bytes. A path that does not fit is refused: cut
// short it could name another, existing file, and removing or replacing that one would destroy it.
// Forms "<path>.kiv-backup" into `out`; false when it does not fit.
bool BackupName(const char *path, char (&out)[kPathSize]) {
  return FormPath(out, "%s%s", path, protocol::kBackupSuffix);
}

// Whether a failed existence check with this errno says that the path names nothing: no such
// entry, a component on the way that is no directory, a link loop or a name too long to exist.
// Any other failure (an I/O error, a folder that cannot be searched) may hide an existing entry.
bool MeansMissing(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

// Whether a backup is there. The entry itself, not what a link names: a backup of a link whose
// target has gone (removed by the same update) is still a backup. When the query fails in a way
// that does not mean "missing" the backup may well be there, and the caller acts on it.
bool MayExist(const char *path) {
  struct stat st;
  return stat_path(path, &st, false) == 0 || !MeansMissing(errno);
}

// Adds the owner-write bit to the entry `leaf` of `dir` (`at_flags` AT_SYMLINK_NOFOLLOW: not
// through a link, which then stays as it is).
void MakeWritableAt(int dir, const char *leaf, int at_flags) {
  struct stat st;
  if (fstatat(dir, leaf, &st, at_flags) != 0) return;
  if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR)) return;
  (void)fchmodat(dir, leaf, st.st_mode | S_IWUSR, 0);
}

// remove() on the entry `leaf` of `dir`: a file or link, or else an empty directory.
int RemoveAt(int dir, const char *leaf) {
  if (unlinkat(dir, leaf, 0) == 0) return 0;
  if (errno != EISDIR) return -1;
  return unlinkat(dir, leaf, AT_REMOVEDIR);
}

// The open(2) flags of a stdio mode text.
int OpenFlags(const char *mode_text) {
  const bool both = strchr(mode_text, '+') != nullptr;
  switch (mode_text[0]) {
    case 'r':
      return both ? O_RDWR : O_RDONLY;
    case 'w':
      return (both ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    default:  // 'a'
      return (both ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
  }
}

// Opens `path` (a directory or a file) for a flush; -1 with errno set when it cannot be opened.
int OpenForFlush(const char *path) {
  AtPath at;
  return at.Resolve(path) ? openat(at.dir(), at.leaf(), O_RDONLY | O_CLOEXEC) : -1;
}

// Whether a stdio mode text opens for reading only. "rt+" counts as reading only, as it always has.
bool IsReadOnlyMode(const char *mode_text) {
  if (mode_text[0] != 'r') return false;
  if (mode_text[1] == '+') return false;
  return strcmp(mode_text, "rb+") != 0;
}

}  // namespace

namespace {

// The fstatat flags for the last component of `at`: once resolved through its link, never again.
int LeafStatFlags(const AtPath &at) { return at.leaf_flags() ? AT_SYMLINK_NOFOLLOW : 0; }

}  // namespace

void make_writable(const char *path) {
  AtPath at;
  if (!at.Resolve(path, AtPath::kFollowLeaf | AtPath::kQuiet)) return;
  MakeWritableAt(at.dir(), at.leaf(), LeafStatFlags(at));
}

namespace {

// open_file on a resolved path.
FILE *OpenAt(const AtPath &at, const char *mode_text) {
  const int flags = OpenFlags(mode_text);
  int fd = openat(at.dir(), at.leaf(), flags | (flags & O_CREAT ? at.leaf_flags() : 0) | O_CLOEXEC,
                  0666);
  if (fd < 0) return nullptr;
  FILE *file = fdopen(fd, mode_text);
  if (!file) close(fd);
  return file;
}

// Resolves `path` for open_file: a mode that may create follows a link at the path beneath.
bool ResolveForOpen(const char *path, const char *mode_text, AtPath *at) {
  return at->Resolve(path, OpenFlags(mode_text) & O_CREAT ? AtPath::kFollowLeaf : AtPath::kEntry);
}

}  // namespace

FILE *open_file(const char *path, const char *mode_text) {
  AtPath at;
  if (!ResolveForOpen(path, mode_text, &at)) return nullptr;
  return OpenAt(at, mode_text);
}

FILE *open_with_mode(const char *path, const char *mode_text, mode_t mode) {
  AtPath at;
  if (!ResolveForOpen(path, mode_text, &at)) return nullptr;
  MakeWritableAt(at.dir(), at.leaf(), LeafStatFlags(at));
  FILE *file = OpenAt(at, mode_text);
  if (IsReadOnlyMode(mode_text) || !file) return file;

  // The mode is forced on the file that was opened, whatever lies at its name by now.
  struct stat st;
  if (fchmod(fileno(file), mode & 07777) != 0 || fstat(fileno(file), &st) != 0 ||
      st.st_mode != mode) {
    fclose(file);
    return nullptr;
  }
  return file;
}

int stat_path(const char *path, struct stat *st, bool follow_link) {
  AtPath at;
  if (!at.Resolve(path)) return -1;
  return fstatat(at.dir(), at.leaf(), st, follow_link ? 0 : AT_SYMLINK_NOFOLLOW);
}

int access_path(const char *path, int mode) {
  AtPath at;
  if (!at.Resolve(path)) return -1;
  return faccessat(at.dir(), at.leaf(), mode, 0);
}

int remove_entry(const char *path) {
  AtPath at;
  if (!at.Resolve(path)) return -1;
  return RemoveAt(at.dir(), at.leaf());
}

int remove_dir(const char *path) {
  AtPath at;
  if (!at.Resolve(path)) return -1;
  return unlinkat(at.dir(), at.leaf(), AT_REMOVEDIR);
}

int make_symlink(const char *target, const char *path) {
  AtPath at;
  if (!at.Resolve(path)) return -1;
  return symlinkat(target, at.dir(), at.leaf());
}

int ensure_parent_dir(char *path) {
  char *slash = strrchr(path, '/');
  if (!slash) return result::kOk;
  *slash = '\0';
  int rv = ensure_parent_dir(path);
  if (rv == result::kOk && path[0] != '\0') {
    AtPath at;
    if ((!at.Resolve(path) || mkdirat(at.dir(), at.leaf(), 0755) != 0) && errno != EEXIST) {
      LOG("ensure_parent_dir: failed to create directory: %s, err: %d", path, errno);
      rv = result::kWriteError;
    }
  }
  *slash = '/';
  return rv;
}

namespace {

// ensure_remove on the entry `leaf` of `dir`, named `path` in the log.
int RemoveLoggedAt(int dir, const char *leaf, const char *path) {
  MakeWritableAt(dir, leaf, AT_SYMLINK_NOFOLLOW);
  int rv = RemoveAt(dir, leaf);
  if (rv != 0) LOG("ensure_remove: failed to remove file: %s, rv: %d, err: %d", path, rv, errno);
  return rv;
}

// ensure_remove_recursive on the entry `leaf` of `dir`, named `path` in the log: every entry below
// it is reached from the descriptor of its folder, never by its name.
int RemoveTreeAt(int dir, const char *leaf, const char *path, bool continue_on_error) {
  struct stat st;
  int rv = fstatat(dir, leaf, &st, AT_SYMLINK_NOFOLLOW);
  if (rv != 0) return rv;
  if (!S_ISDIR(st.st_mode)) return RemoveLoggedAt(dir, leaf, path);

  int fd = openat(dir, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR *listing = fd < 0 ? nullptr : fdopendir(fd);
  if (!listing) {
    if (fd >= 0) close(fd);
    LOG("ensure_remove_recursive: unable to open directory: %s, rv: %d, err: %d", path, rv, errno);
    // The directory stays; its callers only log a failure and go on.
    return result::kSystemFailure;
  }

  while (struct dirent *entry = readdir(listing)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    char child[kPathSize];
    if (!FormPath(child, "%s/%s", path, entry->d_name)) {
      LOG("ensure_remove_recursive: path too long: %s/%s", path, entry->d_name);
      errno = ENAMETOOLONG;
      rv = result::kSystemFailure;
    } else {
      rv = RemoveTreeAt(dirfd(listing), entry->d_name, child, false);
    }
    if (rv != 0 && !continue_on_error) break;
  }
  closedir(listing);
  if (rv != 0) return rv;

  MakeWritableAt(dir, leaf, AT_SYMLINK_NOFOLLOW);
  rv = unlinkat(dir, leaf, AT_REMOVEDIR);
  if (rv != 0) {
    LOG("ensure_remove_recursive: unable to remove directory: %s, rv: %d, err: %d", path, rv,
        errno);
  }
  return rv;
}

}  // namespace

int ensure_remove(const char *path) {
  AtPath at;
  if (!at.Resolve(path)) {
    LOG("ensure_remove: failed to remove file: %s, rv: %d, err: %d", path, -1, errno);
    return -1;
  }
  return RemoveLoggedAt(at.dir(), at.leaf(), path);
}

int ensure_remove_recursive(const char *path, bool continue_on_error, const char *shown) {
  AtPath at;
  if (!at.Resolve(path)) return -1;
  return RemoveTreeAt(at.dir(), at.leaf(), shown ? shown : path, continue_on_error);
}

namespace {

// rename_file, or its exchanging form when `unsupported` is given.
int RenameOrExchange(const char *source, char *destination, bool check_type, bool *unsupported) {
  int rv = ensure_parent_dir(destination);
  if (rv != result::kOk) return rv;

  struct stat st;
  AtPath from;
  // Without the type check (the backups) a link whose target is gone is still an entry of its own
  // to move: a backup of such a link must go back when an update fails; its kind is that of a link.
  // With the check the source is what its links name, and a dangling one cannot be read.
  if (!from.Resolve(source) ||
      (fstatat(from.dir(), from.leaf(), &st, 0) != 0 &&
       (check_type || errno != ENOENT ||
        fstatat(from.dir(), from.leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0))) {
    LOG("rename_file: failed to read file status info: %s, err: %d", source, errno);
    return result::kReadError;
  }
  if (!S_ISREG(st.st_mode)) {
    if (check_type && !S_ISDIR(st.st_mode)) {
      LOG("rename_file: path present, but not a file: %s, err: %d", source, errno);
      return result::kWrongKind;
    }
    LOG("rename_file: proceeding to rename the directory");
  }

  AtPath to;
  if (!to.Resolve(destination)) {
    LOG("rename_file: failed to rename file - src: %s, dst:%s, err: %d", source, destination,
        errno);
    return result::kWriteError;
  }
  if (unsupported) {
    *unsupported = false;
    if (renameat2(from.dir(), from.leaf(), to.dir(), to.leaf(), RENAME_EXCHANGE) == 0) {
      return result::kOk;
    }
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
      *unsupported = true;
      return result::kWriteError;
    }
    LOG("rename_file: failed to exchange - src: %s, dst:%s, err: %d", source, destination, errno);
    return result::kWriteError;
  }
  if (faccessat(to.dir(), to.leaf(), F_OK, 0) == 0 &&
      RemoveLoggedAt(to.dir(), to.leaf(), destination) != 0) {
    LOG("rename_file: destination file exists and could not be removed: %s", destination);
    return result::kWriteError;
  }
  if (renameat(from.dir(), from.leaf(), to.dir(), to.leaf()) != 0) {
    LOG("rename_file: failed to rename file - src: %s, dst:%s, err: %d", source, destination,
        errno);
    return result::kWriteError;
  }
  return result::kOk;
}

}  // namespace

int rename_file(const char *source, char *destination, bool check_type) {
  return RenameOrExchange(source, destination, check_type, nullptr);
}

int exchange_file(const char *source, char *destination, bool *unsupported) {
  return RenameOrExchange(source, destination, true, unsupported);
}

int ensure_copy_symlink(const char *link, const char *new_link) {
  // One byte more than a target may have, so that a longer target shows and is refused rather
  // than cut into a link to another place.
  constexpr size_t kMaxTarget = 1024;
  char target[kMaxTarget + 2] = {};
  AtPath from;
  ssize_t n = from.Resolve(link) ? readlinkat(from.dir(), from.leaf(), target, kMaxTarget + 1) : -1;
  if (n < 0) {
    LOG("ensure_copy_symlink: failed to read the link: %s, err: %d", link, errno);
    return result::kReadError;
  }
  if (static_cast<size_t>(n) > kMaxTarget) {
    LOG("ensure_copy_symlink: link target too long: %s, err: %d", link, ENAMETOOLONG);
    return result::kReadError;
  }
  if (make_symlink(target, new_link) != 0) {
    LOG("ensure_copy_symlink: failed to create the new link: %s, target: %s err: %d", new_link,
        target, errno);
    return result::kReadError;
  }
  return result::kOk;
}

int check_exists(const char *path, bool *exists) {
  AtPath at;
  const bool resolved = at.Resolve(path);
  if (resolved && faccessat(at.dir(), at.leaf(), F_OK, 0) == 0) {
    *exists = true;
    return result::kOk;
  }
  *exists = false;
  if (!resolved && errno == kLeadsOutside) return result::kWrongKind;  // logged by the resolution
  if (MeansMissing(errno)) return result::kOk;
  LOG("check_exists: unable to check path: %s, err: %d", path, errno);
  return result::kReadError;
}

int BackupSet::Create(const char *path) {
  char backup[kPathSize];
  if (!BackupName(path, backup)) {
    LOG("backup_create: backup path too long: %s.kiv-backup", path);
    return result::kWriteError;
  }
  if (Has(path)) {
    // The backup already holds the path's content from before the run; what lies at the path now
    // is a version this run wrote.
    return ensure_remove(path) != 0 ? result::kWriteError : result::kOk;
  }
  // A file left at the backup name is replaced by the rename; a folder is removed first.
  struct stat st;
  if (stat_path(backup, &st, false) == 0 && S_ISDIR(st.st_mode) &&
      ensure_remove_recursive(backup, false) != 0) {
    LOG("backup_create: what lies at the backup name could not be removed: %s", backup);
    return result::kWriteError;
  }
  int rv = rename_file(path, backup, false);
  if (rv == result::kOk) own_.insert(path);
  return rv;
}

int BackupSet::Undo(const char *path, bool quiet) {
  auto recorded = before_.find(path);
  const bool was_absent = recorded != before_.end() && !recorded->second;
  int rv = result::kOk;
  struct stat st;
  if (was_absent && stat_path(path, &st, false) == 0 && ensure_remove_recursive(path, false) != 0) {
    rv = result::kWriteError;
  }
  char backup[kPathSize];
  if (!BackupName(path, backup)) {
    LOG("backup_restore: backup path too long: %s.kiv-backup", path);
    return rv != result::kOk ? rv : result::kReadError;
  }
  if (!MayExist(backup)) {
    if (!quiet) LOG("backup_restore: backup file doesn't exist: %s", backup);
    own_.erase(path);
    return rv;
  }
  if (!Has(path)) {
    LOG("backup_restore: not restoring a backup this update did not make: %s", backup);
    return rv;
  }
  if (was_absent) {
    // The backup holds a version that this run wrote where nothing lay before.
    int dropped = Drop(path);
    return rv != result::kOk ? rv : dropped;
  }
  // rename_file needs a writable destination; `path` fits, since its backup name did.
  char destination[kPathSize];
  snprintf(destination, sizeof(destination), "%s", path);
  int moved = rename_file(backup, destination, false);
  if (moved == result::kOk) own_.erase(path);
  return rv != result::kOk ? rv : moved;
}

int BackupSet::Drop(const char *path) {
  char backup[kPathSize];
  if (!BackupName(path, backup)) {
    LOG("backup_drop: backup path too long: %s.kiv-backup", path);
    return result::kWriteError;
  }
  if (!MayExist(backup)) {
    own_.erase(path);
    return result::kOk;
  }
  if (ensure_remove(backup) != 0) return result::kWriteError;
  own_.erase(path);
  return result::kOk;
}

int flush_dir(const char *path) {
  int fd = OpenForFlush(path);
  if (fd < 0 || fsync(fd) != 0) {
    LOG("flush_dir: failed to flush directory: %s, err: %d", path, errno);
    if (fd >= 0) close(fd);
    return result::kWriteError;
  }
  close(fd);
  return result::kOk;
}

int flush_file_system(const char *path) {
  int fd = OpenForFlush(path);
  if (fd < 0 || syncfs(fd) != 0) {
    LOG("flush_file_system: failed to flush the file system of: %s, err: %d", path, errno);
    if (fd >= 0) close(fd);
    return result::kWriteError;
  }
  close(fd);
  return result::kOk;
}

int flush_tree(const char *root) {
  if (flush_file_system(root) != result::kOk) return result::kWriteError;
  std::vector<std::string> pending = {root};
  while (!pending.empty()) {
    std::string dir = pending.back();
    pending.pop_back();
    if (flush_dir(dir.c_str()) != result::kOk) return result::kWriteError;
    DIR *listing = opendir(dir.c_str());
    if (!listing) continue;  // flushed above; a folder that cannot be listed holds nothing we made
    while (struct dirent *entry = readdir(listing)) {
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      std::string child = dir + "/" + entry->d_name;
      struct stat st;
      bool is_dir =
          entry->d_type == DT_DIR ||
          (entry->d_type == DT_UNKNOWN && lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
      if (is_dir) pending.push_back(child);
    }
    closedir(listing);
  }
  return flush_dir(ParentDirectory(std::string(root)).c_str());
}

BeneathCheck::BeneathCheck(const char *base) {
  const char *name = base ? base : ".";
  root_fd_ = open(name, O_PATH | O_DIRECTORY | O_CLOEXEC);
  char *real = root_fd_ >= 0 ? realpath(name, nullptr) : nullptr;
  if (real) {
    root_ = real;
    free(real);
  } else {
    root_error_ = errno;
  }
}

BeneathCheck::~BeneathCheck() {
  if (root_fd_ >= 0) close(root_fd_);
}

int BeneathCheck::Check(const char *path) const {
  if (root_.empty()) {
    LOG("Link: unable to resolve the directory being updated, err: %d", root_error_);
    return result::kReadError;
  }
  // The folder that holds the entry, or the deepest one of its ancestors that exists, resolved as
  // the operations on the path resolve it.
  std::string dir = ParentDirectory(std::string(path));
  for (;;) {
    int fd = OpenFolderBeneath(root_fd_, root_.c_str(), dir.c_str());
    if (fd >= 0) {
      close(fd);
      return result::kOk;
    }
    if (errno == kLeadsOutside) {
      LOG("Link: %s leads outside the directory being updated", path);
      return result::kWrongKind;
    }
    if (errno != ENOENT && errno != ENOTDIR) {
      LOG("Link: unable to resolve the folder of %s, err: %d", path, errno);
      return result::kReadError;
    }
    const std::string up = ParentDirectory(dir);
    if (up == dir || dir == ".") return result::kOk;
    dir = up;
  }
}
