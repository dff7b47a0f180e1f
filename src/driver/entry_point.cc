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
#include "base/globals.h"
#include "base/paths.h"
#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "driver/do_update.h"
#include "driver/journal.h"
#include "driver/run_guard.h"
#include "driver/run_lock.h"
#include "driver/status_file.h"
#include "fileops/file_ops.h"
#include "progress/progress_ui.h"

namespace {

const char kUsage[] =
    "Usage: updater patch-dir install-dir apply-to-dir [wait-pid [callback-working-dir "
    "callback-path args...]]\n";

// putenv keeps these very strings in the environment, so they must live as long as the process.
char kOsUpdateEmpty[] = "KIV_OS_UPDATE=";
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
void OpenLog() {
  if (!replace_request) {
    UpdateLogger::Instance().OpenFile(patch_dir, protocol::kLogName, nullptr, true);
    return;
  }
  // A replace request logs into the staged copy, which becomes the installation.
  char log_dir[kPathSize];
  int n = snprintf(log_dir, sizeof(log_dir), "%s/%s", install_dir, protocol::kStagedLogDir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(log_dir)) return;  // run without a log
  UpdateLogger::Instance().OpenFile(log_dir, protocol::kReplaceLogName, protocol::kLogName, true);
}

// Ends a run before anything is touched, with "failed: <code>".
int RefuseRun(int code = result::kWriteError) {
  (void)WriteStatus(protocol::FailedStatus(code).c_str());
  return 1;
}

void *RunWorker(void *) {
  DoUpdate();
  return nullptr;
}

// What the command line says beyond the globals.
struct RunArguments {
  int pid = 0;           // the process to wait for, when greater than 0
  bool install_fits = true;  // install-dir did not have to be cut
  bool working_fits = true;  // apply-to-dir did not have to be cut
};

// Fills the globals from the command line (at least the three directories) and the environment.
RunArguments ReadArguments(int argc, char **argv) {
  RunArguments args;
  patch_dir = argv[1];
  args.install_fits = CopyDirArgument(install_dir, argv[2]);
  if (argc >= 5) {
    args.pid = atoi(argv[4]);
    if (args.pid == -1) {
      staged_update = true;
    } else if (strstr(argv[4], "/replace")) {
      replace_request = true;
    }
  }
  args.working_fits = CopyDirArgument(working_dir, argv[3]);
  if (getenv("KIV_OS_UPDATE")) {
    os_update = true;
    putenv(kOsUpdateEmpty);
  }
  JournalSetPaths();
  return args;
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
bool LockRun() {
  const char *held = "";
  if (AcquireRunLocks(&held)) return true;
  fprintf(stderr, "updater: another update is running (%s is locked); nothing was changed\n",
          held);
  return false;
}

// Empties the log (outside a replace request), records "applying" and logs the run's header. False when the status cannot be
// written.
bool StartRecord() {
  if (!replace_request) UpdateLogger::Instance().Truncate();
  if (!WriteStatus(protocol::kStatusApplying)) {
    LOG("failed setting status to 'applying'");
    return false;
  }
  if (staged_update) {
    LOG("Performing a staged update");
  } else if (replace_request) {
    LOG("Performing a replace request");
  }
  LOG("PATCH DIRECTORY %s", patch_dir);
  LOG("INSTALLATION DIRECTORY %s", install_dir);
  LOG("WORKING DIRECTORY %s", working_dir);
  return true;
}

// Input that would make the run act on the wrong directories. True when the run is refused (the
// status says so).
bool RefuseInput(const RunArguments &args) {
  // A cut directory could name another, existing directory, which the update would then change,
  // move or remove. Every mode uses the installation directory as a path: the trusted keys are
  // read below it, the run's lock is taken on its parent, and recovery may put it back.
  if (!args.install_fits || !args.working_fits) {
    LOG("Refusing the update: install-dir or apply-to-dir is longer than 1023 bytes");
    return true;
  }
  if (staged_update && RemovalEndangersInstallation(working_dir, install_dir)) {
    LOG("Refusing the staged update: the working directory %s is the installation directory, "
        "contains it or is the root",
        working_dir);
    return true;
  }
  return false;
}

// How the recovery of a killed run ended.
enum class Recovery { kProceed, kCompleted, kFailed };

// Recovers what a killed run left, before this run changes anything. When the killed run was this
// very update and had committed, its outcome is recorded here and no update runs.
Recovery RecoverFirst() {
  bool completed = false;
  int rv = RecoverInterruptedRun(&completed);
  if (rv != result::kOk) {
    LOG("failed: %d", rv);
    (void)RefuseRun(rv);
    return Recovery::kFailed;
  }
  if (!completed) return Recovery::kProceed;
  LOG("succeeded");
  (void)WriteStatus(staged_update ? protocol::kStatusApplied : protocol::kStatusSucceeded);
  JournalEnd();
  update_succeeded = true;
  return Recovery::kCompleted;
}

// Enters the working directory (cleared first for a staged
// update). False when the working directory can be neither entered nor made.
bool PrepareWorkingDir() {
  if (staged_update) (void)ensure_remove_recursive(working_dir, false);
  if (!replace_request && chdir(working_dir) != 0) {
    if (mkdir(working_dir, 0755) != 0 || chdir(working_dir) != 0) return false;
  }
  return true;
}

// Runs the update on the worker thread, with the progress window on this one for an in-place
// update.
void RunUpdate() {
  pthread_t worker;
  bool started = pthread_create(&worker, nullptr, RunWorker, nullptr) == 0;
  if (started && !staged_update && !replace_request) (void)RunProgressUI();
  if (started) pthread_join(worker, nullptr);
}

// Closes the log and hands the process to the callback, if the command line names one and the
// update has not asked otherwise. Returns the exit code when no callback replaces the process.
int EndRun(int argc, char **argv) {
  if (argc >= 7 && !getenv("KIV_PROCESS_UPDATES")) {
    putenv(kNoEmRestartEmpty);
    putenv(kLaunchedChild);
    if (chdir(argv[5]) != 0) LOG("Warning: chdir failed");
    UpdateLogger::Instance().CloseFile();
    execv(argv[6], argv + 6);
  } else {
    UpdateLogger::Instance().CloseFile();
  }
  return update_succeeded ? 0 : 1;
}

}  // namespace

int UpdaterMain(int argc, char **argv) {
  (void)SetupProgressUI(&argc, &argv);
  if (argc <= 3) {
    fputs(kUsage, stderr);
    return 1;
  }
  RunArguments args = ReadArguments(argc, argv);
  if (!PatchDirIsPrivate(patch_dir)) return 1;
  OpenLog();
  if (!LockRun()) return 1;
  if (!StartRecord()) return 1;
  if (RefuseInput(args)) return RefuseRun();

  if (args.pid > 0) (void)waitpid(args.pid, nullptr, 0);
  Recovery recovery = RecoverFirst();
  if (recovery == Recovery::kFailed) return 1;
  if (recovery == Recovery::kProceed) {
    if (!PrepareWorkingDir()) return 1;
    RunUpdate();
  }
  return EndRun(argc, argv);
}
