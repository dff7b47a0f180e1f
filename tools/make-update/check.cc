// SPDX-License-Identifier: MIT
#include "check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "build.h"
#include "common/beside_self.h"
#include "helpers.h"

namespace make_update {

namespace {

// Where the check puts the trusted key in the scratch installation.
const std::string kCheckKeyName = std::string(protocol::kKeysDirName) + "/make-update-check.pub";

struct ExpectedFile {
  std::string source;  // file whose bytes the installed file must hold
  mode_t mode;
};

bool CopyFile(const std::string &from, const std::string &to, mode_t mode, std::string *error) {
  std::string data;
  if (!ReadWholeFile(from, &data, error)) return false;
  FILE *out = fopen(to.c_str(), "wb");
  if (!out) {
    *error = "cannot create " + to + ": " + strerror(errno);
    return false;
  }
  const bool ok = fwrite(data.data(), 1, data.size(), out) == data.size();
  if (fclose(out) != 0 || !ok || chmod(to.c_str(), mode) != 0) {
    *error = "cannot write " + to + ": " + strerror(errno);
    return false;
  }
  return true;
}

// Copies the scanned tree with its modes; folder modes are set last so that read-only folders
// can still be filled.
bool CopyTree(const Tree &tree, const std::string &dest, std::string *error) {
  for (const auto &[path, entry] : tree.entries) {
    const std::string to = dest + "/" + path;
    if (entry.kind == 'd') {
      if (mkdir(to.c_str(), 0700) != 0) {
        *error = "cannot create " + to + ": " + strerror(errno);
        return false;
      }
    } else if (entry.kind == 'l') {
      if (symlink(entry.target.c_str(), to.c_str()) != 0) {
        *error = "cannot create the link " + to + ": " + strerror(errno);
        return false;
      }
    } else if (!CopyFile(tree.root + "/" + path, to, entry.mode, error)) {
      return false;
    }
  }
  for (auto it = tree.entries.rbegin(); it != tree.entries.rend(); ++it) {
    if (it->second.kind == 'd') chmod((dest + "/" + it->first).c_str(), it->second.mode);
  }
  return true;
}

// Runs `updater patch_dir install install` with no display and no inherited update variables,
// under a zero file mode creation mask so that the archive's permission bits land unchanged.
int RunUpdater(const std::string &updater, const std::string &patch_dir,
               const std::string &install) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    umask(0);
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "KIV_OS_UPDATE", "KIV_PROCESS_UPDATES",
                             "KIV_NO_REPLACE_FALLBACK"}) {
      unsetenv(name);
    }
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    execl(updater.c_str(), updater.c_str(), patch_dir.c_str(), install.c_str(), install.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Tail(const std::string &text, size_t lines) {
  size_t pos = text.size();
  for (size_t n = 0; n <= lines && pos > 0; ++n) {
    const size_t nl = text.rfind('\n', pos - 1);
    if (nl == std::string::npos) return text;
    pos = nl;
    if (n == lines) return text.substr(pos + 1);
  }
  return text;
}

// The scratch installation: the archive in `patch_dir` as update.upk, and a copy of the old tree
// (nothing for a complete update) in `install`. False with a sentence in `*error`.
bool FillScratch(const std::string &archive, const Tree *old_tree, const std::string &scratch,
                 const std::string &patch_dir, const std::string &install, std::string *error) {
  if (mkdir(patch_dir.c_str(), 0755) != 0 || mkdir(install.c_str(), 0755) != 0) {
    *error = "cannot fill the scratch folder " + scratch + ": " + strerror(errno);
    return false;
  }
  if (!CopyFile(archive, patch_dir + "/" + protocol::kArchiveName, 0644, error)) return false;
  return !old_tree || CopyTree(*old_tree, install, error);
}

// With a trusted key, writes it to `key_source` and installs it as kCheckKeyName in `install`, so
// that the updater checks the archive's signature. False with a sentence in `*error`.
bool InstallTrustedKey(const std::string &trusted_key, const std::string &key_source,
                       const std::string &install, std::string *error) {
  if (trusted_key.empty()) return true;
  FILE *key = fopen(key_source.c_str(), "wb");
  bool ok = key && fwrite(trusted_key.data(), 1, trusted_key.size(), key) == trusted_key.size();
  if (key && fclose(key) != 0) ok = false;
  (void)mkdir((install + "/" + protocol::kKeysDirName).c_str(), 0755);
  if (ok) ok = CopyFile(key_source, install + "/" + kCheckKeyName, 0644, error);
  if (!ok && error->empty()) *error = "cannot write " + key_source;
  return ok;
}

// What the installation must hold after the update.
struct Expected {
  std::map<std::string, ExpectedFile> files;
  std::set<std::string> dirs;
  std::map<std::string, std::string> links;  // path -> target
};

// Adds the folders above `path` to `dirs`.
void AddParents(const std::string &path, std::set<std::string> *dirs) {
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    dirs->insert(path.substr(0, slash));
}

// The starting entries, less what is removed, with every link the plan makes and every carried file
// whose condition holds in the starting state; with a trusted key (`key_source` not empty), the
// installed key file too.
Expected ExpectedInstallation(const Tree *old_tree, const Plan &plan,
                              const std::string &precomplete_source,
                              const std::string &key_source) {
  Expected e;
  const TreeMap empty;
  const TreeMap &start = old_tree ? old_tree->entries : empty;
  for (const auto &[path, entry] : start) {
    if (entry.kind == 'f') e.files[path] = {old_tree->root + "/" + path, entry.mode};
    if (entry.kind == 'd') e.dirs.insert(path);
    if (entry.kind == 'l') e.links[path] = entry.target;
  }
  if (!key_source.empty()) {
    e.files[kCheckKeyName] = {key_source, 0644};
    e.dirs.insert(protocol::kKeysDirName);
  }
  for (const std::string &p : plan.remove_files) {
    e.files.erase(p);
    e.links.erase(p);
  }
  for (const std::string &d : plan.remove_dirs) e.dirs.erase(d);
  for (const std::string &d : plan.rmrf_dirs) {
    for (auto it = e.files.begin(); it != e.files.end();)
      it = IsUnder(it->first, d) ? e.files.erase(it) : std::next(it);
    for (auto it = e.links.begin(); it != e.links.end();)
      it = IsUnder(it->first, d) ? e.links.erase(it) : std::next(it);
    for (auto it = e.dirs.begin(); it != e.dirs.end();)
      it = IsUnder(*it, d) ? e.dirs.erase(it) : std::next(it);
  }
  for (const Carry &c : plan.carries) {
    const bool present = start.count(c.test) > 0;
    const bool installs = c.condition == Condition::kAlways ||
                          (c.condition == Condition::kIfPresent && present) ||
                          (c.condition == Condition::kIfMissing && !start.count(c.path));
    if (!installs) continue;
    e.files[c.path] = {c.path == kPrecompleteName ? precomplete_source : c.source, c.mode};
    e.links.erase(c.path);
    AddParents(c.path, &e.dirs);
  }
  for (const auto &[path, target] : plan.links) {
    e.files.erase(path);
    e.links[path] = target;
    AddParents(path, &e.dirs);
  }
  return e;
}

// Runs the updater; "" when it succeeded, else what it exited with, its status and its log's end.
std::string RunAndDescribeFailure(const std::string &updater, const std::string &patch_dir,
                                  const std::string &install) {
  const int exit_code = RunUpdater(updater, patch_dir, install);
  std::string status, log;
  std::string ignored;
  (void)ReadWholeFile(patch_dir + "/" + protocol::kStatusName, &status, &ignored);
  (void)ReadWholeFile(patch_dir + "/" + protocol::kLogName, &log, &ignored);
  if (exit_code == 0 && status == protocol::kStatusSucceeded) return "";
  std::string failure = "the updater exited with " + std::to_string(exit_code) +
                        (exit_code == 127 ? " (could it be run? " + updater + ")" : "") +
                        " and wrote the status \"" + status.substr(0, status.find('\n')) + "\"\n";
  if (!log.empty()) failure += "last lines of update.log:\n" + Tail(log, 8);
  return failure;
}

// The differences between the installation and `expected` (the first 30, then a count); "" when
// they match.
std::string CompareInstallation(const std::string &install, const Expected &expected) {
  std::string differences;
  Tree actual;
  std::vector<std::string> scan_problems;
  if (!ScanTree(install, "installation", &actual, &scan_problems)) {
    for (const std::string &p : scan_problems) differences += p + "\n";
  }
  size_t shown = 0;
  auto differ = [&](const std::string &line) {
    if (shown++ < 30) differences += line + "\n";
  };
  std::string error;
  for (const auto &[path, want] : expected.files) {
    auto it = actual.entries.find(path);
    if (it == actual.entries.end() || it->second.kind != 'f') {
      differ("missing file: " + path);
      continue;
    }
    if (it->second.mode != want.mode) {
      differ("mode of " + path + ": " + Octal(it->second.mode) + ", expected " + Octal(want.mode));
    }
    bool same = false;
    if (!SameContents(want.source, install + "/" + path, &same, &error)) {
      differ(error);
    } else if (!same) {
      differ("contents differ: " + path);
    }
  }
  for (const std::string &d : expected.dirs) {
    auto it = actual.entries.find(d);
    if (it == actual.entries.end() || it->second.kind != 'd') differ("missing folder: " + d);
  }
  for (const auto &[path, target] : expected.links) {
    auto it = actual.entries.find(path);
    if (it == actual.entries.end() || it->second.kind != 'l' || it->second.target != target) {
      differ("link changed or missing: " + path + " -> " + target);
    }
  }
  for (const auto &[path, entry] : actual.entries) {
    const bool wanted = entry.kind == 'f'   ? expected.files.count(path) > 0
                        : entry.kind == 'd' ? expected.dirs.count(path) > 0
                                            : expected.links.count(path) > 0;
    if (!wanted) {
      differ(std::string("unexpected ") +
             (entry.kind == 'f'   ? "file: "
              : entry.kind == 'd' ? "folder: "
                                  : "link: ") +
             path);
    }
  }
  if (shown > 30) differences += "... and " + std::to_string(shown - 30) + " more\n";
  return differences;
}

}  // namespace

std::string DefaultUpdaterPath() { return BesideSelf("updater"); }

bool CheckUpdate(const std::string &archive, const Tree *old_tree, const Plan &plan,
                 const std::string &precomplete_source, const CheckSettings &settings,
                 std::string *report) {
  const std::string scratch =
      MakeTempFolder(settings.scratch_parent, "make-update-check-", "a scratch folder", report);
  if (scratch.empty()) return false;
  const std::string patch_dir = scratch + "/patch";
  const std::string install = scratch + "/install";
  std::string error;
  const std::string key_source = settings.trusted_key.empty() ? "" : scratch + "/trusted.pub";
  if (!FillScratch(archive, old_tree, scratch, patch_dir, install, &error) ||
      !InstallTrustedKey(settings.trusted_key, key_source, install, &error)) {
    *report = error + " (scratch folder kept: " + scratch + ")";
    return false;
  }

  const Expected expected = ExpectedInstallation(old_tree, plan, precomplete_source, key_source);
  std::string differences = RunAndDescribeFailure(settings.updater, patch_dir, install);
  if (differences.empty()) differences = CompareInstallation(install, expected);
  if (!differences.empty()) {
    *report = differences + "scratch folder kept: " + scratch;
    return false;
  }
  RemoveTree(scratch);
  *report = "applied by " + settings.updater +
            " and matches: " + std::to_string(expected.files.size()) + " files, " +
            std::to_string(expected.dirs.size()) + " folders";
  return true;
}

}  // namespace make_update
