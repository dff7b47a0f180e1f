// SPDX-License-Identifier: MIT
// The signature area and the key files over arbitrary bytes. The input is read as key file text by
// both key parsers, and as an archive: its signature area is read and checked against a fixed key;
// where it can be rewritten, rewriting it with its own entries gives the input back, its unsigned
// view has the same digest and rewrites to itself, and a signature of the fixed key added to the
// view is trusted while the same signature with one bit flipped is not.
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/upk_signature.h"
#include "fuzz_support.h"

using fuzz_support::MemFile;
using namespace upk_signature;

namespace {

struct FixedKey {
  PublicKey pub;
  SecretKey secret;
  FixedKey() {
    FUZZ_CHECK(sodium_init() >= 0);
    uint8_t seed[32];
    memset(seed, 0x42, sizeof(seed));
    crypto_sign_seed_keypair(pub.key, secret.key, seed);
    KeyId(pub.key, pub.id);
    memcpy(secret.id, pub.id, sizeof(pub.id));
    pub.origin = "fixed";
  }
};

const FixedKey &Key() {
  static const FixedKey key;
  return key;
}

// The archive `bytes` rewritten with `entries` in place of its signature area; false when the
// area cannot be read or the rewrite is refused.
bool RewriteBytes(const std::string &bytes, const std::vector<Entry> *entries, std::string *out,
                  Area *area_out = nullptr) {
  MemFile file(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  FILE *fp = fopen(file.path(), "rb");
  FUZZ_CHECK(fp != nullptr);
  Area area;
  std::string error;
  out->clear();
  bool ok = ReadArea(fp, &area, &error);
  if (ok) {
    FUZZ_CHECK(area.entries.size() <= 8);
    ok = Rewrite(
        fp, area, entries ? *entries : area.entries,
        [&](const uint8_t *data, size_t size) {
          out->append(reinterpret_cast<const char *>(data), size);
          return true;
        },
        &error);
  }
  FUZZ_CHECK(ok || !error.empty());
  fclose(fp);
  if (area_out) *area_out = area;
  return ok;
}

Verdict Check(const std::string &bytes, std::string *detail) {
  MemFile file(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  FILE *fp = fopen(file.path(), "rb");
  FUZZ_CHECK(fp != nullptr);
  size_t trusted = 99;
  Verdict verdict = Verify(fp, {Key().pub}, &trusted, detail);
  fclose(fp);
  FUZZ_CHECK(verdict != Verdict::kTrusted || trusted == 0);
  FUZZ_CHECK(!detail->empty());
  return verdict;
}

bool DigestOf(const std::string &bytes, uint8_t digest[kDigestSize]) {
  MemFile file(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  FILE *fp = fopen(file.path(), "rb");
  FUZZ_CHECK(fp != nullptr);
  Area area;
  std::string error;
  bool ok = ReadArea(fp, &area, &error) && Digest(fp, area, digest, &error);
  fclose(fp);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text =
      reinterpret_cast<const char *>(data ? data : reinterpret_cast<const uint8_t *>(""));
  std::string error;
  PublicKey pub;
  if (ParsePublicKey(text, size, &pub, &error)) {
    // A parsed key writes out as a key file that reads back as the same key.
    const std::string again = FormatPublicKey(pub.key);
    PublicKey other;
    FUZZ_CHECK(ParsePublicKey(again.data(), again.size(), &other, &error));
    FUZZ_CHECK(memcmp(other.key, pub.key, kPublicKeySize) == 0);
    FUZZ_CHECK(memcmp(other.id, pub.id, kKeyIdSize) == 0);
  } else {
    FUZZ_CHECK(!error.empty());
  }
  SecretKey secret;
  error.clear();
  if (ParseSecretKey(text, size, &secret, &error)) {
    FUZZ_CHECK(size <= kMaxKeyFileSize);
  } else {
    FUZZ_CHECK(!error.empty());
  }

  const std::string input(text, size);
  std::string detail;
  const Verdict verdict = Check(input, &detail);
  std::string same;
  Area area;
  if (!RewriteBytes(input, nullptr, &same, &area)) return 0;
  FUZZ_CHECK(same == input);
  std::string view;
  const std::vector<Entry> none;
  FUZZ_CHECK(RewriteBytes(input, &none, &view));
  std::string view_again;
  FUZZ_CHECK(RewriteBytes(view, &none, &view_again));
  FUZZ_CHECK(view_again == view);
  uint8_t digest[kDigestSize];
  uint8_t view_digest[kDigestSize];
  FUZZ_CHECK(DigestOf(input, digest) && DigestOf(view, view_digest));
  FUZZ_CHECK(memcmp(digest, view_digest, kDigestSize) == 0);
  if (area.entries.empty()) FUZZ_CHECK(verdict == Verdict::kUnsigned);

  // The fixed key signs the view: trusted; one bit of the signature flipped: not.
  std::vector<Entry> entries = {Sign(digest, Key().secret)};
  std::string signed_bytes;
  FUZZ_CHECK(RewriteBytes(view, &entries, &signed_bytes));
  FUZZ_CHECK(Check(signed_bytes, &detail) == Verdict::kTrusted);
  entries[0].data[kKeyIdSize + size % kSignatureSize] ^= 0x01;
  FUZZ_CHECK(RewriteBytes(view, &entries, &signed_bytes));
  FUZZ_CHECK(Check(signed_bytes, &detail) == Verdict::kBadSignature);
  return 0;
}
