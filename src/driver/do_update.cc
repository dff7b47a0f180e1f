#include "driver/do_update.h"

#include <cstdio>
#include <cstdlib>

#include "actions/action.h"
#include "actions/decode_plan.h"
#include "actions/manifest.h"
#include "archive/decode_ahead.h"
#include "archive/upk_reader.h"
#include "base/globals.h"
#include "base/result.h"
#include "driver/run_guard.h"
#include "driver/status_file.h"
#include "base/update_log.h"
#include "fileops/file_ops.h"
#include "fileops/recursive_copy.h"
#include "progress/progress_state.h"

namespace {

constexpr size_t kPathSize = 1024;

// Present with an empty value, it tells the entry point to launch no callback.
char kProcessUpdatesEmpty[] = "KIV_PROCESS_UPDATES=";

// Formats into a path buffer; false when the result does not fit (a cut path could name another,
// existing directory, and the moves and removals below would then act on that one).
template <typename... Args>
bool FormPath(char (&out)[kPathSize], const char *format, Args... args) {
  int n = snprintf(out, sizeof(out), format, args...);
  return n >= 0 && static_cast<size_t>(n) < sizeof(out);
}

// Swaps the staged copy "<install_dir>.bak/updated" into the installation's place by two renames,
// moving the installation back when the second one fails. Returns the first failing move's code.
int ReplaceInstallation() {
  char tmp_dir[kPathSize];
  char new_dir[kPathSize];
  if (!FormPath(tmp_dir, "%s.bak", install_dir) ||
      !FormPath(new_dir, "%s.bak/updated", install_dir)) {
    LOG("DoUpdate: path too long: %s.bak/updated", install_dir);
    return result::kWriteError;
  }

  (void)ensure_remove_recursive(tmp_dir, false);
  LOG("Begin moving destDir (%s) to tmpDir (%s)", install_dir, tmp_dir);
  int rv = rename_file(install_dir, tmp_dir, true);
  if (rv != result::kOk) {
    LOG("Moving destDir to tmpDir failed, err: %d", rv);
    return rv;
  }

  LOG("Begin moving newDir (%s) to destDir (%s)", new_dir, install_dir);
  rv = rename_file(new_dir, install_dir, true);
  if (rv != result::kOk) {
    LOG("Moving newDir to destDir failed, err: %d", rv);
    LOG("Now, try to move tmpDir back to destDir");
    (void)ensure_remove_recursive(install_dir, false);
    int back = rename_file(tmp_dir, install_dir, true);
    if (back != result::kOk) LOG("Moving tmpDir back to destDir failed, err: %d", back);
    return rv;
  }

  LOG("Now, remove the tmpDir");
  int removed = ensure_remove_recursive(tmp_dir, true);
  if (removed != 0) LOG("Removing tmpDir failed, err: %d", removed);
  update_succeeded = true;
  return result::kOk;
}

// Extracts the manifest into the "updating" folder of the working directory, parses it and runs
// the three passes. Returns the update's result.
int RunManifest() {
  char manifest[kPathSize];
  if (!FormPath(manifest, "%s/updating/update.manifest", working_dir)) {
    LOG("DoUpdate: path too long: %s/updating/update.manifest", working_dir);
    return result::kWriteError;
  }
  (void)ensure_parent_dir(manifest);

  int rv = update_reader.ExtractToFile("updatev3.manifest", manifest);
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
  if (rv == result::kOk) {
    // Decoding ahead: worker threads decompress the members that the two passes will extract.
    (void)StartDecodeAhead(list, update_reader.archive(), ExtractThreadCount());
    rv = list.Prepare();
    if (rv == result::kOk) {
      rv = list.Execute();
      decode_ahead.Stop();
      list.Finish(rv);
    }
    decode_ahead.Stop();
  }
  list.Destroy();
  return rv;
}

// An in-place or staged update from "<patch_dir>/update.upk".
int ApplyArchive() {
  char archive[kPathSize];
  if (!FormPath(archive, "%s/update.upk", patch_dir)) {
    LOG("DoUpdate: path too long: %s/update.upk", patch_dir);
    return result::kReadError;
  }
  int rv = update_reader.Open(archive);
  if (rv != result::kOk) return rv;

  if (staged_update && !os_update) {
    // Two paths of one block, the second 1024 bytes after the first, as the copy expects them.
    char skip_paths[2 * kPathSize];
    int first = snprintf(skip_paths, kPathSize, "%s/%s", install_dir, "updated");
    int second = snprintf(skip_paths + kPathSize, kPathSize, "%s/%s", install_dir, "updates/0");
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
    (void)WriteStatus(staged_update ? "applied\n" : "succeeded\n");
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
    (void)WriteStatus("pending");
    putenv(kProcessUpdatesEmpty);
  } else {
    LOG("failed: %d", rv);
    char status[32];
    snprintf(status, sizeof(status), "failed: %d\n", rv);
    (void)WriteStatus(status);
  }
  LOG("calling QuitProgressUI");
  QuitProgressUI();
}

}  // namespace

void DoUpdate() { ReportOutcome(replace_request ? ReplaceInstallation() : ApplyArchive()); }
