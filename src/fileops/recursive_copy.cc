// SPDX-License-Identifier: MIT
#include "fileops/recursive_copy.h"

#include <dirent.h>
#include <errno.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/paths.h"
#include "base/result.h"
#include "base/update_log.h"
#include "fileops/file_ops.h"

namespace {

constexpr size_t kCopyBufferSize = 32768;

// Forms "<dir>/<name>" into `out`; false when it does not fit (a cut path could name another file).
bool ChildPath(const char *dir, const char *name, char (&out)[kPathSize]) {
  return FormPath(out, "%s/%s", dir, name);
}

// A FIFO is recreated with its permission bits; sockets and devices belong to a running system, not
// to an installation, and are left out of the copy. Opening either as a stream could block forever.
int CopySpecialFile(const char *source, const char *destination, mode_t mode) {
  if (!S_ISFIFO(mode)) {
    LOG("ensure_copy: special file left out: %s", source);
    return result::kOk;
  }
  if (mkfifo(destination, mode & 07777) != 0 || chmod(destination, mode & 07777) != 0) {
    LOG("ensure_copy: failed to create the fifo: %s, err: %d", destination, errno);
    return result::kWriteError;
  }
  return result::kOk;
}

}  // namespace

int ensure_copy(const char *source, const char *destination) {
  struct stat st;
  if (lstat(source, &st) != 0) {
    LOG("ensure_copy: failed to read file status info: %s, err: %d", source, errno);
    return result::kReadError;
  }
  if (S_ISLNK(st.st_mode)) return ensure_copy_symlink(source, destination);
  if (!S_ISREG(st.st_mode)) return CopySpecialFile(source, destination, st.st_mode);

  ScopedFile in(open_with_mode(source, "rb", st.st_mode));
  if (!in) {
    LOG("ensure_copy: failed to open the file for reading: %s, err: %d", source, errno);
    return result::kReadError;
  }
  ScopedFile out(open_with_mode(destination, "wb", st.st_mode));
  if (!out) {
    LOG("ensure_copy: failed to open the file for writing: %s, err: %d", destination, errno);
    return result::kWriteError;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferSize]);
  if (!buffer) return result::kCopyNoMemory;

  while (!feof(in.get())) {
    size_t read = fread(buffer.get(), 1, kCopyBufferSize, in.get());
    if (ferror(in.get())) {
      LOG("ensure_copy: failed to read the file: %s, err: %d", source, errno);
      return result::kReadError;
    }
    size_t written = 0;
    while (written < read) {
      size_t n = fwrite(buffer.get() + written, 1, read - written, out.get());
      if (n == 0) {
        LOG("ensure_copy: failed to write the file: %s, err: %d", destination, errno);
        return result::kWriteError;
      }
      written += n;
    }
  }
  // The stream holds the last bytes until it is closed: a copy is complete only when the close
  // has written them.
  if (out.Close() != 0) {
    LOG("ensure_copy: failed to write the file: %s, err: %d", destination, errno);
    return result::kWriteError;
  }
  // The mode was forced when the destination was opened; set it once more now that it is written.
  return chmod(destination, st.st_mode);
}

int ensure_copy_recursive(const char *source, const char *destination, const char *skip_paths) {
  struct stat st;
  int rv = lstat(source, &st);
  if (rv != 0) {
    LOG("ensure_copy_recursive: path doesn't exist: %s, rv: %d, err: %d", source, rv, errno);
    return result::kReadError;
  }
  if (S_ISLNK(st.st_mode)) return ensure_copy_symlink(source, destination);
  if (!S_ISDIR(st.st_mode)) return ensure_copy(source, destination);

  rv = mkdir(destination, st.st_mode);
  if (rv != 0 && errno != EEXIST) {
    LOG("ensure_copy_recursive: could not create destination directory: %s, rv: %d, err: %d",
        destination, rv, errno);
    return result::kWriteError;
  }
  if (rv != 0) rv = 0;  // an existing destination directory is used as it is

  DIR *dir = opendir(source);
  if (!dir) {
    LOG("ensure_copy_recursive: path is not a directory: %s, rv: %d, err: %d", source, rv, errno);
    return result::kReadError;
  }
  const char *skip_second = skip_paths + kPathSize;
  while (true) {
    // readdir tells the end of the listing from a failure to read it only by errno.
    errno = 0;
    struct dirent *entry = readdir(dir);
    if (!entry) {
      if (errno != 0) {
        LOG("ensure_copy_recursive: unable to read directory: %s, err: %d", source, errno);
        rv = result::kReadError;
      }
      break;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    char source_child[kPathSize];
    if (!ChildPath(source, entry->d_name, source_child)) {
      LOG("ensure_copy_recursive: path too long: %s/%s", source, entry->d_name);
      rv = result::kReadError;
      break;
    }
    if (strcasecmp(source_child, skip_paths) == 0 || strcasecmp(source_child, skip_second) == 0) {
      continue;
    }
    char destination_child[kPathSize];
    if (!ChildPath(destination, entry->d_name, destination_child)) {
      LOG("ensure_copy_recursive: path too long: %s/%s", destination, entry->d_name);
      rv = result::kWriteError;
      break;
    }
    rv = ensure_copy_recursive(source_child, destination_child, skip_paths);
    if (rv != 0) break;
  }
  closedir(dir);
  return rv;
}
