// SPDX-License-Identifier: MIT
// The updater's command line and run modes: fills the driver's globals, opens the update log,
// records "applying", waits for the calling process, prepares the working directory, runs the
// update on one worker thread and finally replaces the process with the callback program, if one is
// given.
#pragma once

// The whole program behind `main`. With `signatures_required` (the build's setting), an
// installation that trusts no key refuses every archive. Returns the exit code: 0 when the update
// succeeded, 1 otherwise (usage error, refused input, failed update). Does not return when the
// callback is executed.
int UpdaterMain(int argc, char **argv, bool signatures_required);
