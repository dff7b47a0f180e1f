// SPDX-License-Identifier: MIT
// The actions that change an existing file by applying a binary patch from the update archive. The
// patch is extracted in Prepare to a numbered file in the working directory's "updating" folder;
// Execute checks the old file's size and CRC against the patch, moves it to its ".kiv-backup"
// backup and writes the new file with the old file's permission bits; Finish drops or restores the
// backup. Failures are logged here and returned as result codes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "actions/action.h"
#include "base/paths.h"
#include "patch/apply_patch.h"

// "patch": applies the patch held in the archive member `patch_name` to the file `path`.
class PatchAction : public UpdateAction {
 public:
  PatchAction() = default;
  // Removes the extracted patch file if it is still there and releases the old content.
  ~PatchAction() override;

  // Reads: member name (not checked as a path), separator, file path. Returns result::kOk or
  // result::kParseError.
  [[nodiscard]] int Parse(char *arg) override;
  // Extracts the patch to "<working_dir>/updating/<n>.patch". Returns result::kOk, kWriteError
  // when that file cannot be opened, or the extraction's result (UpkReader::ExtractToStream).
  [[nodiscard]] int Prepare() override;
  // Returns result::kOk, kReadError (patch file, file to patch or its status unreadable),
  // kWriteError (new file cannot be made or written), ReadPatchHeader's, LoadSourceFile's,
  // backup_create's or ApplyPatch's result. The old file is untouched unless the failure came
  // after its backup was made.
  [[nodiscard]] int Execute() override;
  // Drops the backup after a successful update; puts it back otherwise.
  void Finish(int status) override;
  const char *ChangedPath() const override { return path; }
  const char *ExtractedMember(bool *in_prepare) const override {
    *in_prepare = true;
    return patch_name;
  }

  // Reads the whole open file to patch into source_buffer and checks it against the header.
  // Returns result::kOk, kReadError (status or read failure), kCopyNoMemory, kWrongKind (size
  // differs) or kCrcMismatch (CRC differs).
  [[nodiscard]] int LoadSourceFile(FILE *stream);

 protected:
  char *patch_name = nullptr;  // points into the manifest text
  char *path = nullptr;        // points into the manifest text
  int32_t patch_index = -1;
  PatchHeader header{};
  unsigned char *source_buffer = nullptr;  // owned (malloc); the whole old file
  char patch_file_path[kPathSize] = "";    // empty when no patch file of this action exists
};
