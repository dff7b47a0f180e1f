// The command line of a tool that takes a fixed number of file operands and --help: options first
// ("--" ends them), then exactly the operands. Errors are printed here in the tool's name.
#pragma once

#include <cstdio>
#include <cstring>

// Fills `files` with the `count` operands. Returns -1 when the tool should go on, else the exit
// code to return at once (0 after --help, 1 after a wrong command line).
inline int ParseFileArguments(int argc, char **argv, const char *tool, const char *usage,
                              const char *synopsis, int count, const char **files) {
  int found = 0;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (!options_done && (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0)) {
      fputs(usage, stdout);
      return 0;
    }
    if (!options_done && strcmp(arg, "--") == 0) {
      options_done = true;
      continue;
    }
    if (!options_done && arg[0] == '-' && arg[1] != '\0') {
      fprintf(stderr, "%s: unknown option %s\nTry '%s --help'.\n", tool, arg, tool);
      return 1;
    }
    if (found == count) {
      fprintf(stderr, "%s: too many arguments\nTry '%s --help'.\n", tool, tool);
      return 1;
    }
    files[found++] = arg;
  }
  if (found != count) {
    fprintf(stderr, "Usage: %s %s\nTry '%s --help'.\n", tool, synopsis, tool);
    return 1;
  }
  return -1;
}
