// Runs the real updater binary (UPDATER_BIN, set by the build) as a child process with an exact
// environment, for the end-to-end tests; and small helpers for what those tests compare.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace e2e {

// Runs `argv` (argv[0] is the program) with exactly `env` plus PATH, stderr into `err_path` when
// given. Returns the exit code, or -1 when the process did not exit normally. The sanitizers'
// settings of the test run are passed on, so that a sanitized updater reports as the suite asks.
inline int Spawn(const std::vector<std::string> &argv, std::vector<std::string> env,
                 const std::string &err_path = "") {
  env.push_back("PATH=/usr/bin:/bin");
  for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char *value = getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  std::vector<char *> args, envp;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!err_path.empty()) {
      int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 2);
    }
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int RunUpdater(std::vector<std::string> args, const std::vector<std::string> &env = {},
                      const std::string &err_path = "") {
  args.insert(args.begin(), UPDATER_BIN);
  return Spawn(args, env, err_path);
}

inline std::string Lines(const std::vector<std::string> &lines) {
  std::string text;
  for (const auto &l : lines) text += l + "\n";
  return text;
}

inline std::string RealPath(const std::string &path) {
  char *real = realpath(path.c_str(), nullptr);
  std::string result = real ? real : "";
  free(real);
  return result;
}

// A callback that records its arguments, directory and the variables the updater sets into the
// file named by its first argument.
inline std::string WriteCallback(const testing_support::TempDir &dir) {
  std::string path = dir / "callback.sh";
  testing_support::WriteFile(path,
                             "#!/bin/sh\n"
                             "{ echo \"argv: $0 $*\"; echo \"cwd: $(pwd -P)\";\n"
                             "  env | grep -E '^(KIV_|NO_EM_RESTART)' | sort; } > \"$1\"\n",
                             0755);
  return path;
}

}  // namespace e2e
