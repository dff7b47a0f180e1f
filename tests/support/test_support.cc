// SPDX-License-Identifier: MIT
#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testing_support {

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/updater-test-XXXXXX";
  char *made = mkdtemp(tmpl.data());
  if (!made) {
    ADD_FAILURE() << "mkdtemp failed";
    abort();
  }
  path_ = made;
}

TempDir::~TempDir() {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info && info->result()->Failed()) {
    fprintf(stderr, "test folder kept: %s\n", path_.c_str());
    return;
  }
  RemoveTree(path_);
}

void MakeDirs(const std::string &path, mode_t mode) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') mkdir(path.substr(0, pos).c_str(), mode);
  }
}

void WriteFile(const std::string &path, const std::string &content, mode_t mode) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirs(path.substr(0, slash));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string ExecutableLike(size_t size, uint32_t seed) {
  std::string data;
  uint32_t x = seed;
  while (data.size() < size) {
    x = x * 1103515245 + 12345;
    const unsigned kind = (x >> 16) % 8;
    if (kind == 0) {
      data.append(10 + (x >> 8) % 50, '\0');
    } else if (kind == 1) {
      data += "symbol_" + std::to_string(x % 5000) + "\n";
    } else {
      for (int i = 0; i < 64; ++i) data.push_back(static_cast<char>((x >> (i % 24)) & 0x8f));
    }
  }
  data.resize(size);
  return data;
}

mode_t Mode(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

void RemoveTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR *dir = opendir(path.c_str())) {
      while (struct dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

int Run(const std::string &command) {
  int status = system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

namespace {

// The environment `options` asks for, as "NAME=value" entries.
std::vector<std::string> ChildEnvironment(const ProcessOptions &options) {
  std::vector<std::string> env;
  if (options.clean_env) {
    env.push_back("PATH=/usr/bin:/bin");
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char *value = getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
  } else {
    for (char **e = environ; *e; ++e) env.push_back(*e);
  }
  for (const std::string &change : options.env) {
    const std::string name = change.substr(0, change.find('='));
    for (auto it = env.begin(); it != env.end();) {
      it = it->compare(0, name.size() + 1, name + "=") == 0 ? env.erase(it) : std::next(it);
    }
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  return env;
}

// In the child: `path` onto descriptor `fd`; false when it cannot be opened.
bool Redirect(const std::string &path, int fd) {
  if (path.empty()) return true;
  int opened = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  return opened >= 0 && dup2(opened, fd) == fd;
}

}  // namespace

pid_t StartProcess(const std::vector<std::string> &argv, const ProcessOptions &options) {
  // Everything is prepared before the fork: the child of a threaded test may not allocate.
  const std::vector<std::string> env = ChildEnvironment(options);
  std::vector<char *> args, envp;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    if (!Redirect(options.stdout_path, 1) || !Redirect(options.stderr_path, 2)) _exit(127);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

int WaitProcess(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunProcess(const std::vector<std::string> &argv, const ProcessOptions &options) {
  return WaitProcess(StartProcess(argv, options));
}

Output RunShell(const std::string &command) {
  Output out;
  FILE *p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.text.append(buf, n);
  const int raw = pclose(p);
  out.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

static void Walk(const std::string &root, const std::string &rel, Snapshot *out) {
  std::string dir_path = rel.empty() ? root : root + "/" + rel;
  DIR *dir = opendir(dir_path.c_str());
  if (!dir) return;
  while (struct dirent *e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string child_rel = rel.empty() ? name : rel + "/" + name;
    std::string child = root + "/" + child_rel;
    struct stat st;
    if (lstat(child.c_str(), &st) != 0) continue;
    Entry entry{'o', static_cast<mode_t>(st.st_mode & 07777), ""};
    if (S_ISREG(st.st_mode)) {
      entry.kind = 'f';
      entry.data = ReadFile(child);
    } else if (S_ISDIR(st.st_mode)) {
      entry.kind = 'd';
    } else if (S_ISLNK(st.st_mode)) {
      entry.kind = 'l';
      entry.mode = 0;  // link permission bits carry no meaning on Linux
      char target[4096];
      ssize_t n = readlink(child.c_str(), target, sizeof(target));
      if (n > 0) entry.data.assign(target, static_cast<size_t>(n));
    }
    (*out)[child_rel] = entry;
    if (entry.kind == 'd') Walk(root, child_rel, out);
  }
  closedir(dir);
}

Snapshot TakeSnapshot(const std::string &root) {
  Snapshot snap;
  Walk(root, "", &snap);
  return snap;
}

static std::string Describe(const Entry &e) {
  std::ostringstream ss;
  ss << e.kind << " mode " << std::oct << e.mode << std::dec;
  if (e.kind == 'f') ss << ", " << e.data.size() << " bytes";
  if (e.kind == 'l') ss << " -> " << e.data;
  return ss.str();
}

std::string DiffSnapshots(const Snapshot &expected, const Snapshot &actual) {
  std::ostringstream ss;
  for (const auto &[path, entry] : expected) {
    auto it = actual.find(path);
    if (it == actual.end()) {
      ss << "missing: " << path << " (" << Describe(entry) << ")\n";
    } else if (!(it->second == entry)) {
      ss << "changed: " << path << " expected " << Describe(entry) << ", got "
         << Describe(it->second) << (entry.kind == it->second.kind && entry.mode == it->second.mode
                                         ? " (contents differ)"
                                         : "")
         << "\n";
    }
  }
  for (const auto &[path, entry] : actual) {
    if (!expected.count(path)) ss << "unexpected: " << path << " (" << Describe(entry) << ")\n";
  }
  return ss.str();
}

}  // namespace testing_support
