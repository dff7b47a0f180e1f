// SPDX-License-Identifier: MIT
// The one resolution of paths beneath the directory being updated: the folder that holds a path's
// last component is opened from a root folder without ever leaving it, and the operation is then
// made on that folder's descriptor and the last component, so that no later step walks the name
// again and a link swapped in meanwhile cannot redirect it. Failures are -1 or false with errno;
// a path that leads outside is logged here, once, as "Link: %s leads outside the directory being
// updated".
#pragma once

#include <fcntl.h>

#include <string>

// The errno of a path that leads outside the root.
constexpr int kLeadsOutside = EXDEV;

// Opens the folder `folder` names ("" or "." is the root itself) beneath the folder `root_fd`
// (AT_FDCWD: the current directory), as an O_PATH descriptor. Links on the way are followed while
// they stay beneath the root: a relative target from the folder that holds the link, an absolute
// one only when it starts with `root_real`, the root's resolved path (taken from getcwd when null
// and the root is the current directory; without it an absolute link leads outside); at most 40
// links (ELOOP); ".." never rises above the root. Uses openat2 with RESOLVE_BENEATH, falling back
// to WalkFolderBeneath where openat2 is missing (ENOSYS), filtered out (EPERM) or refuses an
// absolute link (EXDEV). Returns the descriptor, or -1 with errno: kLeadsOutside, or the failure
// met on the way (ENOENT, ENOTDIR, ELOOP, EACCES, ...). Logs nothing.
[[nodiscard]] int OpenFolderBeneath(int root_fd, const char *root_real, const char *folder);

// The same by a walk of O_PATH | O_NOFOLLOW opens, one component at a time, resolving each link
// itself. What OpenFolderBeneath falls back to; callable on its own so that it can be tested on a
// system that has openat2.
[[nodiscard]] int WalkFolderBeneath(int root_fd, const char *root_real, const char *folder);

// A path resolved for one operation: the folder that holds its last component, opened beneath the
// current directory, and that component. A relative path is resolved beneath the current directory
// (the directory being updated); a path without '/' names an entry of it directly. An absolute
// path is no path of the update's and is not resolved: the folder is AT_FDCWD and the last
// component the whole path, so that the *at calls act as the plain calls do.
class AtPath {
 public:
  enum Flags : unsigned {
    kEntry = 0,
    // A link at the last component is followed as well, beneath the same root, so that a write
    // through it lands where it leads inside (or is refused); the last component is then no link,
    // and leaf_flags() gives O_NOFOLLOW for the operation.
    kFollowLeaf = 1,
    // Nothing is logged, not even a path that leads outside.
    kQuiet = 2,
  };

  AtPath() = default;
  ~AtPath() { Reset(); }
  AtPath(const AtPath &) = delete;
  AtPath &operator=(const AtPath &) = delete;

  // Resolves `path` as described above. False with errno set: kLeadsOutside (logged unless
  // kQuiet) or the failure met on the way.
  [[nodiscard]] bool Resolve(const char *path, unsigned flags = kEntry);

  int dir() const { return dir_; }
  const char *leaf() const { return leaf_.c_str(); }
  // O_NOFOLLOW when the last component was resolved with kFollowLeaf, else 0.
  int leaf_flags() const { return leaf_flags_; }

 private:
  void Reset();

  int dir_ = AT_FDCWD;
  std::string leaf_;
  int leaf_flags_ = 0;
};
