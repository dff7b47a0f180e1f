// SPDX-License-Identifier: MIT
// Publisher signatures of update archives: the signature entry layout, the key files, the digest a
// signature covers and the check of an archive against trusted public keys (libsodium does the
// cryptography). Failures come back as false or a Verdict with one readable reason in `*error`;
// nothing here prints or logs, and no secret key byte ever appears in a reason.
//
// A signature covers the archive as it reads with no signatures at all: signature count 0, no
// entries, and the index offset, the archive size and every index entry's offset moved back by the
// size of the entries. That view is digested with BLAKE2b-512 in one pass over the file, and the
// signed message is kSignedContext followed by the digest. Adding or replacing one signature
// therefore leaves every other signature valid. docs/signing.md describes the layout in full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace upk_signature {

// The value of a signature entry's first field for an Ed25519 signature over the digest above.
constexpr uint32_t kAlgorithmEd25519 = 1;
constexpr size_t kKeyIdSize = 8;
constexpr size_t kSignatureSize = 64;
// Entry data of kAlgorithmEd25519: the signing key's identifier, then the signature.
constexpr uint32_t kEntryDataSize = kKeyIdSize + kSignatureSize;  // 72
constexpr size_t kPublicKeySize = 32;
constexpr size_t kSecretKeySize = 64;  // the seed followed by the public key
constexpr size_t kDigestSize = 64;
// Prefixed to the digest in the signed message, so that a signature made for anything else never
// passes as an archive signature.
constexpr char kSignedContext[16] = {'U', 'P', 'K', '1', ' ', 's', 'i', 'g',
                                     'n', 'a', 't', 'u', 'r', 'e', '1', '\n'};
// Entries of other algorithms are skipped, but none may claim more data than this.
constexpr uint32_t kMaxEntryData = 1 << 20;
// Key files are a few lines of text.
constexpr size_t kMaxKeyFileSize = 4096;

struct PublicKey {
  uint8_t key[kPublicKeySize];
  uint8_t id[kKeyIdSize];  // see KeyId
  std::string origin;      // where it was read from (a file name), for messages
};

struct SecretKey {
  uint8_t key[kSecretKeySize];
  uint8_t id[kKeyIdSize];  // the identifier of the matching public key
};

struct Entry {
  uint32_t algorithm = 0;
  std::vector<uint8_t> data;
};

// The signature area as read from an archive.
struct Area {
  bool present = false;        // false for the older layout (item data from offset 8 on)
  std::vector<Entry> entries;  // at most 8
  uint32_t end = 0;            // offset just after the last entry
};

// A key's identifier: the first 8 bytes of the 32-byte BLAKE2b digest of its public key.
void KeyId(const uint8_t public_key[kPublicKeySize], uint8_t id[kKeyIdSize]);
// 16 lower-case hexadecimal digits.
std::string KeyIdHex(const uint8_t id[kKeyIdSize]);

// ---- Key files ----
// Text: one or more comment lines starting with '#', then one line of standard base64 (with
// padding) holding the 32-byte public key or the 64-byte secret key. Spaces, tabs and carriage
// returns around the base64 are ignored.

// Parse key file text. False with the reason when the text is not a key of that kind; a secret
// key whose public half does not belong to its seed is refused.
[[nodiscard]] bool ParsePublicKey(const char *text, size_t size, PublicKey *key,
                                  std::string *error);
[[nodiscard]] bool ParseSecretKey(const char *text, size_t size, SecretKey *key,
                                  std::string *error);
// The same for a file (at most kMaxKeyFileSize bytes); the reason names the file.
[[nodiscard]] bool ReadPublicKeyFile(const char *path, PublicKey *key, std::string *error);
[[nodiscard]] bool ReadSecretKeyFile(const char *path, SecretKey *key, std::string *error);
// Key file text for a key; the comment names the kind and the identifier.
std::string FormatPublicKey(const uint8_t public_key[kPublicKeySize]);
std::string FormatSecretKey(const uint8_t secret_key[kSecretKeySize]);

// ---- The signature area ----

// Parses one Ed25519 entry's data. False when it is not kEntryDataSize bytes long.
bool SplitEntry(const Entry &entry, const uint8_t **key_id, const uint8_t **signature);
// Reads the signature area of the archive open at `fp` (its position is moved). False with the
// reason when the layout cannot be read, there are more than 8 entries or an entry runs past the
// end of the file; an older-layout archive reads as an absent area.
[[nodiscard]] bool ReadArea(FILE *fp, Area *area, std::string *error);
// Parses a signature area from bytes (`data` from offset 20 of an archive with `count` entries);
// used by ReadArea. `*used` receives the bytes taken.
[[nodiscard]] bool ParseArea(const uint8_t *data, size_t size, uint32_t count, Area *area,
                             size_t *used, std::string *error);

// Receives the bytes of a rewritten archive, in order; returns false to stop.
using Sink = std::function<bool(const uint8_t *data, size_t size)>;

// Streams the archive open at `fp`, whose signature area is `area`, to `sink` with that area
// replaced by `entries`: the count and the entries change, the index offset, the archive size and
// every index entry's offset move by the difference in size, and every other byte is passed on
// unchanged. With no entries this is the view that signatures cover. False with the reason when
// the archive has no signature area, when its index does not lie after the signature area inside
// the file, when an index entry's data would begin inside the signature area, when the result
// would not fit the format, or on a read failure or a refusal of the sink.
[[nodiscard]] bool Rewrite(FILE *fp, const Area &area, const std::vector<Entry> &entries,
                           const Sink &sink, std::string *error);
// The BLAKE2b-512 digest of the unsigned view of the archive open at `fp`.
[[nodiscard]] bool Digest(FILE *fp, const Area &area, uint8_t digest[kDigestSize],
                          std::string *error);
// Makes the Ed25519 entry for `digest` with `key`.
Entry Sign(const uint8_t digest[kDigestSize], const SecretKey &key);

// ---- Checking ----

enum class Verdict {
  kTrusted,       // an entry of a trusted key holds a valid signature
  kUnsigned,      // no signature entry, or the older layout
  kOtherKeys,     // only entries of keys (or algorithms) that are not trusted
  kBadSignature,  // an entry of a trusted key, but no such entry matches the archive
  kMalformed,     // the signature area or the archive around it cannot be read as such
};

// Checks the archive open at `fp` against `keys` in one pass over the file (its position is
// moved). `*detail` says which key signed (kTrusted) or why the archive is refused; `*trusted` is
// the index of the key that signed when the verdict is kTrusted.
Verdict Verify(FILE *fp, const std::vector<PublicKey> &keys, size_t *trusted, std::string *detail);

}  // namespace upk_signature
