// SPDX-License-Identifier: MIT
// The updater's on-disk protocol: every file and folder name it reads or writes, and every text of
// the status file. The updater, make-update's check and the update client name them from here and
// nowhere else. Nothing here does I/O or logs.
#pragma once

#include <cstdio>
#include <string>

namespace protocol {

// In the patch directory.
constexpr char kArchiveName[] = "update.upk";
constexpr char kStatusName[] = "update.status";
constexpr char kStatusTempName[] =
    "update.status.tmp";  // the status file's replacement in progress
constexpr char kLogName[] = "update.log";
constexpr char kJournalName[] = "update.journal";

// In the directory being updated: the scratch folder that holds the manifest and patch files.
constexpr char kScratchDirName[] = "updating";

// Below the installation directory.
constexpr char kStagedDirName[] = "updated";           // the staged copy a replace request swaps in
constexpr char kPatchDirName[] = "updates/0";          // the application's patch directory
constexpr char kStagedLogDir[] = "updated/updates";    // a replace request logs here...
constexpr char kReplaceLogName[] = "last-update.log";  // ...into this file,
// ...or into kLogName there when this one does not exist yet.
constexpr char kKeysDirName[] = "update-keys";  // the trusted public keys, "*.pub"
// The installation's product record (base/product_record.h): its product and installed version.
constexpr char kProductRecordName[] = "update-product";

// Beside the installation directory: where a replace request sets the old installation aside.
constexpr char kSetAsideSuffix[] = ".bak";
// Beside the installation directory: the old installation a replace request keeps (instead of
// removing it) when its environment holds kKeepPreviousEnv set to "1", until the update client
// confirms the new version or swaps the old one back.
constexpr char kPreviousSuffix[] = ".previous";
constexpr char kKeepPreviousEnv[] = "KIV_KEEP_PREVIOUS";
// Beside a file during an update: its backup, "<path>" followed by this suffix.
constexpr char kBackupSuffix[] = ".kiv-backup";

// The status texts. Two end without a line feed, three with one.
constexpr char kStatusApplying[] = "applying";
constexpr char kStatusSucceeded[] = "succeeded\n";
constexpr char kStatusApplied[] = "applied\n";  // a staged update is ready to be swapped in
constexpr char kStatusPending[] = "pending";    // a failed replace request: update on next start
constexpr char kStatusFailedFormat[] = "failed: %d\n";

// "failed: <code>\n".
inline std::string FailedStatus(int code) {
  char text[32];
  snprintf(text, sizeof(text), kStatusFailedFormat, code);
  return text;
}

// Whether `status` is a "failed: N\n" text; sets `*code` to N when it is.
inline bool ParseFailedStatus(const std::string &status, int *code) {
  int value = 0;
  char end = '\0';
  if (sscanf(status.c_str(), "failed: %d%c", &value, &end) != 2 || end != '\n') return false;
  if (status != FailedStatus(value)) return false;
  *code = value;
  return true;
}

}  // namespace protocol
