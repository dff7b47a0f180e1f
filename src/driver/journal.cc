#include "driver/journal.h"

#include <dirent.h>
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
#include <string>
#include <vector>

#include "actions/action.h"
#include "base/durable_file.h"
#include "base/paths.h"
#include "base/globals.h"
#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "fileops/file_ops.h"

// Journal format, one record per line, paths relative to the directory named on the second line:
//   kiv-journal 1
//   update <working directory>            or   replace <installation directory>
//   archive <dev> <ino> <size> <mtime s> <mtime ns>   (update)
//   staged <dev> <ino>                                (replace: the staged copy)
//   present <path>      something lay at the path: its first backup holds it
//   absent <path>       nothing lay at the path: whatever is there now is the update's
//   absent-dir <path>   a missing folder that an add may create (shallowest first)
//   rmdir <path>        a folder that a successful update removes
//   commit              appended once everything the update wrote is on disk
// The journal is created by one atomic replace, so it is never seen torn; only the commit line is
// appended, and a cut commit line reads as no commit (the backups are all still there then).

namespace {

constexpr char kMagic[] = "kiv-journal 1";

std::string journal_path;
std::string archive_path;
bool journal_active = false;            // this run wrote or found a journal that is still there
std::vector<std::string> flush_dirs;   // directories whose entries the update changes
std::vector<std::string> changed;      // the paths the update may write

std::string Absolute(const char *path) {
  if (path[0] == '/') return path;
  char cwd[kPathSize];
  if (!getcwd(cwd, sizeof(cwd))) return path;
  return std::string(cwd) + "/" + path;
}

bool Lexists(const std::string &path, int *error) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) return true;
  *error = errno == ENOENT || errno == ENOTDIR ? 0 : errno;
  return false;
}

std::string ArchiveIdentity() {
  struct stat st;
  if (stat(archive_path.c_str(), &st) != 0) return "";
  char text[160];
  snprintf(text, sizeof(text), "%ju %ju %jd %jd %ld", static_cast<uintmax_t>(st.st_dev),
           static_cast<uintmax_t>(st.st_ino), static_cast<intmax_t>(st.st_size),
           static_cast<intmax_t>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
  return text;
}

int WriteJournal(const std::string &text) {
  if (replace_file_durably(journal_path.c_str(), text.data(), text.size()) != result::kOk) {
    LOG("journal: failed to write the journal: %s, err: %d", journal_path.c_str(), errno);
    return result::kWriteError;
  }
  journal_active = true;
  return result::kOk;
}

// Flushes each directory of `dirs` below `base` that still exists.
int FlushDirectories(const std::string &base, const std::vector<std::string> &dirs) {
  for (const std::string &dir : dirs) {
    std::string path = dir == "." ? base : base + "/" + dir;
    int error = 0;
    if (!Lexists(path, &error) && error == 0) continue;
    if (flush_dir(path.c_str()) != result::kOk) return result::kWriteError;
  }
  return result::kOk;
}

// Removes `path` and everything below it when it exists. Returns 0 or 7 (logged by the removal).
int RemoveIfPresent(const std::string &path) {
  int error = 0;
  if (!Lexists(path, &error) && error == 0) return result::kOk;
  return ensure_remove_recursive(path.c_str(), false) == 0 ? result::kOk : result::kWriteError;
}

// A journal's records, as read back.
struct Journal {
  std::string kind;  // "update" or "replace"
  std::string dir;
  std::string identity;
  std::vector<std::pair<std::string, std::string>> records;  // (keyword, argument)
  bool committed = false;
};

// Reads the journal. Returns 0 with `*found` false when there is none; 6 when it cannot be read or
// is not a journal.
int ReadJournal(Journal *journal, bool *found) {
  *found = false;
  FILE *file = fopen(journal_path.c_str(), "rb");
  if (!file) {
    if (errno == ENOENT) return result::kOk;
    LOG("journal: unable to read the journal: %s, err: %d", journal_path.c_str(), errno);
    return result::kReadError;
  }
  *found = true;
  std::vector<std::string> lines;
  std::string line;
  int c;
  while ((c = fgetc(file)) != EOF) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed || lines.size() < 2 || lines[0] != kMagic) {
    LOG("journal: not a journal: %s", journal_path.c_str());
    return result::kReadError;
  }
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t blank = lines[i].find(' ');
    std::string keyword = lines[i].substr(0, blank);
    std::string argument = blank == std::string::npos ? "" : lines[i].substr(blank + 1);
    if (i == 1) {
      journal->kind = keyword;
      journal->dir = argument;
    } else if (keyword == "archive" || keyword == "staged") {
      journal->identity = argument;
    } else if (keyword == "commit") {
      journal->committed = true;
    } else {
      journal->records.emplace_back(keyword, argument);
    }
  }
  if (journal->kind != "update" && journal->kind != "replace") {
    LOG("journal: not a journal: %s", journal_path.c_str());
    return result::kReadError;
  }
  return result::kOk;
}

// Undoes (or, when committed, finishes) an interrupted in-place update in `j.dir`.
int RecoverUpdate(const Journal &j) {
  int rv = result::kOk;
  auto keep = [&rv](int step) {
    if (rv == result::kOk) rv = step;
  };
  std::vector<std::string> dirs = {"."};
  for (const auto &[keyword, path] : j.records) dirs.push_back(ParentDirectory(path));
  for (auto it = j.records.rbegin(); it != j.records.rend(); ++it) {
    const std::string path = j.dir + "/" + it->second;
    const std::string backup = path + protocol::kBackupSuffix;
    int error = 0;
    if (it->first == "present" || it->first == "absent") {
      bool has_backup = Lexists(backup, &error);
      if (error != 0) {
        LOG("journal: unable to check path: %s, err: %d", backup.c_str(), error);
        keep(result::kReadError);
      } else if (j.committed || (has_backup && it->first == "absent")) {
        if (has_backup) keep(RemoveIfPresent(backup));
      } else if (has_backup) {
        // The whole path: the working directory and the entry may together pass kPathSize.
        std::string destination = path;
        if (Lexists(path, &error)) keep(RemoveIfPresent(path));
        keep(rename_file(backup.c_str(), destination.data(), false));
      }
      if (!j.committed && it->first == "absent") keep(RemoveIfPresent(path));
    } else if (it->first == "absent-dir" && !j.committed) {
      if (Lexists(path, &error) && ensure_remove(path.c_str()) != 0) keep(result::kWriteError);
    }
  }
  // As a successful update's Finish, in list order (a folder after what it holds): a folder that
  // still holds something stays.
  for (const auto &[keyword, dir] : j.records) {
    if (keyword == "rmdir" && j.committed) (void)rmdir((j.dir + "/" + dir).c_str());
  }
  (void)RemoveIfPresent(j.dir + "/updating");
  if (rv == result::kOk && flush_file_system(j.dir.c_str()) != result::kOk) rv = result::kWriteError;
  if (rv == result::kOk) rv = FlushDirectories(j.dir, dirs);
  return rv;
}

// Puts back, or finishes, an interrupted replace request of the installation `j.dir`.
int RecoverReplace(const Journal &j, bool *exchanged) {
  const std::string tmp_dir = j.dir + protocol::kSetAsideSuffix;
  const std::string set_aside = tmp_dir + "/updated";
  auto is_staged = [&j](const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    char text[80];
    snprintf(text, sizeof(text), "%ju %ju", static_cast<uintmax_t>(st.st_dev),
             static_cast<uintmax_t>(st.st_ino));
    return j.identity == text;
  };
  *exchanged = is_staged(j.dir);
  int rv = result::kOk;
  if (*exchanged) {
    LOG("Recovery: the staged copy is in place; removing %s", tmp_dir.c_str());
    (void)RemoveIfPresent(tmp_dir);
  } else if (is_staged(set_aside)) {
    LOG("Recovery: moving the staged copy back into %s", j.dir.c_str());
    std::string destination = j.dir + "/updated";
    rv = rename_file(set_aside.c_str(), destination.data(), true);
    if (rv == result::kOk) (void)RemoveIfPresent(tmp_dir);
  }
  if (rv == result::kOk) rv = FlushDirectories(ParentDirectory(j.dir), {"."});
  if (rv == result::kOk) rv = FlushDirectories(j.dir, {"."});
  return rv;
}

// A replace request killed between its two moves leaves the installation missing and the whole
// old installation (with the staged copy inside) at "<install_dir>.bak": it goes back first.
int RepairMissingInstallation() {
  if (install_dir[0] == '\0') return result::kOk;
  char tmp_dir[kPathSize];
  int n = snprintf(tmp_dir, sizeof(tmp_dir), "%s.bak", install_dir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(tmp_dir)) return result::kOk;
  int error = 0;
  if (Lexists(install_dir, &error) || error != 0 || !Lexists(tmp_dir, &error)) return result::kOk;
  LOG("Recovery: the installation %s is missing; moving %s back", install_dir, tmp_dir);
  char destination[kPathSize];
  snprintf(destination, sizeof(destination), "%s", install_dir);
  int rv = rename_file(tmp_dir, destination, true);
  if (rv == result::kOk) rv = flush_dir(ParentDirectory(install_dir).c_str());
  return rv;
}

}  // namespace

void JournalSetPaths() {
  journal_path = Absolute(patch_dir) + "/" + protocol::kJournalName;
  archive_path = Absolute(patch_dir) + "/" + protocol::kArchiveName;
}

int JournalBeginUpdate(const ActionList &list) {
  char cwd[kPathSize];
  if (!getcwd(cwd, sizeof(cwd))) {
    LOG("journal: unable to name the working directory, err: %d", errno);
    return result::kReadError;
  }
  std::string text = std::string(kMagic) + "\nupdate " + cwd + "\narchive " + ArchiveIdentity() +
                     "\n";
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
      text += "absent-dir " + dir + "\n";
      dirs.insert(dir);
      dirs.insert(ParentDirectory(dir));
    }
    return folders[dir] = state;
  };
  for (UpdateAction *action = list.head(); action; action = action->next) {
    if (const char *dir = action->RemovedDir()) {
      text += std::string("rmdir ") + dir + "\n";
      dirs.insert(ParentDirectory(dir));
    }
    const char *changed_path = action->ChangedPath();
    if (!changed_path || !seen.insert(changed_path).second) continue;
    const std::string path = changed_path;
    dirs.insert(ParentDirectory(path));
    int parent = folder_state(ParentDirectory(path));
    if (parent < 0) return result::kReadError;
    int error = 0;
    if (parent == 1 && Lexists(path, &error)) {
      text += "present " + path + "\n";
    } else if (error != 0) {
      LOG("journal: unable to check path: %s, err: %d", path.c_str(), error);
      return result::kReadError;
    } else {
      text += "absent " + path + "\n";
    }
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
  flush_dirs.assign(dirs.begin(), dirs.end());
  changed.assign(seen.begin(), seen.end());
  return WriteJournal(text);
}

// Flushes what the update wrote. One syncfs is the default: measured against one fsync per written
// file (bench/durability.sh builds that form with -DUPDATER_FLUSH_EACH_FILE=ON), it costs less on
// every update measured, since the file system commits its journal once instead of once a file.
int FlushWrittenFiles() {
#ifdef UPDATER_FLUSH_EACH_FILE
  for (const std::string &path : changed) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!ok) {
      LOG("flush: failed to flush the file: %s, err: %d", path.c_str(), errno);
      return result::kWriteError;
    }
  }
  return result::kOk;
#else
  return flush_file_system(".");
#endif
}

int JournalCommit() {
  if (FlushWrittenFiles() != result::kOk) return result::kWriteError;
  if (FlushDirectories(".", flush_dirs) != result::kOk) return result::kWriteError;
  int fd = open(journal_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  static const char kCommit[] = "commit\n";
  bool ok = fd >= 0 && write(fd, kCommit, sizeof(kCommit) - 1) ==
                           static_cast<ssize_t>(sizeof(kCommit) - 1) &&
            fdatasync(fd) == 0;
  int error = errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    LOG("journal: failed to record the commit: %s, err: %d", journal_path.c_str(), error);
    return result::kWriteError;
  }
  return result::kOk;
}

int JournalFlushDirectories() { return FlushDirectories(".", flush_dirs); }

int FlushStagedCopy() {
  if (flush_file_system(".") != result::kOk) return result::kWriteError;
  // Every directory of the copy: each one's entries are new.
  std::vector<std::string> pending = {"."};
  while (!pending.empty()) {
    std::string dir = pending.back();
    pending.pop_back();
    if (flush_dir(dir.c_str()) != result::kOk) return result::kWriteError;
    DIR *listing = opendir(dir.c_str());
    if (!listing) continue;  // flushed above; a folder that cannot be listed holds nothing we made
    while (struct dirent *entry = readdir(listing)) {
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      std::string child = dir + "/" + entry->d_name;
      struct stat st;
      bool is_dir = entry->d_type == DT_DIR ||
                    (entry->d_type == DT_UNKNOWN && lstat(child.c_str(), &st) == 0 &&
                     S_ISDIR(st.st_mode));
      if (is_dir) pending.push_back(child);
    }
    closedir(listing);
  }
  return flush_dir("..");
}

int JournalBeginReplace(dev_t staged_dev, ino_t staged_ino) {
  char text[kPathSize + 128];
  int n = snprintf(text, sizeof(text), "%s\nreplace %s\nstaged %ju %ju\n", kMagic,
                   Absolute(install_dir).c_str(), static_cast<uintmax_t>(staged_dev),
                   static_cast<uintmax_t>(staged_ino));
  if (n < 0 || static_cast<size_t>(n) >= sizeof(text)) {
    LOG("journal: path too long: %s", install_dir);
    return result::kWriteError;
  }
  return WriteJournal(text);
}

void JournalEnd() {
  if (!journal_active) return;
  if (unlink(journal_path.c_str()) != 0 && errno != ENOENT) {
    LOG("journal: failed to remove the journal: %s, err: %d", journal_path.c_str(), errno);
    return;
  }
  journal_active = false;
  (void)flush_dir(ParentDirectory(journal_path).c_str());
}

int RecoverInterruptedRun(bool *completed) {
  *completed = false;
  int rv = RepairMissingInstallation();
  if (rv != result::kOk) return rv;
  Journal journal;
  bool found = false;
  rv = ReadJournal(&journal, &found);
  if (rv != result::kOk || !found) return rv;
  journal_active = true;
  if (journal.kind == "update") {
    LOG("Recovering an interrupted update of %s (%s)", journal.dir.c_str(),
        journal.committed ? "committed: finishing it" : "not committed: undoing it");
    rv = RecoverUpdate(journal);
    if (rv != result::kOk) return rv;
    char *real = realpath(working_dir, nullptr);
    *completed = journal.committed && !staged_update && !replace_request && real &&
                 journal.dir == real && journal.identity == ArchiveIdentity();
    free(real);
  } else {
    LOG("Recovering an interrupted replace request of %s", journal.dir.c_str());
    bool exchanged = false;
    rv = RecoverReplace(journal, &exchanged);
    if (rv != result::kOk) return rv;
    *completed = exchanged && replace_request && journal.dir == Absolute(install_dir);
  }
  LOG("Recovery done");
  if (!*completed) JournalEnd();
  return result::kOk;
}
