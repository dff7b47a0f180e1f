// SPDX-License-Identifier: MIT
// The update procedure, run once on the worker thread: a replace request swaps a staged copy into
// the installation's place; every other run applies the update archive. It ends by writing the
// outcome to the status file and the log and asking the progress window to close.
#pragma once

#include "driver/run_config.h"

class Journal;

// Carries out the run that `config` describes, with `journal` (recovered already, state kNone) for
// the in-place update's and the replace request's records. In the fallback of a failed replace
// request it leaves "KIV_PROCESS_UPDATES=" in the environment and returns launch_callback false.
// Always ends with one status write and one QuitProgressUI.
UpdateOutcome DoUpdate(const RunConfig &config, Journal *journal);
