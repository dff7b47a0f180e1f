// The journal "update.journal" in the patch directory. Written whole and flushed before an in-place
// update or a replace request makes its first change, it says what recovery must do when the run
// is killed: put the installation back exactly as it was, or, once the update is committed, finish
// it. Every run recovers a journal it finds before it changes anything. Failures are logged here
// and returned as result codes.
#pragma once

#include <sys/types.h>

class ActionList;

// Forms the journal's path (and the archive's) from `patch_dir`, made absolute against the current
// directory. Call once, before the working directory is entered.
void JournalSetPaths();

// In-place update, after the Prepare pass, the current directory being the working directory:
// records for every path the actions may change whether anything lay there (and which missing
// folders above it an add may create), removes whatever lies at those paths' backup names (no run
// of ours made it), and writes the journal. Returns 0, 6 (a path cannot be checked) or 7.
[[nodiscard]] int JournalBeginUpdate(const ActionList &list);
// After a successful Execute pass: flushes every file the update wrote and every directory whose
// entries it changed, then records the commit. From here recovery finishes the update instead of
// undoing it. Returns 0 or 7.
[[nodiscard]] int JournalCommit();
// After the Finish pass: flushes the changed directories once more, so that the dropped (or put
// back) backups are on disk before the journal goes. Returns 0 or 7.
[[nodiscard]] int JournalFlushDirectories();

// Staged update, before "applied\n" is written: flushes the whole staged copy. Returns 0 or 7.
[[nodiscard]] int FlushStagedCopy();

// Replace request, before the first move: records the identity of the staged copy. Returns 0 or 7.
[[nodiscard]] int JournalBeginReplace(dev_t staged_dev, ino_t staged_ino);

// Removes the journal, if this run wrote one or recovered one, and flushes the patch directory.
void JournalEnd();

// At the start of every run, before anything changes: puts back an installation that a killed
// replace request left missing beside its ".bak", then recovers a journal left by a killed run.
// Sets `*completed` when the killed run was this very update (same archive and working directory,
// or the same replace request) and had committed: recovery has finished it and the caller reports
// success without running it again (and ends the journal after writing the status). Returns 0, or
// the first failure (the journal then stays for the next run).
[[nodiscard]] int RecoverInterruptedRun(bool *completed);
