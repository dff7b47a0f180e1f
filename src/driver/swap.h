// SPDX-License-Identifier: MIT
// The swap of a replace request: the staged copy "<install_dir>/updated" takes the installation's
// place in one exchange (renameat2 RENAME_EXCHANGE), or in two renames where the file system
// cannot exchange, and the recovery of a swap that a kill interrupted. On request the old
// installation is kept at "<install_dir>.previous" instead of being removed (its log lines start
// "Confirm: "). Failures are logged here and returned as result codes.
#pragma once

#include <string>

class Journal;

// Swaps the staged copy into the installation's place: it is first set aside as
// "<install_dir>.bak/updated" (newDir); then one exchange puts it at the installation's path and
// the old installation at newDir, inside "<install_dir>.bak" (tmpDir), which is removed and its
// removal flushed. The journal names the staged copy by its identity before the first move, so
// that a killed run can tell the two apart; a journal that the exchange carried away with the old
// installation (its patch directory lies inside it) is moved back to its path, now in the staged
// copy, before the old installation is kept or removed. With `keep_previous` an earlier
// "<install_dir>.previous" is removed before the swap, and the old installation moves there after
// it instead of being removed (when that move fails it is removed as without the request; the swap
// still stands). Returns result::kOk or the first failing move's code.
[[nodiscard]] int ReplaceInstallation(const char *install_dir, bool keep_previous,
                                      Journal *journal);

// Whether `path` (not followed) is the folder whose identity is `staged` ("<dev> <ino>", as the
// replace journal records the staged copy's).
bool IsStagedCopy(const std::string &path, const std::string &staged);

// Puts back, or finishes, an interrupted swap of the installation `install_dir`, whose staged copy
// had the identity `staged` ("<dev> <ino>"). Sets `*exchanged` when the staged copy is in place
// (the swap is done; only "<install_dir>.bak" is left to remove, or with `keep_previous` to move
// to "<install_dir>.previous" as ReplaceInstallation does). Returns result::kOk or a code.
[[nodiscard]] int RecoverSwap(const std::string &install_dir, const std::string &staged,
                              bool keep_previous, bool *exchanged);

// A swap killed between its two renames leaves the installation missing and the whole old
// installation (with the staged copy inside) at "<install_dir>.bak": it goes back. A swap that
// keeps the old installation moves it to "<install_dir>.previous" only once the installation is in
// place, so this repair is the same with or without that request. Returns result::kOk (also when
// there is nothing to repair) or a code.
[[nodiscard]] int RepairMissingInstallation(const char *install_dir);
