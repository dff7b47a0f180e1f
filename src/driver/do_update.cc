#include "driver/do_update.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "actions/action.h"
#include "actions/decode_plan.h"
#include "actions/manifest.h"
#include "archive/archive_check.h"
#include "archive/decode_ahead.h"
#include "archive/signature_check.h"
#include "archive/upk_reader.h"
#include "base/globals.h"
#include "base/manifest_format.h"
#include "base/paths.h"
#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "driver/journal.h"
#include "driver/run_guard.h"
#include "driver/status_file.h"
#include "fileops/file_ops.h"
#include "fileops/recursive_copy.h"
#include "progress/progress_state.h"

namespace {

// Present with an empty value, it tells the entry point to launch no callback.
char kProcessUpdatesEmpty[] = "KIV_PROCESS_UPDATES=";

// Formats into a path buffer; false when the result does not fit (a cut path could name another,
// existing directory, and the moves and removals below would then act on that one).
template <typename... Args>
bool FormPath(char (&out)[kPathSize], const char *format, Args... args) {
  int n = snprintf(out, sizeof(out), format, args...);
  return n >= 0 && static_cast<size_t>(n) < sizeof(out);
}

// Flushes the directory that holds `path`.
int FlushParentDir(const char *path) {
  return flush_dir(ParentDirectory(std::string(path)).c_str());
}

// The two-step swap for file systems that cannot exchange: the installation moves to tmpDir and the
// staged copy, now "<install_dir>.bak/updated", into its place; the installation moves back when
// the second move fails. Between the moves the installation's path is missing; a run killed there
// is repaired by the next run's recovery. Returns the first failing move's code.
int MoveInTwoSteps(const char *tmp_dir, char *new_dir, bool announced) {
  char destination[kPathSize];
  snprintf(destination, sizeof(destination), "%s", tmp_dir);
  int rv = rename_file(install_dir, destination, true);
  if (rv != result::kOk) {
    LOG("Moving destDir to tmpDir failed, err: %d", rv);
    return rv;
  }

  if (!announced) LOG("Begin moving newDir (%s) to destDir (%s)", new_dir, install_dir);
  rv = rename_file(new_dir, install_dir, true);
  if (rv != result::kOk) {
    LOG("Moving newDir to destDir failed, err: %d", rv);
    LOG("Now, try to move tmpDir back to destDir");
    (void)ensure_remove_recursive(install_dir, false);
    int back = rename_file(tmp_dir, install_dir, true);
    if (back != result::kOk) LOG("Moving tmpDir back to destDir failed, err: %d", back);
  }
  return rv;
}

// Swaps the staged copy "<install_dir>/updated" into the installation's place. The staged copy is
// first set aside as "<install_dir>.bak/updated" (newDir); then one exchange puts it at the
// installation's path and the old installation at newDir, inside tmpDir, which is removed. The
// journal names the staged copy by its identity, so that a killed run can tell the two apart.
// Returns the first failing move's code.
int ReplaceInstallation() {
  char tmp_dir[kPathSize];
  char new_dir[kPathSize];
  char staged_dir[kPathSize];
  if (!FormPath(tmp_dir, "%s.bak", install_dir) ||
      !FormPath(new_dir, "%s.bak/updated", install_dir) ||
      !FormPath(staged_dir, "%s/updated", install_dir)) {
    LOG("DoUpdate: path too long: %s.bak/updated", install_dir);
    return result::kWriteError;
  }

  (void)ensure_remove_recursive(tmp_dir, false);
  LOG("Begin moving destDir (%s) to tmpDir (%s)", install_dir, tmp_dir);
  struct stat staged;
  int rv = result::kOk;
  bool exchanged = false;
  bool announced = false;  // "Begin moving newDir ..." is logged
  if (lstat(staged_dir, &staged) == 0 && S_ISDIR(staged.st_mode)) {
    rv = JournalBeginReplace(staged.st_dev, staged.st_ino);
    if (rv == result::kOk) rv = rename_file(staged_dir, new_dir, true);
    if (rv != result::kOk) {
      (void)rmdir(tmp_dir);
      return rv;
    }
    LOG("Begin moving newDir (%s) to destDir (%s)", new_dir, install_dir);
    announced = true;
    bool unsupported = false;
    rv = exchange_file(new_dir, install_dir, &unsupported);
    // The exchange is on disk before the status can say so; when it cannot be flushed it is undone.
    if (rv == result::kOk && FlushParentDir(install_dir) != result::kOk) {
      bool again = false;
      rv = result::kWriteError;
      if (exchange_file(new_dir, install_dir, &again) != result::kOk) rv = result::kOk;
    }
    exchanged = rv == result::kOk;
    if (!exchanged) {
      // The staged copy goes back where it was (the installation has not moved), by the one call
      // that this needs, so that it does not depend on a status query or a folder creation that
      // has just failed.
      if (rename(new_dir, staged_dir) != 0) {
        LOG("DoUpdate: failed to move the staged copy back - src: %s, dst:%s, err: %d", new_dir,
            staged_dir, errno);
      }
      (void)rmdir(tmp_dir);
      if (!unsupported) {
        LOG("Moving newDir to destDir failed, err: %d", rv);
        return rv;
      }
      LOG("The file system cannot exchange the directories; moving them in two steps");
    }
  }
  if (!exchanged) {
    // An exchange that could not be made has already announced the second move.
    rv = MoveInTwoSteps(tmp_dir, new_dir, announced);
    if (rv != result::kOk) return rv;
  }

  LOG("Now, remove the tmpDir");
  int removed = ensure_remove_recursive(tmp_dir, true);
  if (removed != 0) LOG("Removing tmpDir failed, err: %d", removed);
  update_succeeded = true;
  return result::kOk;
}

// Extracts the manifest into the "updating" folder of the working directory, parses it and runs
// the three passes. Returns the update's result.
// Set when the Finish pass could not put back or drop every backup it made.
bool keep_journal = false;

int RunManifest() {
  char manifest[kPathSize];
  if (!FormPath(manifest, "%s/updating/update.manifest", working_dir)) {
    LOG("DoUpdate: path too long: %s/updating/update.manifest", working_dir);
    return result::kWriteError;
  }
  (void)ensure_parent_dir(manifest);

  int rv = update_reader.ExtractToFile(manifest::kManifestName, manifest);
  if (rv != result::kOk) {
    rv = update_reader.ExtractToFile("updatev2.manifest", manifest);
    if (rv != result::kOk) {
      LOG("DoUpdate: error extracting manifest file");
      return rv;
    }
  }

  // The texts outlive the list: every action points into them.
  ManifestTexts texts;
  char *text = texts.Keep(GetManifestContents(manifest));
  (void)remove(manifest);
  if (!text) {
    LOG("DoUpdate: error opening manifest file: %s", manifest);
    return result::kReadError;
  }

  ActionList list;
  rv = ParseManifest(text, &list, &texts);
  // Decoding ahead: worker threads decompress the members that the two passes will extract.
  if (rv == result::kOk) (void)StartDecodeAhead(list, update_reader.archive(), ExtractThreadCount());
  if (rv == result::kOk) rv = list.Prepare();
  // An in-place update writes its journal before the first change; a staged one changes only its
  // own copy, which the next staged run rebuilds.
  if (rv == result::kOk && !staged_update) rv = JournalBeginUpdate(list);
  if (rv == result::kOk) {
    rv = list.Execute();
    decode_ahead.Stop();
    // Nothing is declared done before it is on disk: the backups go only after the flush.
    if (rv == result::kOk) rv = staged_update ? FlushStagedCopy() : JournalCommit();
    list.Finish(rv);
    // The dropped or restored backups reach the disk before the journal goes. The update is
    // decided by now: a failure here changes no outcome (a backup that comes back after a power
    // cut is one this run's successor removes).
    if (!staged_update) (void)JournalFlushDirectories();
    // A backup that could not be put back (or dropped) leaves the journal in place, so that the
    // next run's recovery finishes what this one could not.
    if (!staged_update && backup_outstanding() > 0) {
      LOG("journal: kept: %zu backups could not be put back or dropped; the next run finishes the "
          "work",
          backup_outstanding());
      keep_journal = true;
    }
  }
  decode_ahead.Stop();
  list.Destroy();
  return rv;
}

// Opens the update's archive through the installation's signature and product checks.
int OpenArchive(const char *archive) { return OpenCheckedArchive(install_dir, archive, &update_reader); }

// An in-place or staged update from "<patch_dir>/update.upk".
int ApplyArchive() {
  char archive[kPathSize];
  if (!FormPath(archive, "%s/%s", patch_dir, protocol::kArchiveName)) {
    LOG("DoUpdate: path too long: %s/update.upk", patch_dir);
    return result::kReadError;
  }
  int rv = OpenArchive(archive);
  if (rv != result::kOk) return rv;

  if (staged_update && !os_update) {
    // Two paths of one block, the second kPathSize bytes after the first, as the copy expects them.
    char skip_paths[2 * kPathSize];
    int first = snprintf(skip_paths, kPathSize, "%s/%s", install_dir, protocol::kStagedDirName);
    int second = snprintf(skip_paths + kPathSize, kPathSize, "%s/%s", install_dir, protocol::kPatchDirName);
    if (first < 0 || second < 0 || static_cast<size_t>(second) >= kPathSize) {
      // Cut short, the paths to leave out would not match, and the copy would copy itself.
      LOG("DoUpdate: path too long: %s/updates/0", install_dir);
      return result::kWriteError;
    }
    rv = ensure_copy_recursive(install_dir, working_dir, skip_paths);
    if (rv != result::kOk) return rv;
  }

  rv = RunManifest();

  update_reader.Close();
  char updating[kPathSize];
  if (FormPath(updating, "%s/updating", working_dir)) {
    (void)ensure_remove_recursive(updating, false);
  }
  return rv;
}

// Records the outcome in the log and the status file and ends the progress window.
void ReportOutcome(int rv) {
  if (rv == result::kOk) {
    LOG("succeeded");
    (void)WriteStatus(staged_update ? protocol::kStatusApplied : protocol::kStatusSucceeded);
  } else if (replace_request && !getenv("KIV_NO_REPLACE_FALLBACK")) {
    // Fall back to an ordinary update on the application's next start: drop the staged copy and
    // keep the application from being launched now.
    if (RemovalEndangersInstallation(working_dir, install_dir)) {
      LOG("DoUpdate: not removing the working directory %s: it is the installation directory, "
          "contains it or is the root",
          working_dir);
    } else {
      (void)ensure_remove_recursive(working_dir, false);
    }
    (void)WriteStatus(protocol::kStatusPending);
    putenv(kProcessUpdatesEmpty);
  } else {
    LOG("failed: %d", rv);
    (void)WriteStatus(protocol::FailedStatus(rv).c_str());
  }
  // The outcome is on disk: the journal has done its work, unless the Finish pass left some of it.
  if (!keep_journal) JournalEnd();
  LOG("calling QuitProgressUI");
  QuitProgressUI();
}

}  // namespace

void DoUpdate() { ReportOutcome(replace_request ? ReplaceInstallation() : ApplyArchive()); }
