// --version of the tools: the project's version from base/version.h. Only a command line that is
// exactly "TOOL --version" asks for it, because upk and make-update also take --version V (the
// version an archive brings). Nothing here can fail.
#pragma once

#include <cstdio>
#include <cstring>

#include "base/version.h"

// True when the command line is only --version.
inline bool IsVersionRequest(int argc, char **argv) {
  return argc == 2 && strcmp(argv[1], "--version") == 0;
}

// Prints "TOOL VERSION" on standard output; returns the exit code 0.
inline int PrintToolVersion(const char *tool) {
  printf("%s %s\n", tool, UPDATER_VERSION);
  return 0;
}
