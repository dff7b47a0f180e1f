// The actions that remove or add whole files and directories. A replaced or removed file is never
// deleted in the Execute pass: it is renamed to its ".kiv-backup" backup, which Finish drops after
// a successful update and puts back after a failed one. Failures are logged here and returned as
// codes.
#pragma once

#include <sys/types.h>

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

// "add-if": an add that runs only when the test file exists at Prepare time.
class AddIfAction : public AddAction {
 public:
  [[nodiscard]] int Parse(char *arg) override;
  [[nodiscard]] int Prepare() override;
  [[nodiscard]] int Execute() override;
  void Finish(int status) override;
  const char *ChangedPath() const override { return test_path ? path : nullptr; }

 protected:
  char *test_path = nullptr;  // null once the condition has disabled the action
};

// "add-if-not": an add that runs only when the test file does not exist at Prepare time.
class AddIfNotAction : public AddAction {
 public:
  [[nodiscard]] int Parse(char *arg) override;
  [[nodiscard]] int Prepare() override;
  [[nodiscard]] int Execute() override;
  void Finish(int status) override;
  const char *ChangedPath() const override { return test_path ? path : nullptr; }

 protected:
  char *test_path = nullptr;  // null once the condition has disabled the action
};
