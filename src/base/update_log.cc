// SPDX-License-Identifier: MIT
#include "base/update_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdarg>
#include <cstdlib>
#include <mutex>

#include "base/folder_trust.h"
#include "base/paths.h"

namespace {
void CloseAtExit() { UpdateLogger::Instance().CloseFile(); }
}  // namespace

UpdateLogger &UpdateLogger::Instance() {
  static UpdateLogger *instance = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    instance = new UpdateLogger();
    std::atexit(CloseAtExit);
  });
  return *instance;
}

void UpdateLogger::OpenFile(const char *dir, const char *name, const char *alt_name, bool append) {
  if (file_) return;
  // A path that does not fit is not opened: cut short it could name another file, which "w" would
  // truncate. The run then goes on without a log, as after any failed opening.
  char path[kPathSize];
  if (!FormPath(path, "%s/%s", dir, name)) return;
  if (alt_name && access(path, F_OK) != 0 && !FormPath(path, "%s/%s", dir, alt_name)) return;
  // Never through a link planted at the name, nor into a device or a pipe.
  int fd =
      open(path,
           O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
           0666);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0 || errno == ELOOP) ReportPlantedName(path);
    if (fd >= 0) close(fd);
    return;
  }
  file_ = fdopen(fd, append ? "a" : "w");
  if (!file_) {
    close(fd);
    return;
  }
  // Each line reaches the file when it is written, so that a run that is killed leaves its log up
  // to that moment.
  if (file_) setvbuf(file_, nullptr, _IOLBF, BUFSIZ);
}

void UpdateLogger::Log(const char *format, ...) {
  if (!file_) return;
  va_list ap;
  va_start(ap, format);
  vfprintf(file_, format, ap);
  va_end(ap);
  fputc('\n', file_);
}

void UpdateLogger::Truncate() {
  if (file_) (void)!ftruncate(fileno(file_), 0);
}

void UpdateLogger::Flush() {
  if (file_) fflush(file_);
}

void UpdateLogger::CloseFile() {
  if (!file_) return;
  fclose(file_);
  file_ = nullptr;
}
