// SPDX-License-Identifier: MIT
#include "driver/status_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/durable_file.h"
#include "base/folder_trust.h"
#include "base/paths.h"
#include "base/result.h"
#include "base/update_protocol.h"
#include "fileops/file_ops.h"

bool WriteStatus(const char *patch_dir, const char *text) {
  char path[kPathSize];
  if (!FormPath(path, "%s/%s", patch_dir, protocol::kStatusName)) return false;
  if (ensure_parent_dir(path) != 0) return false;

  // Replaced, never rewritten in place: a reader (or a run killed half-way) never sees it empty.
  if (replace_file_durably(path, text, strlen(text), 0666, true) == result::kOk) return true;
  if (errno == ELOOP) ReportPlantedName((std::string(path) + ".tmp").c_str());
  return false;
}
