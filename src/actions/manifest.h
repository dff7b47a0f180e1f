// The manifest: an update's script, one instruction per line, turned into actions in line order.
// Also the whole-file reader for it, the expansion of "rmrfdir" into single removals, and the
// removals of a complete update listed in the working directory's "precomplete" file. Failures are
// logged where they are met and returned as result codes.
#pragma once

#include <vector>

#include "actions/action.h"

// Owns the texts that actions point into (the manifest, "precomplete" and the quoted paths of
// "rmrfdir"); frees them when destroyed. REQUIRES: destroyed only after every action made from its
// texts, i.e. after the action list has been destroyed.
class ManifestTexts {
 public:
  ManifestTexts() = default;
  ~ManifestTexts();
  ManifestTexts(const ManifestTexts &) = delete;
  ManifestTexts &operator=(const ManifestTexts &) = delete;

  // Takes ownership of `text` (allocated with malloc; null is ignored) and returns it.
  char *Keep(char *text);

 private:
  std::vector<char *> texts_;
};

// Returns a new NUL-terminated copy of the whole file at `path` (free it with free()), or null:
// logged when the file cannot be opened, queried or read, silent when no memory can be had.
[[nodiscard]] char *GetManifestContents(const char *path);

// Returns a new copy of `path` between double quotes (free it with free()), or null when no memory
// can be had.
[[nodiscard]] char *quote_path(const char *path);

// Appends the removals of the tree `directory` (which ends in '/'): one per file, link or other
// entry when the walk reaches it, one per directory after everything below it, the directory
// itself last. A missing directory adds nothing. Returns 0; 42 when the walk cannot start, fails,
// meets a cycle, or when `directory` or a produced path does not fit in 1024 bytes (a cut path
// could name another file); 14 when no memory can be had for a quoted
// path; 5 when a produced path is refused. Actions appended before a failure stay in `list`.
[[nodiscard]] int add_dir_entries(const char *directory, ActionList *list, ManifestTexts *texts);

// Appends the removals listed in "precomplete" in the current directory ("remove" and "rmdir";
// "remove-cc" lines are skipped). Adds nothing for an OS update or when the file cannot be read.
// Returns 0, 5 for a line without keyword, an unknown keyword or a refused path.
[[nodiscard]] int AddPreCompleteActions(ActionList *list, ManifestTexts *texts);

// Parses the manifest `text` (cut in place; it must outlive the actions) into `list`, which must be
// empty, in line order. A first instruction `type "complete"` puts the precomplete removals first.
// Returns 0, or the first failure (5 for a line that cannot be understood, or the result of an
// expansion or an action's Parse); the actions made so far then stay in `list`, for the caller to
// destroy without running any pass.
[[nodiscard]] int ParseManifest(char *text, ActionList *list, ManifestTexts *texts);
