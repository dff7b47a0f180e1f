// SPDX-License-Identifier: MIT
// Signing update archives for the tools.
#include "common/archive_signing.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/upk_format.h"
#include "base/durable_file.h"
#include "base/result.h"

using namespace upk_signature;

namespace {

std::string SystemError(const std::string &what) { return what + ": " + strerror(errno); }

// Writes `text` to `path` with `mode`. Without `force` an existing file is refused (the file is
// created exclusively, with exactly `mode`); with it the text replaces the file durably, through a
// temporary file of `mode` (less the umask) that is never reached through a link.
bool WriteNewFile(const std::string &path, const std::string &text, mode_t mode, bool force,
                  std::string *error) {
  if (force) {
    if (replace_file_durably(path.c_str(), text.data(), text.size(), mode, true) != result::kOk) {
      *error = SystemError("cannot write " + path);
      return false;
    }
    return true;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (fd < 0) {
    *error = errno == EEXIST ? path + " exists (use --force to replace it)"
                             : SystemError("cannot create " + path);
    return false;
  }
  bool ok = fchmod(fd, mode) == 0 &&
            write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && flush_parent_folder(path.c_str()) != result::kOk) ok = false;
  if (!ok) {
    *error = SystemError("cannot write " + path);
    unlink(path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int MakeKeyPair(const char *public_path, const char *secret_path, bool force, std::string *key_id,
                std::string *error) {
  if (sodium_init() < 0) {
    *error = "the cryptography library could not be initialised";
    return -1;
  }
  struct stat st;
  for (const char *path : {secret_path, public_path}) {
    if (!force && lstat(path, &st) == 0) {
      *error = std::string(path) + " exists (use --force to replace it)";
      return -1;
    }
  }
  if (strcmp(public_path, secret_path) == 0) {
    *error = "the public and the secret key need two different files";
    return -1;
  }
  uint8_t public_key[kPublicKeySize];
  uint8_t secret_key[kSecretKeySize];
  crypto_sign_keypair(public_key, secret_key);
  std::string secret_text = FormatSecretKey(secret_key);
  sodium_memzero(secret_key, sizeof(secret_key));
  bool ok = WriteNewFile(secret_path, secret_text, 0600, force, error) &&
            WriteNewFile(public_path, FormatPublicKey(public_key), 0644, force, error);
  sodium_memzero(secret_text.data(), secret_text.size());
  uint8_t id[kKeyIdSize];
  KeyId(public_key, id);
  *key_id = KeyIdHex(id);
  return ok ? 0 : -1;
}

int SignArchive(const char *archive, const SecretKey &key, std::string *error) {
  FILE *in = fopen(archive, "rb");
  if (!in) {
    *error = SystemError(archive);
    return -1;
  }
  struct stat st;
  Area area;
  uint8_t digest[kDigestSize];
  if (fstat(fileno(in), &st) != 0 || !ReadArea(in, &area, error) ||
      !Digest(in, area, digest, error)) {
    if (error->empty()) *error = SystemError(archive);
    fclose(in);
    return -1;
  }
  // This key's earlier signature gives way to the new one, in its place.
  const Entry signature = Sign(digest, key);
  std::vector<Entry> entries;
  bool placed = false;
  for (const Entry &e : area.entries) {
    const uint8_t *id = nullptr;
    const uint8_t *unused = nullptr;
    if (e.algorithm == kAlgorithmEd25519 && SplitEntry(e, &id, &unused) &&
        memcmp(id, key.id, kKeyIdSize) == 0) {
      if (!placed) entries.push_back(signature);
      placed = true;
    } else {
      entries.push_back(e);
    }
  }
  if (!placed) entries.push_back(signature);
  if (entries.size() > upk_format::kMaxSignatures) {
    *error = "the archive already holds 8 signatures, the most it can hold";
    fclose(in);
    return -1;
  }

  std::string temporary = std::string(archive) + ".sign-XXXXXX";
  int fd = mkstemp(temporary.data());
  FILE *out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (!out) {
    *error = SystemError("cannot create a file beside " + std::string(archive));
    if (fd >= 0) close(fd);
    fclose(in);
    return -1;
  }
  bool ok = Rewrite(
      in, area, entries,
      [&](const uint8_t *data, size_t size) { return fwrite(data, 1, size, out) == size; }, error);
  fclose(in);
  if (ok && (fflush(out) != 0 || fsync(fileno(out)) != 0 ||
             fchmod(fileno(out), st.st_mode & 07777) != 0)) {
    *error = SystemError("cannot write " + temporary);
    ok = false;
  }
  if (fclose(out) != 0 && ok) {
    *error = SystemError("cannot write " + temporary);
    ok = false;
  }
  // The new signature must check out before the archive is replaced.
  if (ok) {
    PublicKey own;
    memcpy(own.key, key.key + 32, kPublicKeySize);
    memcpy(own.id, key.id, kKeyIdSize);
    own.origin = "the signing key";
    FILE *check = fopen(temporary.c_str(), "rb");
    size_t trusted = 0;
    std::string detail;
    ok = check && Verify(check, {own}, &trusted, &detail) == Verdict::kTrusted;
    if (check) fclose(check);
    if (!ok) *error = "the signed archive does not check out: " + detail;
  }
  if (ok && rename(temporary.c_str(), archive) != 0) {
    *error = SystemError("cannot replace " + std::string(archive));
    ok = false;
  }
  if (!ok) {
    unlink(temporary.c_str());
    return -1;
  }
  if (flush_parent_folder(archive) != result::kOk) {
    *error = SystemError("cannot flush the folder of " + std::string(archive));
    return -1;
  }
  return 0;
}

int SignArchiveFile(const char *archive, const char *secret_key_file, std::string *error) {
  SecretKey key;
  if (!ReadSecretKeyFile(secret_key_file, &key, error)) return -1;
  int rv = SignArchive(archive, key, error);
  sodium_memzero(key.key, sizeof(key.key));
  return rv;
}

int VerifyArchiveFile(const char *archive, const std::vector<std::string> &public_key_files,
                      std::string *report) {
  std::vector<PublicKey> keys;
  for (const std::string &file : public_key_files) {
    PublicKey key;
    if (!ReadPublicKeyFile(file.c_str(), &key, report)) return -1;
    keys.push_back(key);
  }
  FILE *fp = fopen(archive, "rb");
  if (!fp) {
    *report = SystemError(archive);
    return 1;
  }
  size_t trusted = 0;
  const Verdict verdict = Verify(fp, keys, &trusted, report);
  fclose(fp);
  return verdict == Verdict::kTrusted ? 0 : 1;
}

int ListSignatures(const char *archive, std::vector<SignatureInfo> *out, std::string *error) {
  out->clear();
  FILE *fp = fopen(archive, "rb");
  if (!fp) {
    *error = SystemError(archive);
    return -1;
  }
  Area area;
  const bool ok = ReadArea(fp, &area, error);
  fclose(fp);
  if (!ok) return -1;
  for (const Entry &e : area.entries) {
    const uint8_t *id = nullptr;
    const uint8_t *signature = nullptr;
    const bool ed25519 = e.algorithm == kAlgorithmEd25519 && SplitEntry(e, &id, &signature);
    out->push_back(
        {e.algorithm, ed25519 ? KeyIdHex(id) : "", static_cast<uint32_t>(e.data.size())});
  }
  return 0;
}
