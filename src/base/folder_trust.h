// SPDX-License-Identifier: MIT
// Trust in the folders and names the updater writes its state into: a patch folder that someone
// else could write is refused before anything is read from it, and a name found occupied by a link
// (or anything else the updater did not put there) is reported on standard error. Nothing here
// logs; the check returns its verdict and the reason.
#pragma once

#include <string>

// Whether the folder `dir` may hold the run's state: it must be owned by the user the program runs
// as (the effective user) and writable by nobody else (neither group nor others). A folder that
// does not exist yet passes (the program creates it itself), and so does a path that is not a
// folder (nothing can be read from it; the run fails on it as it would); a link to a folder is
// judged by the folder it leads to. False with the reason in `*why` otherwise, also when it cannot
// be examined.
[[nodiscard]] bool FolderIsPrivate(const char *dir, std::string *why);

// Writes "updater: refusing to write through PATH: it is a link or not a regular file; nothing
// was written there" to standard error.
void ReportPlantedName(const char *path);
