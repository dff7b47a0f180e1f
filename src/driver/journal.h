// SPDX-License-Identifier: MIT
// The journal "update.journal" in the patch directory (format: driver/journal_format.h). Written
// whole and flushed before an in-place update or a replace request makes its first change, it says
// what recovery must do when the run is killed: put the installation back exactly as it was, or,
// once the update is committed, finish it. Failures are logged here ("journal: ...") and returned
// as result codes.
//
// States and transitions (each by the function named):
//   kNone      --BeginUpdate / BeginReplace-->  kWritten    (the file is on disk)
//   kNone      --Recover, journal found------>  kWritten or kCommitted (as the file says), then
//              recovery ends it (kEnded), or leaves it for the caller to end (a completed run) or
//              keeps it (kKept: it could not be read, is not this run's, or recovery failed)
//   kWritten   --Commit-->                       kCommitted  (everything written is on disk)
//   kWritten, kCommitted --End-->                kEnded      (the file is removed)
//   kWritten, kCommitted --Keep-->               kKept       (the next run's recovery finishes)
// kEnded and kKept are final; End and Keep in any other state do nothing.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ActionList;
class BackupSet;

class Journal {
 public:
  enum class State { kNone, kWritten, kCommitted, kEnded, kKept };

  // `patch_dir` is made absolute against the current directory, so that the journal is found after
  // the run has entered its working directory.
  explicit Journal(const char *patch_dir);

  State state() const { return state_; }
  const std::string &path() const { return journal_path_; }

  // In-place update, after the Prepare pass, the current directory being the working directory
  // `working_dir`: records for every path the actions may change whether anything lay there (also
  // into `backups`, which the Finish pass undoes by), and which missing folders above it an add
  // may create; removes whatever lies at those paths' backup names (no run of ours made it); and
  // writes the journal. Returns result::kOk, kReadError (a path cannot be checked) or kWriteError.
  [[nodiscard]] int BeginUpdate(const ActionList &list, BackupSet *backups);
  // After a successful Execute pass: flushes every file the update wrote and every directory whose
  // entries it changed, then records the commit. Returns result::kOk or kWriteError.
  [[nodiscard]] int Commit();
  // After the Finish pass: flushes the changed directories once more, so that the dropped (or put
  // back) backups are on disk before the journal goes. Returns result::kOk or kWriteError.
  [[nodiscard]] int FlushDirectories() const;

  // Replace request, before the first move: records the installation `install_dir` and the
  // identity of the staged copy. Returns result::kOk or kWriteError.
  [[nodiscard]] int BeginReplace(const char *install_dir, dev_t staged_dev, ino_t staged_ino);
  // Replace request, once the staged copy is in place and the old installation at `old_dir`
  // (kWritten only): a patch directory inside the installation went with the old installation, and
  // the journal with it; it is moved back to its path, which now lies in the staged copy, so that a
  // kill before the status is written finds it there. A failure is logged ("journal: ...") and
  // leaves it where it is, where recovery also looks for it.
  void FollowExchange(const char *install_dir, const std::string &old_dir);

  // Removes the journal and flushes the patch directory (kWritten or kCommitted only).
  void End();
  // Leaves the journal for the next run, logging `why` after "journal: kept: ".
  void Keep(const char *why);

  // What the recovery of a killed run works from. `working_dir` is this run's working directory
  // and `install_dir` its installation, as the command line named them; `replace_request` and
  // `staged_update` its mode; `keep_previous` whether a swap keeps the old installation.
  struct RunView {
    const char *working_dir;
    const char *install_dir;
    bool staged_update;
    bool replace_request;
    bool keep_previous;
  };
  // At the start of every run, before anything changes: puts back an installation that a killed
  // replace request left missing beside its ".bak", then recovers a journal left by a killed run
  // of this installation. When the patch directory lies inside the installation and holds no
  // journal, a swap of this installation may have carried it away with the old installation before
  // FollowExchange: the replace journal found in "<install>.bak/updated", "<install>.bak" or
  // "<install>.previous" at the patch directory's place is moved back and recovered when the
  // staged copy it names is in place and no other staged copy waits (else it is left alone).
  // Sets `*completed` when the killed run was this very update (same archive
  // and working directory, or the same replace request) and had committed: recovery has finished
  // it, the journal stays in state kCommitted and the caller reports success without running the
  // update again (and ends the journal after writing the status). A journal that cannot be read,
  // or that was recorded for another directory, is kept and logged, and nothing is changed.
  // Returns result::kOk, or the first failure (the journal is then kept for the next run).
  [[nodiscard]] int Recover(const RunView &run, bool *completed);

 private:
  struct Contents;
  [[nodiscard]] int Write(const std::string &text);
  [[nodiscard]] int Read(const std::string &path, Contents *contents, bool *found);
  [[nodiscard]] int FindMovedJournal(const RunView &run, Contents *contents, bool *found);
  std::string MovedPath(const std::string &install_dir, const std::string &old_dir) const;
  [[nodiscard]] int MoveBack(const std::string &moved);
  // Recovers an update from inside its recorded directory (RecoverUpdateHere), restoring the
  // working directory after.
  [[nodiscard]] int RecoverUpdate(const Contents &contents);
  // The same with the recorded directory the current one; its records are relative to it.
  [[nodiscard]] int RecoverUpdateHere(const Contents &contents);
  std::string ArchiveIdentity() const;

  std::string journal_path_;
  std::string archive_path_;
  State state_ = State::kNone;
  std::vector<std::string> flush_dirs_;  // directories whose entries the update changes
};
