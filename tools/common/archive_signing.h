// SPDX-License-Identifier: MIT
// Signing update archives for the tools: making a key pair, adding (or replacing) one key's
// signature, checking an archive against public key files and listing its signatures. Functions
// return 0 on success and -1 on failure with one sentence in `*error`; nothing is printed, and no
// secret key byte ever appears in a message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/upk_signature.h"

struct SignatureInfo {
  uint32_t algorithm;  // upk_signature::kAlgorithmEd25519 or a value this program does not know
  std::string key_id;  // 16 hexadecimal digits for an Ed25519 entry, else empty
  uint32_t size;       // bytes of entry data
};

// Writes a new key pair: the secret key file with mode 0600, then the public key file (0644). An
// existing file is refused unless `force` is set; then each is replaced by replace_file_durably
// (its temporary file has the same mode less the umask and is never reached through a link, so
// the secret key never lies in a file of another mode). `*key_id` gets the identifier.
[[nodiscard]] int MakeKeyPair(const char *public_path, const char *secret_path, bool force,
                              std::string *key_id, std::string *error);

// Adds the signature of `key` to the archive, replacing an earlier signature of the same key; the
// other signatures stay valid. The archive is rewritten beside itself and renamed into place
// (keeping its permission bits) only after the new signature has been checked. Refuses an archive
// of the older layout and a ninth signature.
[[nodiscard]] int SignArchive(const char *archive, const upk_signature::SecretKey &key,
                              std::string *error);
// The same with the key read from `secret_key_file`.
[[nodiscard]] int SignArchiveFile(const char *archive, const char *secret_key_file,
                                  std::string *error);

// Checks the archive against the public keys in `public_key_files`. 0 when one of them has a valid
// signature in it (`*report` says which), 1 when the archive is refused (`*report` says why), -1
// when a key file cannot be used (`*report` names it).
[[nodiscard]] int VerifyArchiveFile(const char *archive,
                                    const std::vector<std::string> &public_key_files,
                                    std::string *report);

// The signatures of the archive in entry order (none for the older layout).
[[nodiscard]] int ListSignatures(const char *archive, std::vector<SignatureInfo> *out,
                                 std::string *error);
