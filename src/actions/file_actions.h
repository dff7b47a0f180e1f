// SPDX-License-Identifier: MIT
// The actions that remove or add whole files and directories. A replaced or removed file is never
// deleted in the Execute pass: it is renamed to its ".kiv-backup" backup, which Finish drops after
// a successful update and puts back after a failed one. Failures are logged here and returned as
// codes.
#pragma once

#include <sys/types.h>

#include <memory>

#include "actions/action.h"

// "remove": takes a regular file away. A path that is missing when Prepare runs (a link whose
// target is missing included) is skipped silently and weighs nothing in the progress.
class RemoveFileAction : public UpdateAction {
 public:
  [[nodiscard]] int Parse(char *arg) override;
  // result::kOk; kReadError when the status cannot be read; kWrongKind when the path is not a
  // regular file; kWriteError when its directory is not writable.
  [[nodiscard]] int Prepare() override;
  // Moves the file to its backup. 0, or backup_create's result.
  [[nodiscard]] int Execute() override;
  void Finish(int status) override;
  const char *ChangedPath() const override { return skip ? nullptr : path; }

 protected:
  char *path = nullptr;  // points into the manifest text
  int skip = 0;          // the file was found missing; the later passes do nothing
};

// "rmdir": removes a directory in the Finish pass of a successful update, if it is empty by then.
// Nothing is changed in the other passes; a directory that is not empty is left with a message.
class RemoveDirAction : public UpdateAction {
 public:
  [[nodiscard]] int Parse(char *arg) override;
  // result::kOk; kReadError when the status cannot be read; kWrongKind when the path is not a
  // directory; kWriteError when it is not writable.
  [[nodiscard]] int Prepare() override;
  [[nodiscard]] int Execute() override;
  void Finish(int status) override;
  const char *RemovedDir() const override { return skip ? nullptr : path; }

 protected:
  char *path = nullptr;  // without its trailing '/'
  int skip = 0;
};

// "add": writes the archive member named like the path to that path, moving an existing file to its
// backup and creating missing parent directories first.
class AddAction : public UpdateAction {
 public:
  [[nodiscard]] int Parse(char *arg) override;
  [[nodiscard]] int Prepare() override;
  // result::kOk; backup_create's or ensure_parent_dir's result; or the extraction's result
  // (UpkReader::ExtractToFile).
  [[nodiscard]] int Execute() override;
  // After a failure, removes the file that Execute wrote (complete or not) if it is still the one
  // at the path, then puts the old file back when there is a backup.
  void Finish(int status) override;
  const char *ChangedPath() const override { return path; }
  const char *ExtractedMember(bool *in_prepare) const override {
    *in_prepare = false;
    return path;
  }

 protected:
  char *path = nullptr;  // also the archive member's name
  bool added = false;    // the extraction completed

 private:
  // The extraction made a new entry at the path (even if it then failed); its identity lets Finish
  // tell it from a file that an earlier action has put back there since.
  bool created = false;
  dev_t created_dev = 0;
  ino_t created_ino = 0;
};

// "addsymlink": makes `path` a symbolic link to `target`, moving what lies at the path (a file or
// a link) to its backup, or creating missing parent directories first. The target must be relative
// and must not climb out of the installation from the link's folder (manifest::
// LinkTargetStaysInside); a folder at the path is not replaced.
class AddSymlinkAction : public UpdateAction {
 public:
  // Reads "path" "target". result::kOk or result::kParseError.
  [[nodiscard]] int Parse(char *arg) override;
  // result::kOk; kWrongKind (logged with "Link: ") for a target that leaves the installation or a
  // folder at the path; kReadError when the path's status cannot be read.
  [[nodiscard]] int Prepare() override;
  // result::kOk; backup_create's or ensure_parent_dir's result; kWriteError when the link cannot
  // be made.
  [[nodiscard]] int Execute() override;
  // After a failure, removes the link that Execute made if it is still the one at the path, then
  // puts the old entry back when there is a backup.
  void Finish(int status) override;
  const char *ChangedPath() const override { return path; }

 private:
  char *path = nullptr;
  char *target = nullptr;
  bool created = false;
  dev_t created_dev = 0;
  ino_t created_ino = 0;
};

// "add-if", "add-if-not" and "patch-if": an instruction that runs only when its test file exists
// (or, for "add-if-not", does not) at Prepare time, decided once, against the directory as it is
// before any action has executed; a test file that cannot be seen is not taken for a missing one.
// Once disabled, every pass does nothing and the action changes and extracts nothing.
class ConditionalAction : public UpdateAction {
 public:
  ConditionalAction(std::unique_ptr<UpdateAction> inner, bool run_when_present)
      : inner_(std::move(inner)), run_when_present_(run_when_present) {}

  // Reads: test path, separator, then the inner instruction's arguments. Returns result::kOk or
  // result::kParseError.
  [[nodiscard]] int Parse(char *arg) override;
  // result::kOk when disabled; kReadError when the test file cannot be checked; else the inner
  // action's Prepare result.
  [[nodiscard]] int Prepare() override;
  [[nodiscard]] int Execute() override;
  void Finish(int status) override;
  const char *ExtractedMember(bool *in_prepare) const override {
    return test_path_ ? inner_->ExtractedMember(in_prepare) : nullptr;
  }
  bool ExtractsConditionally() const override { return true; }
  const char *ChangedPath() const override { return test_path_ ? inner_->ChangedPath() : nullptr; }
  void Attach(UpdateContext *context) override {
    UpdateAction::Attach(context);
    inner_->Attach(context);
  }

 private:
  std::unique_ptr<UpdateAction> inner_;
  const bool run_when_present_;
  char *test_path_ = nullptr;  // null once the condition has disabled the action
};
