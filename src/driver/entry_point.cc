// SPDX-License-Identifier: MIT
#include "driver/entry_point.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/folder_trust.h"
#include "base/paths.h"
#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "base/version.h"
#include "driver/do_update.h"
#include "driver/journal.h"
#include "driver/run_config.h"
#include "driver/run_guard.h"
#include "driver/run_lock.h"
#include "driver/status_file.h"
#include "fileops/file_ops.h"
#include "progress/progress_ui.h"

namespace {

const char kUsage[] =
    "Usage: updater patch-dir install-dir apply-to-dir [wait-pid [callback-working-dir "
    "callback-path args...]]\n";

const char kHelp[] =
    "Applies the update archive patch-dir/update.upk to an installed application.\n"
    "\n"
    "  patch-dir             folder of update.upk; receives update.status, update.log and the\n"
    "                        journal update.journal\n"
    "  install-dir           the installation (its update-keys/ hold the trusted public keys)\n"
    "  apply-to-dir          the folder to update: install-dir for an in-place update, the\n"
    "                        staged copy for a staged one\n"
    "  wait-pid              a process to wait for first; -1 makes a staged update (install-dir\n"
    "                        is copied into apply-to-dir, which is then updated); a value with\n"
    "                        \"/replace\" swaps install-dir/updated into install-dir's place\n"
    "  callback-working-dir callback-path args...\n"
    "                        the program to start when the run is over\n"
    "\n"
    "The three folders must be absolute paths. update.status reads \"applying\" while the run\n"
    "works, then \"succeeded\", \"applied\" (staged), \"pending\" (a failed replace request) or\n"
    "\"failed: N\" (N: a result code, see docs/result-codes.md). Exit status: 0 when the update\n"
    "succeeded, 1 otherwise.\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n";

// putenv keeps these very strings in the environment, so they must live as long as the process.
char kOsUpdateEmpty[] = "KIV_OS_UPDATE=";
char kKeepPreviousEmpty[] = "KIV_KEEP_PREVIOUS=";
char kNoEmRestartEmpty[] = "NO_EM_RESTART=";
char kLaunchedChild[] = "KIV_LAUNCHED_CHILD=1";

// Copies a directory argument into a path buffer without one trailing '/'. Returns false when the
// argument, measured without that '/', does not fit; the buffer then holds it cut to 1023 bytes
// (and without a '/' that ends the cut text), which is only fit for the log.
bool CopyDirArgument(char (&out)[kPathSize], const char *arg) {
  size_t length = strlen(arg);
  if (length > 0 && arg[length - 1] == '/') --length;
  if (length < sizeof(out)) {
    memcpy(out, arg, length);
    out[length] = '\0';
    return true;
  }
  snprintf(out, sizeof(out), "%s", arg);
  char *slash = strrchr(out, '/');
  if (slash && slash[1] == '\0') *slash = '\0';
  return false;
}

// Opens the log without changing it: appending, as the replace request's log always is. The other
// modes empty it once the run holds its lock (StartRecord).
void OpenLog(const RunConfig &config) {
  if (!config.replace_request) {
    UpdateLogger::Instance().OpenFile(config.patch_dir, protocol::kLogName, nullptr, true);
    return;
  }
  // A replace request logs into the staged copy, which becomes the installation.
  char log_dir[kPathSize];
  if (!FormPath(log_dir, "%s/%s", config.install_dir, protocol::kStagedLogDir)) return;
  UpdateLogger::Instance().OpenFile(log_dir, protocol::kReplaceLogName, protocol::kLogName, true);
}

// Ends a run before anything is touched, with "failed: <code>".
int RefuseRun(const RunConfig &config, int code = result::kWriteError) {
  (void)WriteStatus(config.patch_dir, protocol::FailedStatus(code).c_str());
  return 1;
}

// A patch folder that someone else may write could hand the run a planted archive or state file:
// it is refused before anything is read from it or written to it.
bool PatchDirIsPrivate(const char *dir) {
  std::string why;
  if (FolderIsPrivate(dir, &why)) return true;
  fprintf(stderr, "updater: refusing the patch directory %s: %s; nothing was changed\n", dir,
          why.c_str());
  return false;
}

// One update at a time: a run that finds another one at work says so and touches nothing.
bool LockRun(const RunConfig &config) {
  const char *held = "";
  if (AcquireRunLocks(config.patch_dir, config.install_dir, &held)) return true;
  fprintf(stderr, "updater: another update is running (%s is locked); nothing was changed\n", held);
  return false;
}

// Empties the log (outside a replace request), records "applying" and logs the run's header. False
// when the status cannot be written.
bool StartRecord(const RunConfig &config) {
  if (!config.replace_request) UpdateLogger::Instance().Truncate();
  if (!WriteStatus(config.patch_dir, protocol::kStatusApplying)) {
    LOG("failed setting status to 'applying'");
    return false;
  }
  if (config.staged_update) {
    LOG("Performing a staged update");
  } else if (config.replace_request) {
    LOG("Performing a replace request");
  }
  LOG("PATCH DIRECTORY %s", config.patch_dir);
  LOG("INSTALLATION DIRECTORY %s", config.install_dir);
  LOG("WORKING DIRECTORY %s", config.working_dir);
  return true;
}

// Command-line input that names no usable folder: refused before anything is written, with a line
// on standard error. A relative folder would be read against whatever directory the run is in when
// it uses it (the run changes into the working directory), and an installation that is not a
// folder cannot hold keys or be copied.
bool RefuseArguments(int argc, char **argv) {
  static const char *const kNames[] = {"patch-dir", "install-dir", "apply-to-dir"};
  for (int i = 1; i <= 3 && i < argc; ++i) {
    if (argv[i][0] != '/') {
      fprintf(stderr, "updater: %s must be an absolute path: %s; nothing was changed\n",
              kNames[i - 1], argv[i]);
      return true;
    }
  }
  struct stat st;
  if (stat(argv[2], &st) == 0 && !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "updater: install-dir is not a directory: %s; nothing was changed\n", argv[2]);
    return true;
  }
  return false;
}

// Input that would make the run act on the wrong directories. True when the run is refused (the
// status says so).
bool RefuseInput(const RunConfig &config) {
  // A cut directory could name another, existing directory, which the update would then change,
  // move or remove. Every mode uses the installation directory as a path: the trusted keys are
  // read below it, the run's lock is taken on its parent, and recovery may put it back.
  if (!config.install_fits || !config.working_fits) {
    LOG("Refusing the update: install-dir or apply-to-dir is longer than 1023 bytes");
    return true;
  }
  if (config.staged_update &&
      RemovalEndangersInstallation(config.working_dir, config.install_dir)) {
    LOG("Refusing the staged update: the working directory %s is the installation directory, "
        "contains it or is the root",
        config.working_dir);
    return true;
  }
  return false;
}

// How the recovery of a killed run ended.
enum class Recovery { kProceed, kCompleted, kFailed };

// Recovers what a killed run left, before this run changes anything. When the killed run was this
// very update and had committed, its outcome is recorded here and no update runs.
Recovery RecoverFirst(const RunConfig &config, Journal *journal) {
  bool completed = false;
  const Journal::RunView view{config.working_dir, config.install_dir, config.staged_update,
                              config.replace_request, config.keep_previous};
  int rv = journal->Recover(view, &completed);
  if (rv != result::kOk) {
    LOG("failed: %d", rv);
    (void)RefuseRun(config, rv);
    return Recovery::kFailed;
  }
  if (!completed) return Recovery::kProceed;
  LOG("succeeded");
  (void)WriteStatus(config.patch_dir,
                    config.staged_update ? protocol::kStatusApplied : protocol::kStatusSucceeded);
  journal->End();
  return Recovery::kCompleted;
}

// Enters the working directory (cleared first for a staged update). False when the working
// directory can be neither entered nor made.
bool PrepareWorkingDir(const RunConfig &config) {
  if (config.staged_update) (void)ensure_remove_recursive(config.working_dir, false);
  if (!config.replace_request && chdir(config.working_dir) != 0) {
    if (mkdir(config.working_dir, 0755) != 0 || chdir(config.working_dir) != 0) return false;
  }
  return true;
}

struct WorkerArgs {
  const RunConfig *config;
  Journal *journal;
  UpdateOutcome outcome;
};

void *RunWorker(void *arg) {
  auto *work = static_cast<WorkerArgs *>(arg);
  work->outcome = DoUpdate(*work->config, work->journal);
  return nullptr;
}

// Runs the update on the worker thread, with the progress window on this one for an in-place
// update. Returns the update's outcome (a failed one when no thread can be started).
UpdateOutcome RunUpdate(const RunConfig &config, Journal *journal) {
  WorkerArgs work{&config, journal, UpdateOutcome{}};
  work.outcome.code = result::kSystemFailure;
  pthread_t worker;
  bool started = pthread_create(&worker, nullptr, RunWorker, &work) == 0;
  if (started && !config.staged_update && !config.replace_request) (void)RunProgressUI();
  if (started) pthread_join(worker, nullptr);
  return work.outcome;
}

// Closes the log and hands the process to the callback, if the command line names one and neither
// the update nor the environment asks otherwise. Returns the exit code when no callback replaces
// the process.
int EndRun(int argc, char **argv, const UpdateOutcome &outcome) {
  if (argc >= 7 && outcome.launch_callback && !getenv("KIV_PROCESS_UPDATES")) {
    putenv(kNoEmRestartEmpty);
    putenv(kLaunchedChild);
    if (chdir(argv[5]) != 0) LOG("Warning: chdir failed");
    UpdateLogger::Instance().CloseFile();
    execv(argv[6], argv + 6);
  } else {
    UpdateLogger::Instance().CloseFile();
  }
  return outcome.update_succeeded ? 0 : 1;
}

}  // namespace

RunConfig ReadRunConfig(int argc, char **argv, bool signatures_required) {
  RunConfig config;
  config.signatures_required = signatures_required;
  config.patch_dir = argv[1];
  config.install_fits = CopyDirArgument(config.install_dir, argv[2]);
  if (argc >= 5) {
    config.wait_pid = atoi(argv[4]);
    if (config.wait_pid == -1) {
      config.staged_update = true;
    } else if (strstr(argv[4], "/replace")) {
      config.replace_request = true;
    }
  }
  config.working_fits = CopyDirArgument(config.working_dir, argv[3]);
  if (getenv("KIV_OS_UPDATE")) {
    config.os_update = true;
    putenv(kOsUpdateEmpty);
  }
  if (const char *keep = getenv(protocol::kKeepPreviousEnv)) {
    config.keep_previous = strcmp(keep, "1") == 0;
    putenv(kKeepPreviousEmpty);
  }
  return config;
}

int UpdaterMain(int argc, char **argv, bool signatures_required) {
  (void)SetupProgressUI(&argc, &argv);
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    fputs(kUsage, stdout);
    fputs(kHelp, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("updater %s\n", UPDATER_VERSION);
    return 0;
  }
  if (argc <= 3) {
    fputs(kUsage, stderr);
    return 1;
  }
  if (RefuseArguments(argc, argv)) return 1;
  const RunConfig config = ReadRunConfig(argc, argv, signatures_required);
  if (!PatchDirIsPrivate(config.patch_dir)) return 1;
  Journal journal(config.patch_dir);
  OpenLog(config);
  if (!LockRun(config)) return 1;
  if (!StartRecord(config)) return 1;
  if (RefuseInput(config)) return RefuseRun(config);

  if (config.wait_pid > 0) (void)waitpid(config.wait_pid, nullptr, 0);
  UpdateOutcome outcome;
  outcome.code = result::kOk;
  Recovery recovery = RecoverFirst(config, &journal);
  if (recovery == Recovery::kFailed) return 1;
  if (recovery == Recovery::kCompleted) {
    outcome.update_succeeded = true;
  } else {
    if (!PrepareWorkingDir(config)) return 1;
    outcome = RunUpdate(config, &journal);
  }
  return EndRun(argc, argv, outcome);
}
