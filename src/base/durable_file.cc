// SPDX-License-Identifier: MIT
#include "base/durable_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "base/paths.h"
#include "base/result.h"

namespace {

int FlushFolder(const char *dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return result::kWriteError;
  bool ok = fsync(fd) == 0;
  int saved = errno;
  close(fd);
  errno = saved;
  return ok ? result::kOk : result::kWriteError;
}

}  // namespace

int flush_parent_folder(const char *path) {
  char dir[kPathSize];
  if (!ParentDirectory(path, dir)) {
    errno = ENAMETOOLONG;
    return result::kWriteError;
  }
  return FlushFolder(dir);
}

int replace_file_durably(const char *path, const char *data, size_t length, mode_t mode,
                         bool no_follow) {
  char temp[kPathSize];
  if (!FormPath(temp, "%s.tmp", path)) {
    errno = ENAMETOOLONG;
    return result::kWriteError;
  }

  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  if (no_follow) {
    struct stat st;
    if (lstat(temp, &st) == 0) {
      if (!S_ISREG(st.st_mode)) {
        errno = ELOOP;
        return result::kWriteError;
      }
      if (unlink(temp) != 0) return result::kWriteError;
    }
    flags |= O_EXCL | O_NOFOLLOW;
  }
  int fd = open(temp, flags, mode);
  if (fd < 0) {
    if (no_follow && errno == EEXIST) errno = ELOOP;  // something was put there meanwhile
    return result::kWriteError;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < length;) {
    ssize_t written = write(fd, data + done, length - done);
    if (written <= 0) {
      ok = false;
    } else {
      done += static_cast<size_t>(written);
    }
  }
  ok = ok && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok || rename(temp, path) != 0) {
    if (ok) saved = errno;
    (void)unlink(temp);
    errno = saved;
    return result::kWriteError;
  }
  return flush_parent_folder(path);
}
