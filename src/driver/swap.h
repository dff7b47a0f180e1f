// SPDX-License-Identifier: MIT
// The swap of a replace request: the staged copy "<install_dir>/updated" takes the installation's
// place in one exchange (renameat2 RENAME_EXCHANGE), or in two renames where the file system
// cannot exchange, and the recovery of a swap that a kill interrupted. Failures are logged here
// and returned as result codes.
#pragma once

#include <string>

class Journal;

// Swaps the staged copy into the installation's place: it is first set aside as
// "<install_dir>.bak/updated" (newDir); then one exchange puts it at the installation's path and
// the old installation at newDir, inside "<install_dir>.bak" (tmpDir), which is removed and its
// removal flushed. The journal names the staged copy by its identity before the first move, so
// that a killed run can tell the two apart. Returns result::kOk or the first failing move's code.
[[nodiscard]] int ReplaceInstallation(const char *install_dir, Journal *journal);

// Puts back, or finishes, an interrupted swap of the installation `install_dir`, whose staged copy
// had the identity `staged` ("<dev> <ino>"). Sets `*exchanged` when the staged copy is in place
// (the swap is done; only "<install_dir>.bak" is left to remove). Returns result::kOk or a code.
[[nodiscard]] int RecoverSwap(const std::string &install_dir, const std::string &staged,
                              bool *exchanged);

// A swap killed between its two renames leaves the installation missing and the whole old
// installation (with the staged copy inside) at "<install_dir>.bak": it goes back. Returns
// result::kOk (also when there is nothing to repair) or a code.
[[nodiscard]] int RepairMissingInstallation(const char *install_dir);
