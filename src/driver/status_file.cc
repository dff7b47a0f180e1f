#include "driver/status_file.h"

#include <cstdio>
#include <cstring>

#include "base/globals.h"
#include "base/paths.h"
#include "fileops/file_ops.h"

bool WriteStatus(const char *text) {
  char path[kPathSize];
  int n = snprintf(path, sizeof(path), "%s/update.status", patch_dir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return false;
  if (ensure_parent_dir(path) != 0) return false;

  ScopedFile file(fopen(path, "wb+"));
  if (!file) return false;
  size_t length = strlen(text);
  return fwrite(text, length, 1, file.get()) == 1;
}
