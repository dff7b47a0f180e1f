// SPDX-License-Identifier: MIT
// The manifest: an update's script, one instruction per line, turned into actions in line order.
// A pure parse of the text (no disk access), and the steps that touch the disk: the whole-file
// reader, the expansion of "rmrfdir" into single removals, and the removals of a complete update
// listed in the working directory's "precomplete" file. Failures are logged where they are met and
// returned as result codes. The grammar itself is in base/manifest_format.h.
#pragma once

#include <memory>
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

// One instruction of a manifest, as the pure parse yields it.
struct ManifestEntry {
  enum class Kind {
    kEnd,          // the text is done
    kAction,       // `action` is parsed and ready to append
    kPrecomplete,  // a first `type "complete"`: the removals listed in "precomplete" come here
    kRmrfdir,      // "rmrfdir": the removals of the tree at `directory` come here
  };
  Kind kind = Kind::kEnd;
  std::unique_ptr<UpdateAction> action;
  char *directory = nullptr;  // ends in '/'; points into the text
};

// Reads a manifest text one instruction at a time, cutting it in place; the text must outlive the
// actions made from it. Touches nothing but the text and the log.
class ManifestParser {
 public:
  explicit ManifestParser(char *text) : cursor_(text) {}

  // Reads the next instruction into `*entry` (kEnd after the last). A first instruction "type"
  // logs the type and yields kPrecomplete for "complete", nothing for another type. Returns
  // result::kOk, result::kParseError for a line that cannot be understood (logged), or an action's
  // Parse result; `*entry` is then kEnd.
  [[nodiscard]] int Next(ManifestEntry *entry);

 private:
  char *cursor_;
  bool first_instruction_ = true;
};

// Parses the text of a "precomplete" file (cut in place; it must outlive the actions) and appends
// its removals ("remove" and "rmdir"; "remove-cc" lines are skipped). Touches nothing but the text
// and the log. Returns result::kOk, or result::kParseError for a line without keyword, an unknown
// keyword or a refused path; the removals before it stay in `list`.
[[nodiscard]] int ParsePrecomplete(char *text, ActionList *list);

// Returns a new NUL-terminated copy of the whole file at `path` (free it with free()), or null:
// logged when the file cannot be opened, queried or read, silent when no memory can be had. A link
// at `path` is not followed ("Link: %s is a link, which is not followed"); `shown` names the file
// in the log (`path` when null).
[[nodiscard]] char *GetManifestContents(const char *path, const char *shown = nullptr);

// Returns a new copy of `path` between double quotes (free it with free()), or null when no memory
// can be had.
[[nodiscard]] char *quote_path(const char *path);

// Appends the removals of the tree `directory` (which ends in '/'): one per file, link or other
// entry when the walk reaches it, one per directory after everything below it, the directory
// itself last. A missing directory adds nothing. The tree is resolved beneath the current
// directory and walked from folder descriptors, links never followed. Returns result::kOk;
// result::kWrongKind when the walk cannot start, fails, leads outside, or when `directory` or a
// produced path does not fit in
// kPathSize bytes (a cut path could name another file); result::kQuoteNoMemory when no memory can
// be had for a quoted path; result::kParseError when a produced path is refused. Actions appended
// before a failure stay in `list`.
[[nodiscard]] int add_dir_entries(const char *directory, ActionList *list, ManifestTexts *texts);

// Reads "precomplete" in the current directory and appends its removals (ParsePrecomplete). Adds
// nothing for an OS update or when the file cannot be read (logged). Returns as ParsePrecomplete.
[[nodiscard]] int AddPreCompleteActions(ActionList *list, ManifestTexts *texts);

// Parses the manifest `text` (cut in place; it must outlive the actions) into `list`, which must be
// empty, in line order, expanding each kPrecomplete and kRmrfdir entry where it stands. Returns
// result::kOk, or the first failure (ManifestParser::Next's, or an expansion's); the actions made
// so far then stay in `list`, for the caller to destroy without running any pass.
[[nodiscard]] int ParseManifest(char *text, ActionList *list, ManifestTexts *texts);
