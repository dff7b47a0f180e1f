// SPDX-License-Identifier: MIT
// The update's way into its archive through every check of the installation's trust: the
// signature against the trusted keys (archive/signature_check.h) and the product and version
// against the installation's product record (base/product_record.h), both before anything
// changes. When keys are trusted, the archive is first copied into a private file (memory for a
// small archive, an unlinked file beside it for a large one) and everything, the checks and every
// member later read, comes from that copy: rewriting update.upk during the run changes nothing.
// Results are the program's result codes; each outcome is logged once, here.
#pragma once

#include <cstdio>

class UpkReader;

// Opens the archive at `archive_path` into `reader` for the installation `install_dir`, checking
// its signature when the installation trusts keys and its product information when the
// installation has a product record; with `signatures_required`, an installation without keys is
// refused. Returns result::kOk with the archive open, else the first failure with nothing open:
// kSignatureRefused (signature, keys), kNoProductInfo (the record or the archive's product
// information cannot be read), kWrongProduct, kApplicationNewer (an older version than the
// installed one; equal is accepted), kReadError (the archive cannot be read or copied),
// kNoMemory (no reader buffers).
[[nodiscard]] int OpenCheckedArchive(const char *install_dir, const char *archive_path,
                                     bool signatures_required, UpkReader *reader);

// Copies the open file `fd` from its start into a new private file and returns it opened "rb" at
// its start, or null (errno set): a memory file up to `memory_limit` bytes, else an unlinked file
// in the folder `spill_dir`.
FILE *PrivateCopy(int fd, const char *spill_dir, unsigned long long memory_limit);
