// SPDX-License-Identifier: MIT
#include "driver/run_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/paths.h"

namespace {

char installation_parent[kPathSize];

// Locks the directory `path`; the descriptor stays open (and the lock held) until the process
// ends, and is closed on exec so that a callback program does not inherit it. False only when the
// lock is held elsewhere.
bool LockDirectory(const char *path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  bool held = errno == EWOULDBLOCK;
  close(fd);
  return !held;
}

}  // namespace

bool AcquireRunLocks(const char *patch_dir, const char *install_dir, const char **held_dir) {
  // The patch directory holds the status file, the log and the journal.
  if (!LockDirectory(patch_dir)) {
    *held_dir = patch_dir;
    return false;
  }
  // The installation's parent directory holds the installation and its ".bak" and is never moved
  // itself, so one lock there covers every mode, the swap of a replace request included; a staged
  // update's working directory lies inside the installation.
  // install_dir fits a path buffer, and so does its parent.
  (void)ParentDirectory(install_dir, installation_parent);
  if (!LockDirectory(installation_parent)) {
    *held_dir = installation_parent;
    return false;
  }
  return true;
}
