#include "driver/entry_point.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/globals.h"
#include "base/paths.h"
#include "base/result.h"
#include "base/update_log.h"
#include "driver/do_update.h"
#include "driver/run_guard.h"
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

void OpenLog() {
  if (!replace_request) {
    UpdateLogger::Instance().OpenFile(patch_dir, "update.log", nullptr, false);
    return;
  }
  // A replace request logs into the staged copy, which becomes the installation.
  char log_dir[kPathSize];
  int n = snprintf(log_dir, sizeof(log_dir), "%s/updated/updates", install_dir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(log_dir)) return;  // run without a log
  UpdateLogger::Instance().OpenFile(log_dir, "last-update.log", "update.log", true);
}

// Ends a run whose input would make it act on the wrong directories, before anything is touched.
int RefuseRun() {
  char status[32];
  snprintf(status, sizeof(status), "failed: %d\n", result::kWriteError);
  (void)WriteStatus(status);
  return 1;
}

void *RunWorker(void *) {
  DoUpdate();
  return nullptr;
}

}  // namespace

int UpdaterMain(int argc, char **argv) {
  (void)SetupProgressUI(&argc, &argv);
  if (argc <= 3) {
    fputs(kUsage, stderr);
    return 1;
  }

  patch_dir = argv[1];
  bool install_fits = CopyDirArgument(install_dir, argv[2]);
  int pid = 0;
  if (argc >= 5) {
    pid = atoi(argv[4]);
    if (pid == -1) {
      staged_update = true;
    } else if (strstr(argv[4], "/replace")) {
      replace_request = true;
    }
  }
  bool working_fits = CopyDirArgument(working_dir, argv[3]);
  if (getenv("KIV_OS_UPDATE")) {
    os_update = true;
    putenv(kOsUpdateEmpty);
  }

  OpenLog();
  if (!WriteStatus("applying")) {
    LOG("failed setting status to 'applying'");
    return 1;
  }
  if (staged_update) {
    LOG("Performing a staged update");
  } else if (replace_request) {
    LOG("Performing a replace request");
  }
  LOG("PATCH DIRECTORY %s", patch_dir);
  LOG("INSTALLATION DIRECTORY %s", install_dir);
  LOG("WORKING DIRECTORY %s", working_dir);

  // A cut directory could name another, existing directory, which the update would then change,
  // move or remove. An in-place run only logs the installation directory, so its length is no
  // matter there.
  if ((!install_fits && (staged_update || replace_request)) || !working_fits) {
    LOG("Refusing the update: install-dir or apply-to-dir is longer than 1023 bytes");
    return RefuseRun();
  }
  if (staged_update && RemovalEndangersInstallation(working_dir, install_dir)) {
    LOG("Refusing the staged update: the working directory %s is the installation directory, "
        "contains it or is the root",
        working_dir);
    return RefuseRun();
  }

  if (pid > 0) (void)waitpid(pid, nullptr, 0);
  if (staged_update) (void)ensure_remove_recursive(working_dir, false);
  if (!replace_request && chdir(working_dir) != 0) {
    if (mkdir(working_dir, 0755) != 0 || chdir(working_dir) != 0) return 1;
  }

  pthread_t worker;
  bool started = pthread_create(&worker, nullptr, RunWorker, nullptr) == 0;
  if (started && !staged_update && !replace_request) (void)RunProgressUI();
  if (started) pthread_join(worker, nullptr);

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
