// SPDX-License-Identifier: MIT
#include "base/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/scoped_file.h"

namespace {

// The largest single read request, so that no request exceeds what one read may return.
constexpr size_t kMaxRequest = 0x7FFFFFFF;

// Closes `file` without letting the close change errno, which names the failure being reported.
FileRead Fail(ScopedFile *file, FileRead why, int error) {
  file->Close();
  errno = error;
  return why;
}

}  // namespace

bool ReadExactly(FILE *file, void *buffer, size_t size) {
  char *out = static_cast<char *>(buffer);
  for (size_t done = 0; done < size;) {
    const size_t request = size - done < kMaxRequest ? size - done : kMaxRequest;
    if (fread(out + done, 1, request, file) != request) return false;
    done += request;
  }
  return true;
}

FileRead ReadWholeFile(const char *path, const WholeFileOptions &options, char **data,
                       size_t *size) {
  return ReadWholeFileAt(AT_FDCWD, path, options, data, size);
}

FileRead ReadWholeFileAt(int dir, const char *name, const WholeFileOptions &options, char **data,
                         size_t *size) {
  *data = nullptr;
  *size = 0;
  const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC | (options.no_follow ? O_NOFOLLOW : 0));
  FILE *stream = fd < 0 ? nullptr : fdopen(fd, "rb");
  if (!stream && fd >= 0) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  ScopedFile file(stream);
  if (!file) return FileRead::kCannotOpen;
  struct stat st;
  if (fstat(fileno(file.get()), &st) != 0) return Fail(&file, FileRead::kCannotQuery, errno);
  if (st.st_size < 0) return Fail(&file, FileRead::kCannotQuery, EOVERFLOW);
  if (options.regular_only && !S_ISREG(st.st_mode)) {
    return Fail(&file, FileRead::kNotRegular, EINVAL);
  }
  if (static_cast<uint64_t>(st.st_size) > options.max_size) {
    return Fail(&file, FileRead::kTooLarge, 0);
  }
  const size_t length = static_cast<size_t>(st.st_size);
  char *buffer = static_cast<char *>(malloc(length + 1));
  if (!buffer) return Fail(&file, FileRead::kNoMemory, ENOMEM);
  errno = 0;
  if (!ReadExactly(file.get(), buffer, length)) {
    const bool failed = ferror(file.get()) != 0;
    const int error = failed ? errno : 0;
    free(buffer);
    return Fail(&file, failed ? FileRead::kCannotRead : FileRead::kShort, error);
  }
  buffer[length] = '\0';
  *data = buffer;
  *size = length;
  return FileRead::kOk;
}
