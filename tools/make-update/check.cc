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

namespace make_update {

namespace {

// Where the check puts the trusted key in the scratch installation.
constexpr char kCheckKeyName[] = "update-keys/make-update-check.pub";

struct ExpectedFile {
  std::string source;  // file whose bytes the installed file must hold
  mode_t mode;
};

bool IsUnder(const std::string &path, const std::string &root) {
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

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

std::string Octal(mode_t mode) {
  char buf[16];
  snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode));
  return buf;
}

}  // namespace

std::string DefaultUpdaterPath() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  std::string path(self);
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash) + "/updater";
}

bool CheckUpdate(const std::string &archive, const Tree *old_tree, const Plan &plan,
                 const std::string &precomplete_source, const CheckSettings &settings,
                 std::string *report) {
  std::string parent = settings.scratch_parent;
  if (parent.empty()) parent = getenv("TMPDIR") && *getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  std::string scratch = parent + "/make-update-check-XXXXXX";
  if (!mkdtemp(scratch.data())) {
    *report = "cannot create a scratch folder in " + parent + ": " + strerror(errno);
    return false;
  }
  const std::string patch_dir = scratch + "/patch";
  const std::string install = scratch + "/install";
  std::string error;
  bool ok = mkdir(patch_dir.c_str(), 0755) == 0 && mkdir(install.c_str(), 0755) == 0;
  if (!ok) error = "cannot fill the scratch folder " + scratch + ": " + strerror(errno);
  if (ok) ok = CopyFile(archive, patch_dir + "/update.upk", 0644, &error);
  if (ok && old_tree) ok = CopyTree(*old_tree, install, &error);
  const std::string key_source = scratch + "/trusted.pub";
  if (ok && !settings.trusted_key.empty()) {
    FILE *key = fopen(key_source.c_str(), "wb");
    ok = key && fwrite(settings.trusted_key.data(), 1, settings.trusted_key.size(), key) ==
                    settings.trusted_key.size();
    if (key && fclose(key) != 0) ok = false;
    (void)mkdir((install + "/update-keys").c_str(), 0755);
    if (ok) ok = CopyFile(key_source, install + "/" + kCheckKeyName, 0644, &error);
    if (!ok && error.empty()) error = "cannot write " + key_source;
  }
  if (!ok) {
    *report = error + " (scratch folder kept: " + scratch + ")";
    return false;
  }

  // What the installation must hold afterwards: the starting files, less what is removed, with
  // every carried file whose condition holds in the starting state.
  std::map<std::string, ExpectedFile> files;
  std::set<std::string> dirs;
  std::map<std::string, std::string> links;  // path -> target; an update leaves them alone
  const TreeMap empty;
  const TreeMap &start = old_tree ? old_tree->entries : empty;
  for (const auto &[path, entry] : start) {
    if (entry.kind == 'f') files[path] = {old_tree->root + "/" + path, entry.mode};
    if (entry.kind == 'd') dirs.insert(path);
    if (entry.kind == 'l') links[path] = entry.target;
  }
  if (!settings.trusted_key.empty()) {
    files[kCheckKeyName] = {key_source, 0644};
    dirs.insert("update-keys");
  }
  for (const std::string &p : plan.remove_files) files.erase(p);
  for (const std::string &d : plan.remove_dirs) dirs.erase(d);
  for (const std::string &d : plan.rmrf_dirs) {
    for (auto it = files.begin(); it != files.end();)
      it = IsUnder(it->first, d) ? files.erase(it) : std::next(it);
    for (auto it = dirs.begin(); it != dirs.end();)
      it = IsUnder(*it, d) ? dirs.erase(it) : std::next(it);
  }
  for (const Carry &c : plan.carries) {
    const bool present = start.count(c.test) > 0;
    const bool installs = c.condition == Condition::kAlways ||
                          (c.condition == Condition::kIfPresent && present) ||
                          (c.condition == Condition::kIfMissing && !start.count(c.path));
    if (!installs) continue;
    files[c.path] = {c.path == kPrecompleteName ? precomplete_source : c.source, c.mode};
    for (size_t slash = c.path.find('/'); slash != std::string::npos;
         slash = c.path.find('/', slash + 1)) {
      dirs.insert(c.path.substr(0, slash));
    }
  }

  const int exit_code = RunUpdater(settings.updater, patch_dir, install);
  std::string status, log;
  std::string ignored;
  (void)ReadWholeFile(patch_dir + "/update.status", &status, &ignored);
  (void)ReadWholeFile(patch_dir + "/update.log", &log, &ignored);
  std::string differences;
  if (exit_code != 0 || status != "succeeded\n") {
    differences += "the updater exited with " + std::to_string(exit_code) +
                   (exit_code == 127 ? " (could it be run? " + settings.updater + ")" : "") +
                   " and wrote the status \"" + status.substr(0, status.find('\n')) + "\"\n";
    if (!log.empty()) differences += "last lines of update.log:\n" + Tail(log, 8);
  } else {
    Tree actual;
    std::vector<std::string> scan_problems;
    if (!ScanTree(install, "installation", &actual, &scan_problems)) {
      for (const std::string &p : scan_problems) differences += p + "\n";
    }
    size_t shown = 0;
    auto differ = [&](const std::string &line) {
      if (shown++ < 30) differences += line + "\n";
    };
    for (const auto &[path, want] : files) {
      auto it = actual.entries.find(path);
      if (it == actual.entries.end() || it->second.kind != 'f') {
        differ("missing file: " + path);
        continue;
      }
      if (it->second.mode != want.mode) {
        differ("mode of " + path + ": " + Octal(it->second.mode) + ", expected " +
               Octal(want.mode));
      }
      bool same = false;
      if (!SameContents(want.source, install + "/" + path, &same, &error)) {
        differ(error);
      } else if (!same) {
        differ("contents differ: " + path);
      }
    }
    for (const std::string &d : dirs) {
      auto it = actual.entries.find(d);
      if (it == actual.entries.end() || it->second.kind != 'd') differ("missing folder: " + d);
    }
    for (const auto &[path, target] : links) {
      auto it = actual.entries.find(path);
      if (it == actual.entries.end() || it->second.kind != 'l' || it->second.target != target) {
        differ("link changed or missing: " + path + " -> " + target);
      }
    }
    for (const auto &[path, entry] : actual.entries) {
      const bool expected = entry.kind == 'f'   ? files.count(path) > 0
                            : entry.kind == 'd' ? dirs.count(path) > 0
                                                : links.count(path) > 0;
      if (!expected) {
        differ(std::string("unexpected ") +
               (entry.kind == 'f'   ? "file: "
                : entry.kind == 'd' ? "folder: "
                                    : "link: ") +
               path);
      }
    }
    if (shown > 30) differences += "... and " + std::to_string(shown - 30) + " more\n";
  }
  if (!differences.empty()) {
    *report = differences + "scratch folder kept: " + scratch;
    return false;
  }
  RemoveTree(scratch);
  *report = "applied by " + settings.updater + " and matches: " + std::to_string(files.size()) +
            " files, " + std::to_string(dirs.size()) + " folders";
  return true;
}

}  // namespace make_update
