// SPDX-License-Identifier: MIT
// The update's signature check: the installation's trusted keys (update-keys/*.pub below the
// installation) and the check of the open update archive against them, before anything changes.
// Results are the program's result codes; each outcome is logged once, here.
#pragma once

#include <cstdio>
#include <vector>

#include "archive/upk_signature.h"

// Reads every "*.pub" file of "<install_dir>/update-keys" (in name order) into `keys`. Only nothing
// at that name (looked at without following a link) means no trusted key; a link that leads
// nowhere, a file or a folder that cannot be read refuses. Returns result::kOk, or
// result::kSignatureRefused when a key file (or the folder) cannot be read or is not a public key,
// or when no key is present and `signatures_required`. When no key is present and none is
// required, logs that the archive is not checked and returns result::kOk with `keys` empty.
[[nodiscard]] int LoadTrustedKeys(const char *install_dir, bool signatures_required,
                                  std::vector<upk_signature::PublicKey> *keys);

// Checks the archive open at `fp` (its position is moved) against `keys`: result::kOk when a
// trusted key's signature matches it, else result::kSignatureRefused (no signature, only other
// keys, a signature that does not match, or a signature area that cannot be read). Logs which.
// REQUIRES: `keys` is not empty.
[[nodiscard]] int CheckArchiveSignature(FILE *fp,
                                        const std::vector<upk_signature::PublicKey> &keys);
