// SPDX-License-Identifier: MIT
// Runs the real updater binary (UPDATER_BIN, set by the build) as a child process with an exact
// environment, for the end-to-end tests; and small helpers for what those tests compare.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace e2e {

// Runs `argv` (argv[0] is the program) with exactly `env` plus PATH and the sanitizers' settings,
// stderr into `err_path` when given. Returns the exit code, or -1 when the process did not exit
// normally.
inline int Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                 const std::string &err_path = "") {
  testing_support::ProcessOptions options;
  options.clean_env = true;
  options.env = env;
  options.stderr_path = err_path;
  return testing_support::RunProcess(argv, options);
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
