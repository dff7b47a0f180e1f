// The update procedure, run once on the worker thread: a replace request swaps a staged copy into
// the installation's place; every other run applies the update archive. It ends by writing the
// outcome to the status file and the log and asking the progress window to close.
#pragma once

// Carries out the run that the globals describe. Sets `update_succeeded` on success; in the
// fallback of a failed replace request it leaves "KIV_PROCESS_UPDATES=" in the environment. Always
// ends with one status write and one QuitProgressUI.
void DoUpdate();
