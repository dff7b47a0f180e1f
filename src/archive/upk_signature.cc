// SPDX-License-Identifier: MIT
// Publisher signatures of update archives: key files, the signature area, the unsigned view that
// signatures cover and its digest, and the check against trusted keys.
#include "archive/upk_signature.h"

#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "archive/upk.h"
#include "archive/upk_format.h"

namespace upk_signature {

namespace {

std::string Number(uint64_t value) { return std::to_string(value); }

bool SodiumReady(std::string *error) {
  if (sodium_init() < 0) {
    *error = "the cryptography library could not be initialised";
    return false;
  }
  return true;
}

// The key data of key file text: the one line that is neither blank nor a comment, decoded from
// base64. `kind` names the key in reasons.
bool DecodeKeyText(const char *text, size_t size, size_t want, const char *kind, uint8_t *out,
                   std::string *error) {
  if (size > kMaxKeyFileSize) {
    *error = "longer than " + Number(kMaxKeyFileSize) + " bytes, not a key file";
    return false;
  }
  const char *data = nullptr;
  size_t data_len = 0;
  int line_number = 0;
  for (size_t pos = 0; pos < size;) {
    const char *line = text + pos;
    const void *nl = memchr(line, '\n', size - pos);
    size_t len = nl ? static_cast<size_t>(static_cast<const char *>(nl) - line) : size - pos;
    pos += len + 1;
    ++line_number;
    size_t blank = 0;
    while (blank < len && strchr(" \t\r", line[blank]) && line[blank] != '\0') ++blank;
    if (blank == len || line[0] == '#') continue;
    if (data) {
      *error =
          "line " + Number(line_number) + ": a second line of key data (comments start with #)";
      return false;
    }
    data = line;
    data_len = len;
  }
  if (!data) {
    *error = "no line of key data (a comment line and a line of base64 expected)";
    return false;
  }
  uint8_t decoded[kMaxKeyFileSize];
  size_t decoded_len = 0;
  const char *end = nullptr;
  if (sodium_base642bin(decoded, sizeof(decoded), data, data_len, " \t\r", &decoded_len, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != data + data_len) {
    *error = "the key line is not base64";
    sodium_memzero(decoded, sizeof(decoded));
    return false;
  }
  if (decoded_len != want) {
    *error = "the key line holds " + Number(decoded_len) + " bytes, not the " + Number(want) +
             " of " + kind;
    if (decoded_len == kSecretKeySize) *error += " (is it a secret key?)";
    if (decoded_len == kPublicKeySize) *error += " (is it a public key?)";
    sodium_memzero(decoded, sizeof(decoded));
    return false;
  }
  memcpy(out, decoded, want);
  sodium_memzero(decoded, sizeof(decoded));
  return true;
}

// Reads a key file of at most kMaxKeyFileSize bytes into `text`.
bool ReadKeyFile(const char *path, std::string *text, std::string *error) {
  FILE *fp = fopen(path, "rb");
  if (!fp) {
    *error = std::string(path) + ": " + strerror(errno);
    return false;
  }
  text->assign(kMaxKeyFileSize + 1, '\0');
  size_t got = fread(text->data(), 1, text->size(), fp);
  bool failed = ferror(fp) != 0;
  fclose(fp);
  if (failed) {
    *error = std::string(path) + ": read error";
    return false;
  }
  text->resize(got);
  return true;
}

std::string Base64Line(const uint8_t *data, size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  text.resize(strlen(text.c_str()));
  return text + "\n";
}

std::string Describe(const Entry &entry) {
  const uint8_t *id = nullptr;
  const uint8_t *signature = nullptr;
  if (entry.algorithm == kAlgorithmEd25519 && SplitEntry(entry, &id, &signature)) {
    return "key " + KeyIdHex(id);
  }
  return "algorithm " + Number(entry.algorithm);
}

}  // namespace

void KeyId(const uint8_t public_key[kPublicKeySize], uint8_t id[kKeyIdSize]) {
  uint8_t hash[32];
  crypto_generichash(hash, sizeof(hash), public_key, kPublicKeySize, nullptr, 0);
  memcpy(id, hash, kKeyIdSize);
}

std::string KeyIdHex(const uint8_t id[kKeyIdSize]) {
  char hex[2 * kKeyIdSize + 1];
  sodium_bin2hex(hex, sizeof(hex), id, kKeyIdSize);
  return hex;
}

bool ParsePublicKey(const char *text, size_t size, PublicKey *key, std::string *error) {
  if (!SodiumReady(error)) return false;
  if (!DecodeKeyText(text, size, kPublicKeySize, "a public key", key->key, error)) return false;
  KeyId(key->key, key->id);
  return true;
}

bool ParseSecretKey(const char *text, size_t size, SecretKey *key, std::string *error) {
  if (!SodiumReady(error)) return false;
  if (!DecodeKeyText(text, size, kSecretKeySize, "a secret key", key->key, error)) return false;
  // The secret key is the seed followed by its public key: the two must belong together.
  uint8_t public_key[kPublicKeySize];
  uint8_t secret_key[kSecretKeySize];
  crypto_sign_seed_keypair(public_key, secret_key, key->key);
  bool match = sodium_memcmp(public_key, key->key + 32, kPublicKeySize) == 0;
  sodium_memzero(secret_key, sizeof(secret_key));
  if (!match) {
    sodium_memzero(key->key, sizeof(key->key));
    *error = "the secret key is damaged (its public half does not belong to it)";
    return false;
  }
  KeyId(public_key, key->id);
  return true;
}

bool ReadPublicKeyFile(const char *path, PublicKey *key, std::string *error) {
  std::string text;
  if (!ReadKeyFile(path, &text, error)) return false;
  if (!ParsePublicKey(text.data(), text.size(), key, error)) {
    *error = std::string(path) + ": " + *error;
    return false;
  }
  key->origin = path;
  return true;
}

bool ReadSecretKeyFile(const char *path, SecretKey *key, std::string *error) {
  std::string text;
  bool ok = ReadKeyFile(path, &text, error);
  if (ok && !ParseSecretKey(text.data(), text.size(), key, error)) {
    *error = std::string(path) + ": " + *error;
    ok = false;
  }
  sodium_memzero(text.data(), text.size());
  return ok;
}

std::string FormatPublicKey(const uint8_t public_key[kPublicKeySize]) {
  uint8_t id[kKeyIdSize];
  KeyId(public_key, id);
  return "# upk public key " + KeyIdHex(id) + "\n" + Base64Line(public_key, kPublicKeySize);
}

std::string FormatSecretKey(const uint8_t secret_key[kSecretKeySize]) {
  uint8_t id[kKeyIdSize];
  KeyId(secret_key + 32, id);
  return "# upk secret key " + KeyIdHex(id) + ": signs updates; keep it out of the installation\n" +
         Base64Line(secret_key, kSecretKeySize);
}

bool SplitEntry(const Entry &entry, const uint8_t **key_id, const uint8_t **signature) {
  if (entry.data.size() != kEntryDataSize) return false;
  *key_id = entry.data.data();
  *signature = entry.data.data() + kKeyIdSize;
  return true;
}

bool ReadArea(FILE *fp, Area *area, std::string *error) {
  *area = Area();
  struct stat st;
  bool has_area = false;
  uint32_t count = 0;
  if (fstat(fileno(fp), &st) != 0 ||
      get_upk_stream_info(fp, &has_area, &count, nullptr, nullptr, nullptr) != 0) {
    *error = "not a readable archive";
    return false;
  }
  if (!has_area) return true;
  if (count > upk_format::kMaxSignatures) {
    *error =
        Number(count) + " signature entries (at most " + Number(upk_format::kMaxSignatures) + ")";
    return false;
  }
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  uint64_t at = upk_format::kSignatureEntriesPos;
  for (uint32_t i = 0; i < count; ++i) {
    unsigned char head[8];
    if (!upk_format::ReadAt(fp, at, head, sizeof(head))) {
      *error = "signature entry " + Number(i + 1) + " is cut short";
      return false;
    }
    Entry entry;
    entry.algorithm = LoadBE32(head);
    uint32_t length = LoadBE32(head + 4);
    at += sizeof(head);
    if (length > kMaxEntryData || at + length > file_size) {
      *error = "signature entry " + Number(i + 1) + " claims " + Number(length) +
               " bytes, more than the file holds";
      return false;
    }
    entry.data.resize(length);
    if (length != 0 && !upk_format::ReadExact(fp, entry.data.data(), length)) {
      *error = "signature entry " + Number(i + 1) + " cannot be read";
      return false;
    }
    at += length;
    area->entries.push_back(std::move(entry));
  }
  area->present = true;
  area->end = static_cast<uint32_t>(at);
  return true;
}

bool Digest(FILE *fp, const Area &area, uint8_t digest[kDigestSize], std::string *error) {
  if (!SodiumReady(error)) return false;
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, kDigestSize);
  bool ok = Rewrite(
      fp, area, {},
      [&](const uint8_t *data, size_t size) {
        return crypto_generichash_update(&state, data, size) == 0;
      },
      error);
  return crypto_generichash_final(&state, digest, kDigestSize) == 0 && ok;
}

namespace {

void SignedMessage(const uint8_t digest[kDigestSize],
                   uint8_t message[sizeof(kSignedContext) + kDigestSize]) {
  memcpy(message, kSignedContext, sizeof(kSignedContext));
  memcpy(message + sizeof(kSignedContext), digest, kDigestSize);
}

}  // namespace

Entry Sign(const uint8_t digest[kDigestSize], const SecretKey &key) {
  uint8_t message[sizeof(kSignedContext) + kDigestSize];
  SignedMessage(digest, message);
  Entry entry;
  entry.algorithm = kAlgorithmEd25519;
  entry.data.resize(kEntryDataSize);
  memcpy(entry.data.data(), key.id, kKeyIdSize);
  crypto_sign_detached(entry.data.data() + kKeyIdSize, nullptr, message, sizeof(message), key.key);
  return entry;
}

Verdict Verify(FILE *fp, const std::vector<PublicKey> &keys, size_t *trusted, std::string *detail) {
  Area area;
  std::string error;
  if (!SodiumReady(&error) || !ReadArea(fp, &area, &error)) {
    *detail = "the signature area cannot be read: " + error;
    return Verdict::kMalformed;
  }
  if (area.entries.empty()) {
    *detail = area.present ? "the archive carries no signature"
                           : "the archive carries no signature (older layout)";
    return Verdict::kUnsigned;
  }
  // Entries of trusted keys, as (entry, key) pairs.
  std::vector<std::pair<size_t, size_t>> candidates;
  std::string others;
  for (size_t e = 0; e < area.entries.size(); ++e) {
    const Entry &entry = area.entries[e];
    const uint8_t *id = nullptr;
    const uint8_t *signature = nullptr;
    if (entry.algorithm == kAlgorithmEd25519 && !SplitEntry(entry, &id, &signature)) {
      *detail = "signature entry " + Number(e + 1) + " holds " + Number(entry.data.size()) +
                " bytes, not " + Number(kEntryDataSize);
      return Verdict::kMalformed;
    }
    bool known = false;
    for (size_t k = 0; id && k < keys.size(); ++k) {
      if (memcmp(keys[k].id, id, kKeyIdSize) == 0) {
        candidates.emplace_back(e, k);
        known = true;
      }
    }
    if (!known) others += (others.empty() ? "" : ", ") + Describe(entry);
  }
  if (candidates.empty()) {
    *detail = "signed only by keys that are not trusted here (" + others + ")";
    return Verdict::kOtherKeys;
  }
  uint8_t digest[kDigestSize];
  if (!Digest(fp, area, digest, &error)) {
    *detail = error;
    return Verdict::kMalformed;
  }
  uint8_t message[sizeof(kSignedContext) + kDigestSize];
  SignedMessage(digest, message);
  for (const auto &[e, k] : candidates) {
    const uint8_t *signature = area.entries[e].data.data() + kKeyIdSize;
    if (crypto_sign_verify_detached(signature, message, sizeof(message), keys[k].key) == 0) {
      *trusted = k;
      *detail = "signed by trusted key " + KeyIdHex(keys[k].id) + " (" + keys[k].origin + ")";
      return Verdict::kTrusted;
    }
  }
  const PublicKey &first = keys[candidates.front().second];
  *detail = "the signature of key " + KeyIdHex(first.id) + " (" + first.origin +
            ") does not match the archive";
  return Verdict::kBadSignature;
}

}  // namespace upk_signature
