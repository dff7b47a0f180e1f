// SPDX-License-Identifier: MIT
#include "driver/do_update.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "actions/action.h"
#include "actions/decode_plan.h"
#include "actions/manifest.h"
#include "actions/update_context.h"
#include "archive/archive_check.h"
#include "archive/decode_ahead.h"
#include "archive/signature_check.h"
#include "archive/upk_reader.h"
#include "base/manifest_format.h"
#include "base/paths.h"
#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "driver/journal.h"
#include "driver/run_guard.h"
#include "driver/status_file.h"
#include "driver/swap.h"
#include "fileops/beneath.h"
#include "fileops/file_ops.h"
#include "fileops/recursive_copy.h"
#include "progress/progress_state.h"

namespace {

// Present with an empty value, it tells the entry point to launch no callback.
char kProcessUpdatesEmpty[] = "KIV_PROCESS_UPDATES=";

// Flushes the folders whose entries a staged update's Finish pass changed (the dropped backups and
// the removed folders), so that "applied\n" never vouches for a copy that still holds them.
void FlushFinishedFolders(const ActionList &list) {
  std::set<std::string> dirs = {"."};
  for (UpdateAction *action = list.head(); action; action = action->next) {
    if (const char *dir = action->RemovedDir()) dirs.insert(ParentDirectory(std::string(dir)));
    if (const char *path = action->ChangedPath()) dirs.insert(ParentDirectory(std::string(path)));
  }
  for (const std::string &dir : dirs) {
    struct stat st;
    if (stat_path(dir.c_str(), &st, false) == 0 && S_ISDIR(st.st_mode)) {
      (void)flush_dir(dir.c_str());
    }
  }
}

// The scratch folder and the manifest in it, as the operations name them: relative to the current
// directory, which is the working directory while the update runs, so that they are resolved
// beneath it. The log names them by their full paths.
constexpr char kScratchManifest[] = "updating/update.manifest";

// Extracts the manifest into the "updating" folder of the working directory, parses it and runs
// the three passes. Returns the update's result.
int RunManifest(const RunConfig &config, UpkReader *reader, Journal *journal, bool *succeeded) {
  char manifest[kPathSize];
  if (!FormPath(manifest, "%s/%s/update.manifest", config.working_dir, protocol::kScratchDirName)) {
    LOG("DoUpdate: path too long: %s/updating/update.manifest", config.working_dir);
    return result::kWriteError;
  }
  // The scratch folder is made fresh: a link or a file planted at its name is never written
  // through, and a folder left by an earlier run is removed first.
  char scratch[kPathSize];
  if (!FormPath(scratch, "%s/%s", config.working_dir, protocol::kScratchDirName)) {
    return result::kWriteError;  // shorter than the manifest's path, which fits
  }
  struct stat st;
  if (stat_path(protocol::kScratchDirName, &st, false) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      LOG("Link: %s is not a folder; refusing to write through it", scratch);
      return result::kWrongKind;
    }
    (void)ensure_remove_recursive(protocol::kScratchDirName, false, scratch);
  }
  if (mkdir(protocol::kScratchDirName, 0755) != 0 && errno != ENOENT) {
    LOG("Link: unable to create the scratch folder %s, err: %d", scratch, errno);
    return errno == EEXIST ? result::kWrongKind : result::kWriteError;
  }

  AtPath at;
  if (!at.Resolve(kScratchManifest, AtPath::kFollowLeaf)) return result::kWrongKind;
  int rv = reader->ExtractToFileAt(manifest::kManifestName, at.dir(), at.leaf(), at.leaf_flags());
  if (rv != result::kOk) {
    rv = reader->ExtractToFileAt("updatev2.manifest", at.dir(), at.leaf(), at.leaf_flags());
    if (rv != result::kOk) {
      LOG("DoUpdate: error extracting manifest file");
      return rv;
    }
  }

  // The texts outlive the list: every action points into them.
  ManifestTexts texts;
  char *text = texts.Keep(GetManifestContents(kScratchManifest, manifest));
  (void)remove_entry(kScratchManifest);
  if (!text) {
    LOG("DoUpdate: error opening manifest file: %s", manifest);
    return result::kReadError;
  }

  DecodeAhead ahead(reader);
  BackupSet backups;
  UpdateContext context;
  // The patch files go to the scratch folder of the current directory, resolved beneath it.
  context.working_dir = ".";
  context.os_update = config.os_update;
  context.members = &ahead;
  context.backups = &backups;
  ActionList list(&context);
  rv = ParseManifest(text, &list, &texts);
  // Decoding ahead: worker threads decompress the members that the two passes will extract.
  if (rv == result::kOk) {
    (void)StartDecodeAhead(list, reader->archive(), ExtractThreadCount(), &ahead);
  }
  if (rv == result::kOk) rv = list.Prepare();
  // An in-place update writes its journal before the first change; a staged one changes only its
  // own copy, which the next staged run rebuilds.
  if (rv == result::kOk && !config.staged_update) rv = journal->BeginUpdate(list, &backups);
  if (rv == result::kOk) {
    rv = list.Execute();
    ahead.Stop();
    // Nothing is declared done before it is on disk: the backups go only after the flush.
    if (rv == result::kOk) {
      rv = config.staged_update ? flush_tree(config.working_dir) : journal->Commit();
    }
    list.Finish(rv);
    // The dropped or restored backups reach the disk before the journal goes and before the
    // status is written. The update is decided by now: a failure here changes no outcome (a
    // backup that comes back after a power cut is one this run's successor removes).
    if (config.staged_update) {
      FlushFinishedFolders(list);
    } else {
      (void)journal->FlushDirectories();
    }
    // A backup that could not be put back (or dropped) leaves the journal in place, so that the
    // next run's recovery finishes what this one could not.
    if (!config.staged_update && backups.outstanding() > 0) {
      char why[160];
      snprintf(why, sizeof(why),
               "%zu backups could not be put back or dropped; the next run finishes the work",
               backups.outstanding());
      journal->Keep(why);
    }
  }
  ahead.Stop();
  list.Destroy();
  *succeeded = context.update_succeeded;
  return rv;
}

// Opens the update's archive through the installation's signature and product checks.
int OpenArchive(const RunConfig &config, const char *archive, UpkReader *reader) {
  return OpenCheckedArchive(config.install_dir, archive, config.signatures_required, reader);
}

// An in-place or staged update from "<patch_dir>/update.upk".
int ApplyArchive(const RunConfig &config, Journal *journal, bool *succeeded) {
  char archive[kPathSize];
  if (!FormPath(archive, "%s/%s", config.patch_dir, protocol::kArchiveName)) {
    LOG("DoUpdate: path too long: %s/update.upk", config.patch_dir);
    return result::kReadError;
  }
  UpkReader reader;
  int rv = OpenArchive(config, archive, &reader);
  if (rv != result::kOk) return rv;

  if (config.staged_update && !config.os_update) {
    // Two paths of one block, the second kPathSize bytes after the first, as the copy expects them.
    char skip_paths[2 * kPathSize];
    int first =
        snprintf(skip_paths, kPathSize, "%s/%s", config.install_dir, protocol::kStagedDirName);
    int second = snprintf(skip_paths + kPathSize, kPathSize, "%s/%s", config.install_dir,
                          protocol::kPatchDirName);
    if (first < 0 || second < 0 || static_cast<size_t>(second) >= kPathSize) {
      // Cut short, the paths to leave out would not match, and the copy would copy itself.
      LOG("DoUpdate: path too long: %s/updates/0", config.install_dir);
      return result::kWriteError;
    }
    rv = ensure_copy_recursive(config.install_dir, config.working_dir, skip_paths);
    if (rv != result::kOk) return rv;
  }

  rv = RunManifest(config, &reader, journal, succeeded);

  reader.Close();
  char updating[kPathSize];
  struct stat st;
  if (FormPath(updating, "%s/%s", config.working_dir, protocol::kScratchDirName) &&
      stat_path(protocol::kScratchDirName, &st, false) == 0 && S_ISDIR(st.st_mode)) {
    // Only the folder: a link or a file planted at the name, which the run refused, stays.
    (void)ensure_remove_recursive(protocol::kScratchDirName, false, updating);
    // The scratch folder's removal reaches the disk before the status says done.
    (void)flush_dir(config.working_dir);
  }
  return rv;
}

// Records the outcome in the log and the status file and ends the progress window.
void ReportOutcome(const RunConfig &config, Journal *journal, UpdateOutcome *outcome) {
  const int rv = outcome->code;
  if (rv == result::kOk) {
    LOG("succeeded");
    (void)WriteStatus(config.patch_dir,
                      config.staged_update ? protocol::kStatusApplied : protocol::kStatusSucceeded);
  } else if (config.replace_request && !getenv("KIV_NO_REPLACE_FALLBACK")) {
    // Fall back to an ordinary update on the application's next start: drop the staged copy and
    // keep the application from being launched now.
    if (RemovalEndangersInstallation(config.working_dir, config.install_dir)) {
      LOG("DoUpdate: not removing the working directory %s: it is the installation directory, "
          "contains it or is the root",
          config.working_dir);
    } else {
      (void)ensure_remove_recursive(config.working_dir, false);
    }
    (void)WriteStatus(config.patch_dir, protocol::kStatusPending);
    putenv(kProcessUpdatesEmpty);
    outcome->launch_callback = false;
  } else {
    LOG("failed: %d", rv);
    (void)WriteStatus(config.patch_dir, protocol::FailedStatus(rv).c_str());
  }
  // The outcome is on disk: the journal has done its work, unless the run kept it.
  journal->End();
  LOG("calling QuitProgressUI");
  QuitProgressUI();
}

}  // namespace

UpdateOutcome DoUpdate(const RunConfig &config, Journal *journal) {
  UpdateOutcome outcome;
  if (config.replace_request) {
    outcome.code = ReplaceInstallation(config.install_dir, config.keep_previous, journal);
    outcome.update_succeeded = outcome.code == result::kOk;
  } else {
    outcome.code = ApplyArchive(config, journal, &outcome.update_succeeded);
  }
  ReportOutcome(config, journal, &outcome);
  return outcome;
}
