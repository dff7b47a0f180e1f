// SPDX-License-Identifier: MIT
// --version of the tools: the project's version from base/version.h. Only a command line that is
// exactly "TOOL --version" asks for it (ParsedArguments::version), because upk, make-update and
// make-release also take --version V (the version an archive brings). Nothing here can fail.
#pragma once

#include <cstdio>

#include "base/version.h"

// Prints "TOOL VERSION" on standard output; returns the exit code 0.
inline int PrintToolVersion(const char *tool) {
  printf("%s %s\n", tool, UPDATER_VERSION);
  return 0;
}
