// SPDX-License-Identifier: MIT
#include "driver/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "actions/action.h"
#include "base/durable_file.h"
#include "base/paths.h"
#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "driver/journal_format.h"
#include "driver/swap.h"
#include "fileops/file_ops.h"

namespace jf = journal_format;

namespace {

std::string Absolute(const char *path) {
  if (path[0] == '/') return path;
  char cwd[kPathSize];
  if (!getcwd(cwd, sizeof(cwd))) return path;
  return std::string(cwd) + "/" + path;
}

// Whether anything lies at `path` (a relative one resolved beneath the current directory).
bool Lexists(const std::string &path, int *error) {
  struct stat st;
  if (stat_path(path.c_str(), &st, false) == 0) return true;
  *error = errno == ENOENT || errno == ENOTDIR ? 0 : errno;
  return false;
}

// Flushes each directory of `dirs` below `base` that still exists.
int FlushDirectoriesBelow(const std::string &base, const std::vector<std::string> &dirs) {
  for (const std::string &dir : dirs) {
    std::string path = dir == "." ? base : base + "/" + dir;
    int error = 0;
    if (!Lexists(path, &error) && error == 0) continue;
    if (flush_dir(path.c_str()) != result::kOk) return result::kWriteError;
  }
  return result::kOk;
}

// The directory `path` names, links resolved; empty when it cannot be resolved.
std::string Resolved(const char *path) {
  char *real = realpath(path, nullptr);
  std::string out = real ? real : "";
  free(real);
  return out;
}

}  // namespace

// A journal's records, as read back.
struct Journal::Contents {
  std::string kind;  // jf::kUpdate or jf::kReplace
  std::string dir;
  std::string identity;
  std::vector<std::pair<std::string, std::string>> records;  // (keyword, path)
  bool committed = false;
};

Journal::Journal(const char *patch_dir)
    : journal_path_(Absolute(patch_dir) + "/" + protocol::kJournalName),
      archive_path_(Absolute(patch_dir) + "/" + protocol::kArchiveName) {}

std::string Journal::ArchiveIdentity() const {
  struct stat st;
  if (stat(archive_path_.c_str(), &st) != 0) return "";
  char text[160];
  snprintf(text, sizeof(text), "%ju %ju %jd %jd %ld", static_cast<uintmax_t>(st.st_dev),
           static_cast<uintmax_t>(st.st_ino), static_cast<intmax_t>(st.st_size),
           static_cast<intmax_t>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
  return text;
}

int Journal::Write(const std::string &text) {
  // Never through a link planted at the journal's name or at its temporary.
  if (replace_file_durably(journal_path_.c_str(), text.data(), text.size(), 0666, true) !=
      result::kOk) {
    LOG("journal: failed to write the journal: %s, err: %d", journal_path_.c_str(), errno);
    return result::kWriteError;
  }
  state_ = State::kWritten;
  return result::kOk;
}

int Journal::BeginUpdate(const ActionList &list, BackupSet *backups) {
  char cwd[kPathSize];
  if (!getcwd(cwd, sizeof(cwd))) {
    LOG("journal: unable to name the working directory, err: %d", errno);
    return result::kReadError;
  }
  std::string text = std::string(jf::kMagic) + "\n" + jf::Record(jf::kUpdate, cwd) + jf::kArchive +
                     " " + ArchiveIdentity() + "\n";
  std::set<std::string> seen;
  std::set<std::string> dirs = {"."};
  // Whether each folder met so far exists (1) or not (0): below a missing folder nothing exists,
  // so an update that adds many files to new folders checks each folder once.
  std::map<std::string, int> folders = {{".", 1}, {"/", 1}};
  std::function<int(const std::string &)> folder_state = [&](const std::string &dir) {
    auto known = folders.find(dir);
    if (known != folders.end()) return known->second;
    int state = folder_state(ParentDirectory(dir));
    if (state == 1) {
      int error = 0;
      state = Lexists(dir, &error) ? 1 : 0;
      if (error != 0) {
        LOG("journal: unable to check path: %s, err: %d", dir.c_str(), error);
        return -1;
      }
    }
    if (state == 0 && seen.insert(dir + "/").second) {
      // A missing folder above a path to add, which the add creates; recorded shallowest first.
      text += jf::Record(jf::kAbsentDir, dir);
      dirs.insert(dir);
      dirs.insert(ParentDirectory(dir));
    }
    return folders[dir] = state;
  };
  for (UpdateAction *action = list.head(); action; action = action->next) {
    if (const char *dir = action->RemovedDir()) {
      text += jf::Record(jf::kRmdir, dir);
      dirs.insert(ParentDirectory(dir));
    }
    const char *changed_path = action->ChangedPath();
    if (!changed_path || !seen.insert(changed_path).second) continue;
    const std::string path = changed_path;
    dirs.insert(ParentDirectory(path));
    int parent = folder_state(ParentDirectory(path));
    if (parent < 0) return result::kReadError;
    int error = 0;
    const bool present = parent == 1 && Lexists(path, &error);
    if (error != 0) {
      LOG("journal: unable to check path: %s, err: %d", path.c_str(), error);
      return result::kReadError;
    }
    text += jf::Record(present ? jf::kPresent : jf::kAbsent, path);
    backups->RecordBefore(path, present);
    if (parent == 0) continue;  // no backup can lie in a missing folder
    // Whatever lies at the backup name was not made by this run (the journal is not written yet)
    // and must never be taken for its backup.
    const std::string backup = path + protocol::kBackupSuffix;
    if (Lexists(backup, &error)) {
      LOG("journal: removing what lies at a backup name: %s", backup.c_str());
      if (ensure_remove_recursive(backup.c_str(), false) != 0) return result::kWriteError;
    } else if (error != 0) {
      LOG("journal: unable to check path: %s, err: %d", backup.c_str(), error);
      return result::kReadError;
    }
  }
  flush_dirs_.assign(dirs.begin(), dirs.end());
  return Write(text);
}

int Journal::Commit() {
  // One syncfs flushes what the update wrote: measured against one fsync per written file, it
  // costs less on every update measured, since the file system commits its journal once.
  if (flush_file_system(".") != result::kOk) return result::kWriteError;
  if (FlushDirectories() != result::kOk) return result::kWriteError;
  int fd = open(journal_path_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  const std::string line = std::string(jf::kCommit) + "\n";
  bool ok = fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
            fdatasync(fd) == 0;
  int error = errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    LOG("journal: failed to record the commit: %s, err: %d", journal_path_.c_str(), error);
    return result::kWriteError;
  }
  state_ = State::kCommitted;
  return result::kOk;
}

int Journal::FlushDirectories() const { return FlushDirectoriesBelow(".", flush_dirs_); }

int Journal::BeginReplace(const char *install_dir, dev_t staged_dev, ino_t staged_ino) {
  char identity[80];
  snprintf(identity, sizeof(identity), "%ju %ju", static_cast<uintmax_t>(staged_dev),
           static_cast<uintmax_t>(staged_ino));
  return Write(std::string(jf::kMagic) + "\n" + jf::Record(jf::kReplace, Absolute(install_dir)) +
               jf::kStaged + " " + identity + "\n");
}

std::string Journal::MovedPath(const std::string &install_dir, const std::string &old_dir) const {
  if (journal_path_.compare(0, install_dir.size() + 1, install_dir + "/") != 0) return "";
  return old_dir + journal_path_.substr(install_dir.size());
}

int Journal::MoveBack(const std::string &moved) {
  if (rename(moved.c_str(), journal_path_.c_str()) != 0) {
    LOG("journal: unable to move the journal from %s to %s, err: %d", moved.c_str(),
        journal_path_.c_str(), errno);
    return result::kWriteError;
  }
  if (flush_dir(ParentDirectory(journal_path_).c_str()) != result::kOk ||
      flush_dir(ParentDirectory(moved).c_str()) != result::kOk) {
    return result::kWriteError;
  }
  return result::kOk;
}

void Journal::FollowExchange(const char *install_dir, const std::string &old_dir) {
  if (state_ != State::kWritten) return;
  const std::string moved = MovedPath(Absolute(install_dir), old_dir);
  if (!moved.empty()) (void)MoveBack(moved);
}

void Journal::End() {
  if (state_ != State::kWritten && state_ != State::kCommitted) return;
  if (unlink(journal_path_.c_str()) != 0 && errno != ENOENT) {
    LOG("journal: failed to remove the journal: %s, err: %d", journal_path_.c_str(), errno);
    state_ = State::kKept;
    return;
  }
  state_ = State::kEnded;
  (void)flush_dir(ParentDirectory(journal_path_).c_str());
}

void Journal::Keep(const char *why) {
  if (state_ != State::kWritten && state_ != State::kCommitted) return;
  LOG("journal: kept: %s", why);
  state_ = State::kKept;
}

int Journal::Read(const std::string &path, Contents *contents, bool *found) {
  *found = false;
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return result::kOk;
    LOG("journal: unable to read the journal: %s, err: %d", path.c_str(), errno);
    *found = true;
    return result::kReadError;
  }
  *found = true;
  std::string text;
  bool read_ok = true;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      read_ok = false;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  auto refuse = [&path](const char *why) {
    LOG("journal: not a journal: %s (%s)", path.c_str(), why);
    return result::kReadError;
  };
  if (!read_ok) return refuse("unreadable");
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  // A cut last line is a commit being appended: it reads as no commit (the backups are all there).
  if (lines.size() < 2) return refuse("too short");
  const bool escaped = lines[0] == jf::kMagic;
  if (!escaped && lines[0] != jf::kMagicV1) return refuse("unknown version");
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t blank = lines[i].find(' ');
    std::string keyword = lines[i].substr(0, blank);
    std::string argument = blank == std::string::npos ? "" : lines[i].substr(blank + 1);
    std::string path = argument;
    if (escaped && !jf::Unescape(argument, &path)) return refuse("bad escape");
    if (i == 1) {
      if (keyword != jf::kUpdate && keyword != jf::kReplace) return refuse("unknown kind");
      if (path.empty() || path[0] != '/') return refuse("directory not absolute");
      contents->kind = keyword;
      contents->dir = path;
    } else if (i == 2 && (keyword == jf::kArchive || keyword == jf::kStaged)) {
      contents->identity = argument;
    } else if (keyword == jf::kCommit && blank == std::string::npos) {
      contents->committed = true;
    } else if (keyword == jf::kPresent || keyword == jf::kAbsent || keyword == jf::kAbsentDir ||
               keyword == jf::kRmdir) {
      if (contents->kind != jf::kUpdate || !jf::IsRecordPath(path)) return refuse("bad record");
      contents->records.emplace_back(keyword, path);
    } else {
      return refuse("unknown record");
    }
  }
  return result::kOk;
}

int Journal::RecoverUpdate(const Contents &j) {
  // Recovery works inside the recorded directory, as the update did: every record is resolved
  // beneath it from there (fileops/beneath.h), so that a link swapped into a parent folder after
  // the checks below cannot redirect an undo or a removal. The caller's working directory is
  // restored afterwards, since its paths may be relative to it.
  const int caller_dir = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int dir_fd = open(j.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (caller_dir < 0 || dir_fd < 0 || fchdir(dir_fd) != 0) {
    LOG("journal: unable to enter %s, err: %d", j.dir.c_str(), errno);
    if (caller_dir >= 0) close(caller_dir);
    if (dir_fd >= 0) close(dir_fd);
    return result::kReadError;
  }
  close(dir_fd);
  int rv = RecoverUpdateHere(j);
  if (fchdir(caller_dir) != 0) {
    LOG("journal: unable to return to the working directory, err: %d", errno);
    if (rv == result::kOk) rv = result::kReadError;
  }
  close(caller_dir);
  return rv;
}

int Journal::RecoverUpdateHere(const Contents &j) {
  int rv = result::kOk;
  auto keep = [&rv](int step) {
    if (rv == result::kOk) rv = step;
  };
  // The same undo as a failed run's Finish pass, driven by the journal's records.
  BackupSet backups;
  const BeneathCheck beneath;
  std::vector<std::string> dirs = {"."};
  for (const auto &[keyword, path] : j.records) {
    // Never through a link that leads out of the recovered directory.
    if (int rv = beneath.Check(path.c_str()); rv != result::kOk) return rv;
    dirs.push_back(ParentDirectory(path));
    if (keyword != jf::kPresent && keyword != jf::kAbsent) continue;
    backups.RecordBefore(path, keyword == jf::kPresent);
    backups.Adopt(path.c_str());
  }
  for (auto it = j.records.rbegin(); it != j.records.rend(); ++it) {
    const char *path = it->second.c_str();
    if (it->first == jf::kPresent || it->first == jf::kAbsent) {
      keep(j.committed ? backups.Drop(path) : backups.Undo(path, true));
    } else if (it->first == jf::kAbsentDir && !j.committed) {
      int error = 0;
      if (Lexists(path, &error) && ensure_remove(path) != 0) keep(result::kWriteError);
    }
  }
  // As a successful update's Finish, in list order (a folder after what it holds): a folder that
  // still holds something stays.
  for (const auto &[keyword, dir] : j.records) {
    if (keyword == jf::kRmdir && j.committed) (void)remove_dir(dir.c_str());
  }
  int error = 0;
  if (Lexists(protocol::kScratchDirName, &error))
    (void)ensure_remove_recursive(protocol::kScratchDirName, false);
  if (rv == result::kOk && flush_file_system(".") != result::kOk) rv = result::kWriteError;
  if (rv == result::kOk) rv = FlushDirectoriesBelow(".", dirs);
  return rv;
}

int Journal::FindMovedJournal(const RunView &run, Contents *contents, bool *found) {
  const std::string install = Absolute(run.install_dir);
  const std::string set_aside = install + protocol::kSetAsideSuffix;
  // The old installation: after an exchange ".bak/updated", after two moves ".bak", once kept
  // ".previous".
  for (const std::string &old_dir : {set_aside + "/" + protocol::kStagedDirName, set_aside,
                                     install + protocol::kPreviousSuffix}) {
    const std::string moved = MovedPath(install, old_dir);
    if (moved.empty()) return result::kOk;  // the patch directory does not move
    Contents candidate;
    bool exists = false;
    int error = 0;
    if (Read(moved, &candidate, &exists) != result::kOk || !exists) continue;
    // Only the journal of this installation's swap, done: an earlier swap's journal left in a kept
    // installation names the copy in place too, but then another staged copy waits.
    if (candidate.kind != jf::kReplace ||
        (candidate.dir != install && candidate.dir != Resolved(run.install_dir)) ||
        !IsStagedCopy(install, candidate.identity) ||
        Lexists(install + "/" + protocol::kStagedDirName, &error)) {
      continue;
    }
    LOG("journal: %s went with the old installation; moving it back to %s", moved.c_str(),
        journal_path_.c_str());
    if (MoveBack(moved) != result::kOk) return result::kWriteError;
    *contents = candidate;
    *found = true;
    return result::kOk;
  }
  return result::kOk;
}

int Journal::Recover(const RunView &run, bool *completed) {
  *completed = false;
  int rv = RepairMissingInstallation(run.install_dir);
  if (rv != result::kOk) return rv;
  Contents journal;
  bool found = false;
  rv = Read(journal_path_, &journal, &found);
  if (rv == result::kOk && !found) {
    rv = FindMovedJournal(run, &journal, &found);
    if (rv != result::kOk) return rv;  // logged; the journal stays where it is
  }
  if (found) state_ = journal.committed ? State::kCommitted : State::kWritten;
  if (rv != result::kOk) {
    Keep("it cannot be read; nothing was changed");
    return rv;
  }
  if (!found) return result::kOk;
  // Only a journal of this run's own directories is acted on: the working directory, or the
  // installation that a staged update copies, or the installation of a replace request.
  const std::string working = Resolved(run.working_dir);
  const std::string install = Resolved(run.install_dir);
  const bool ours = journal.kind == jf::kUpdate ? (!working.empty() && journal.dir == working) ||
                                                      (!install.empty() && journal.dir == install)
                                                : journal.dir == Absolute(run.install_dir) ||
                                                      (!install.empty() && journal.dir == install);
  if (!ours) {
    LOG("journal: %s was recorded for %s, not for this run's directories", journal_path_.c_str(),
        journal.dir.c_str());
    Keep("it belongs to another directory; nothing was changed");
    return result::kReadError;
  }
  if (journal.kind == jf::kUpdate) {
    LOG("Recovering an interrupted update of %s (%s)", journal.dir.c_str(),
        journal.committed ? "committed: finishing it" : "not committed: undoing it");
    rv = RecoverUpdate(journal);
    if (rv != result::kOk) {
      Keep("recovery failed; the next run tries again");
      return rv;
    }
    *completed = journal.committed && !run.staged_update && !run.replace_request &&
                 journal.dir == working && journal.identity == ArchiveIdentity();
  } else {
    LOG("Recovering an interrupted replace request of %s", journal.dir.c_str());
    bool exchanged = false;
    rv = RecoverSwap(journal.dir, journal.identity, run.keep_previous, &exchanged);
    if (rv != result::kOk) {
      Keep("recovery failed; the next run tries again");
      return rv;
    }
    *completed = exchanged && run.replace_request && journal.dir == Absolute(run.install_dir);
  }
  LOG("Recovery done");
  if (!*completed) End();
  return result::kOk;
}
