// SPDX-License-Identifier: MIT
// Runs a program under a small ptrace loop that counts the system calls of all its threads
// together and hands each entry to the test while the calling thread is stopped there: the kill
// sweep kills at the k-th call, other tests change files at a chosen point of the run. The loop is
// bounded by the traced process's own end.
#pragma once

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// Runs `argv` (argv[0] is the program's path) with exactly `env` and standard output and error to
// /dev/null, calling `on_entry(pid, k)` on entry to its k-th system call (counting from 1) with the
// calling thread stopped. Returns the number of calls counted; `*exit_code` (when given) gets the exit
// code, or -1 when the process did not exit normally.
inline long RunTraced(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                      const std::function<void(pid_t pid, long k)> &on_entry,
                      int *exit_code = nullptr) {
  std::vector<char *> args, envp;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  if (exit_code) *exit_code = -1;
  fflush(nullptr);  // the child's freopen would write what this process has buffered once more
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stderr) || !freopen("/dev/null", "w", stdout)) _exit(126);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ptrace(PTRACE_SETOPTIONS, pid, nullptr,
         PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
  ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
  std::map<pid_t, bool> in_call;
  long count = 0;
  for (pid_t t; (t = waitpid(-1, &status, __WALL)) > 0;) {
    if (t == pid && WIFEXITED(status) && exit_code) *exit_code = WEXITSTATUS(status);
    if (!WIFSTOPPED(status)) continue;
    int deliver = 0;
    if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
      bool entering = !in_call[t];
      in_call[t] = entering;
      if (entering) on_entry(pid, ++count);
    } else if ((status >> 16) == 0 && WSTOPSIG(status) != SIGSTOP && WSTOPSIG(status) != SIGTRAP) {
      deliver = WSTOPSIG(status);  // a real signal for the tracee
    }
    ptrace(PTRACE_SYSCALL, t, nullptr, reinterpret_cast<void *>(static_cast<long>(deliver)));
  }
  return count;
}

}  // namespace testing_support
