// SPDX-License-Identifier: MIT
#include "driver/swap.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "base/paths.h"
#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "driver/journal.h"
#include "fileops/file_ops.h"

namespace {

bool Lexists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The two-step swap for file systems that cannot exchange: the installation moves to tmpDir and the
// staged copy, now "<install_dir>.bak/updated", into its place; the installation moves back when
// the second move fails. Between the moves the installation's path is missing; a run killed there
// is repaired by the next run's recovery. Returns the first failing move's code.
int MoveInTwoSteps(const char *install_dir, const char *tmp_dir, char *new_dir, bool announced) {
  char destination[kPathSize];
  snprintf(destination, sizeof(destination), "%s", tmp_dir);
  char install[kPathSize];
  snprintf(install, sizeof(install), "%s", install_dir);
  int rv = rename_file(install_dir, destination, true);
  if (rv != result::kOk) {
    LOG("Moving destDir to tmpDir failed, err: %d", rv);
    return rv;
  }

  if (!announced) LOG("Begin moving newDir (%s) to destDir (%s)", new_dir, install_dir);
  rv = rename_file(new_dir, install, true);
  if (rv != result::kOk) {
    LOG("Moving newDir to destDir failed, err: %d", rv);
    LOG("Now, try to move tmpDir back to destDir");
    (void)ensure_remove_recursive(install_dir, false);
    int back = rename_file(tmp_dir, install, true);
    if (back != result::kOk) LOG("Moving tmpDir back to destDir failed, err: %d", back);
  }
  return rv;
}

// The kept old installation's path, "<install_dir>.previous".
std::string PreviousPath(const std::string &install_dir) {
  return install_dir + protocol::kPreviousSuffix;
}

// Moves the old installation `old_dir` (at "<install_dir>.bak/updated" after an exchange, or the
// whole "<install_dir>.bak" after two moves) to "<install_dir>.previous", over what lies there.
// Logs a failure; the caller then removes the old installation as without the request.
bool KeepPrevious(const std::string &install_dir, const std::string &old_dir) {
  const std::string previous = PreviousPath(install_dir);
  LOG("Confirm: keeping the previous installation at %s", previous.c_str());
  if (Lexists(previous)) (void)ensure_remove_recursive(previous.c_str(), false);
  if (rename(old_dir.c_str(), previous.c_str()) != 0) {
    LOG("Confirm: keeping the previous installation failed, err: %d; it is removed", errno);
    return false;
  }
  return true;
}

}  // namespace

int ReplaceInstallation(const char *install_dir, bool keep_previous, Journal *journal) {
  char tmp_dir[kPathSize];
  char new_dir[kPathSize];
  char staged_dir[kPathSize];
  if (!FormPath(tmp_dir, "%s%s", install_dir, protocol::kSetAsideSuffix) ||
      !FormPath(new_dir, "%s%s/%s", install_dir, protocol::kSetAsideSuffix,
                protocol::kStagedDirName) ||
      !FormPath(staged_dir, "%s/%s", install_dir, protocol::kStagedDirName)) {
    LOG("DoUpdate: path too long: %s.bak/updated", install_dir);
    return result::kWriteError;
  }
  char install[kPathSize];
  snprintf(install, sizeof(install), "%s", install_dir);

  (void)ensure_remove_recursive(tmp_dir, false);
  const std::string previous = PreviousPath(install_dir);
  if (keep_previous && Lexists(previous)) {
    // A kept installation of an earlier update that its client no longer wants.
    LOG("Confirm: removing the earlier previous installation %s", previous.c_str());
    (void)ensure_remove_recursive(previous.c_str(), false);
  }
  LOG("Begin moving destDir (%s) to tmpDir (%s)", install_dir, tmp_dir);
  struct stat staged;
  int rv = result::kOk;
  bool exchanged = false;
  bool announced = false;  // "Begin moving newDir ..." is logged
  if (lstat(staged_dir, &staged) == 0 && S_ISDIR(staged.st_mode)) {
    rv = journal->BeginReplace(install_dir, staged.st_dev, staged.st_ino);
    if (rv == result::kOk) rv = rename_file(staged_dir, new_dir, true);
    if (rv != result::kOk) {
      (void)rmdir(tmp_dir);
      return rv;
    }
    LOG("Begin moving newDir (%s) to destDir (%s)", new_dir, install_dir);
    announced = true;
    bool unsupported = false;
    rv = exchange_file(new_dir, install, &unsupported);
    // The exchange is on disk before the status can say so; when it cannot be flushed it is undone.
    if (rv == result::kOk &&
        flush_dir(ParentDirectory(std::string(install_dir)).c_str()) != result::kOk) {
      bool again = false;
      rv = result::kWriteError;
      if (exchange_file(new_dir, install, &again) != result::kOk) rv = result::kOk;
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
    rv = MoveInTwoSteps(install_dir, tmp_dir, new_dir, announced);
    if (rv != result::kOk) return rv;
  }
  // After an exchange the old installation is newDir; after two moves it is tmpDir itself.
  const std::string old_dir = exchanged ? new_dir : tmp_dir;
  journal->FollowExchange(install_dir, old_dir);
  if (keep_previous) (void)KeepPrevious(install_dir, old_dir);

  LOG("Now, remove the tmpDir");
  int removed = Lexists(tmp_dir) || !keep_previous ? ensure_remove_recursive(tmp_dir, true) : 0;
  if (removed != 0) LOG("Removing tmpDir failed, err: %d", removed);
  // The old installation is gone from the disk too before the status says so.
  (void)flush_dir(ParentDirectory(std::string(install_dir)).c_str());
  return result::kOk;
}

bool IsStagedCopy(const std::string &path, const std::string &staged) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  char text[80];
  snprintf(text, sizeof(text), "%ju %ju", static_cast<uintmax_t>(st.st_dev),
           static_cast<uintmax_t>(st.st_ino));
  return staged == text;
}

int RecoverSwap(const std::string &install_dir, const std::string &staged, bool keep_previous,
                bool *exchanged) {
  const std::string tmp_dir = install_dir + protocol::kSetAsideSuffix;
  const std::string set_aside = tmp_dir + "/" + protocol::kStagedDirName;
  *exchanged = IsStagedCopy(install_dir, staged);
  int rv = result::kOk;
  if (*exchanged) {
    LOG("Recovery: the staged copy is in place; removing %s", tmp_dir.c_str());
    // The old installation is newDir after an exchange; a tmpDir that is not empty without it is
    // the old installation after two moves; an empty one is all that is left after the keeping.
    if (keep_previous && Lexists(set_aside)) {
      (void)KeepPrevious(install_dir, set_aside);
    } else if (keep_previous && Lexists(tmp_dir) && rmdir(tmp_dir.c_str()) != 0) {
      (void)KeepPrevious(install_dir, tmp_dir);
    }
    if (Lexists(tmp_dir)) (void)ensure_remove_recursive(tmp_dir.c_str(), false);
  } else if (IsStagedCopy(set_aside, staged)) {
    LOG("Recovery: moving the staged copy back into %s", install_dir.c_str());
    std::string destination = install_dir + "/" + protocol::kStagedDirName;
    rv = rename_file(set_aside.c_str(), destination.data(), true);
    if (rv == result::kOk && Lexists(tmp_dir))
      (void)ensure_remove_recursive(tmp_dir.c_str(), false);
  }
  if (rv == result::kOk) rv = flush_dir(ParentDirectory(install_dir).c_str());
  if (rv == result::kOk && Lexists(install_dir)) rv = flush_dir(install_dir.c_str());
  return rv;
}

int RepairMissingInstallation(const char *install_dir) {
  if (install_dir[0] == '\0') return result::kOk;
  char tmp_dir[kPathSize];
  if (!FormPath(tmp_dir, "%s%s", install_dir, protocol::kSetAsideSuffix)) return result::kOk;
  struct stat st;
  if (lstat(install_dir, &st) == 0) return result::kOk;
  if (errno != ENOENT && errno != ENOTDIR) return result::kOk;
  if (!Lexists(tmp_dir)) return result::kOk;
  LOG("Recovery: the installation %s is missing; moving %s back", install_dir, tmp_dir);
  char destination[kPathSize];
  snprintf(destination, sizeof(destination), "%s", install_dir);
  int rv = rename_file(tmp_dir, destination, true);
  if (rv == result::kOk) rv = flush_dir(ParentDirectory(std::string(install_dir)).c_str());
  return rv;
}
