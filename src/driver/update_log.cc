#include "driver/update_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <mutex>

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
  char path[1024];
  snprintf(path, sizeof(path), "%s/%s", dir, name);
  if (alt_name && access(path, F_OK) != 0) snprintf(path, sizeof(path), "%s/%s", dir, alt_name);
  file_ = fopen(path, append ? "a" : "w");
}

void UpdateLogger::Log(const char *format, ...) {
  if (!file_) return;
  va_list ap;
  va_start(ap, format);
  vfprintf(file_, format, ap);
  va_end(ap);
  fputc('\n', file_);
}

void UpdateLogger::LogWarning(const char *format, ...) {
  if (!file_) return;
  fputs("*** Warning: ", file_);
  va_list ap;
  va_start(ap, format);
  vfprintf(file_, format, ap);
  va_end(ap);
  fputs("***\n", file_);
}

void UpdateLogger::Flush() {
  if (file_) fflush(file_);
}

void UpdateLogger::CloseFile() {
  if (!file_) return;
  fclose(file_);
  file_ = nullptr;
}
