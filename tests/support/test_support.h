// SPDX-License-Identifier: MIT
// Helpers shared by the tests: a temporary folder per test (removed when the test passes, kept and
// printed when it fails), whole-file reads and writes, and snapshots of a directory tree (kinds,
// contents, permission bits, link targets) so that "the tree equals what it was" is one assertion.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  // path() + "/" + rel
  std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Writes `content` to `path` (creating parent directories) and sets its permission bits.
void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644);
// The whole file; an empty string when it cannot be read (use Exists to tell the two apart).
std::string ReadFile(const std::string &path);
bool Exists(const std::string &path);  // lstat succeeds
mode_t Mode(const std::string &path);  // lstat's permission bits (& 07777), 0 when missing
void MakeDirs(const std::string &path, mode_t mode = 0755);
void RemoveTree(const std::string &path);
// `size` deterministic bytes shaped like an executable (stretches of code-like bytes, zero runs,
// text tables), compressing to about a third; `seed` gives another such file.
std::string ExecutableLike(size_t size, uint32_t seed = 12345);
// Runs `command` through /bin/sh and returns its exit status (or -1 when it did not exit normally).
int Run(const std::string &command);

// The one runner of child programs: how a child is started.
struct ProcessOptions {
  // Start from an empty environment holding only PATH=/usr/bin:/bin and the sanitizers' settings
  // of the test run (so that a sanitized program reports as the suite asks).
  bool clean_env = false;
  // Then each "NAME=value" is set and each bare "NAME" removed.
  std::vector<std::string> env;
  std::string cwd;          // the child's working directory; "" keeps the test's
  std::string stdout_path;  // created or truncated for the child's output; "" inherits
  std::string stderr_path;  // the same for its standard error
};
// Starts `argv` (argv[0] is the program; without a '/', it is looked up in PATH). Returns the
// child's pid, or -1. Safe to call from several threads at once.
pid_t StartProcess(const std::vector<std::string> &argv, const ProcessOptions &options = {});
// Waits for `pid`: its exit code, or -1 when it did not exit normally or cannot be waited for.
int WaitProcess(pid_t pid);
// StartProcess, then WaitProcess.
int RunProcess(const std::vector<std::string> &argv, const ProcessOptions &options = {});

struct Output {
  int status = -1;   // as Run returns it
  std::string text;  // standard output
};
// Runs `command` through /bin/sh and captures its standard output.
Output RunShell(const std::string &command);

struct Entry {
  char kind;  // 'f' file, 'd' directory, 'l' link, 'o' other
  mode_t mode;
  std::string data;  // file contents or link target
  bool operator==(const Entry &o) const {
    return kind == o.kind && mode == o.mode && data == o.data;
  }
};
using Snapshot = std::map<std::string, Entry>;  // relative path -> entry

// Every entry below `root` (not `root` itself), links not followed.
Snapshot TakeSnapshot(const std::string &root);
// A readable list of the differences; empty when the snapshots are equal.
std::string DiffSnapshots(const Snapshot &expected, const Snapshot &actual);

}  // namespace testing_support
