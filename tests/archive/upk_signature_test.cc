// SPDX-License-Identifier: MIT
// Archive signatures over real archives from our writer: key files and their refusals, signing and
// replacing, several keys, the unsigned view that signatures cover, and a byte flipped anywhere.
#include "archive/upk_signature.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "archive/upk.h"
#include "common/archive_signing.h"
#include "support/signing_keys.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

using namespace testing_support;
using namespace upk_signature;

namespace {

using KeyPair = TestKeyPair;

// Checks `archive` against the key files; returns the verdict and the detail.
Verdict Check(const std::string &archive, const std::vector<std::string> &key_files,
              std::string *detail) {
  std::vector<PublicKey> keys;
  for (const std::string &file : key_files) {
    PublicKey key;
    EXPECT_TRUE(ReadPublicKeyFile(file.c_str(), &key, detail)) << *detail;
    keys.push_back(key);
  }
  FILE *fp = fopen(archive.c_str(), "rb");
  EXPECT_NE(fp, nullptr);
  size_t trusted = 0;
  Verdict verdict = fp ? Verify(fp, keys, &trusted, detail) : Verdict::kMalformed;
  if (fp) fclose(fp);
  return verdict;
}

// The unsigned view of `archive`: what its signatures cover.
std::string UnsignedView(const std::string &archive) {
  std::string view, error;
  FILE *fp = fopen(archive.c_str(), "rb");
  Area area;
  EXPECT_TRUE(fp && ReadArea(fp, &area, &error)) << error;
  EXPECT_TRUE(Rewrite(
      fp, area, {},
      [&](const uint8_t *data, size_t size) {
        view.append(reinterpret_cast<const char *>(data), size);
        return true;
      },
      &error))
      << error;
  if (fp) fclose(fp);
  return view;
}

bool WriteSample(const std::string &path) {
  return WriteUpk(path, {{"updatev3.manifest", "add \"a.txt\"\n"}, {"a.txt", "content of a"}});
}

TEST(UpkSignature, KeyFilesRoundTripAndRefuseWhatIsNotAKey) {
  TempDir dir;
  KeyPair pair(dir, "k");
  EXPECT_EQ(Mode(pair.secret), 0600u);
  EXPECT_EQ(Mode(pair.pub), 0644u);
  PublicKey pub;
  SecretKey secret;
  std::string error;
  ASSERT_TRUE(ReadPublicKeyFile(pair.pub.c_str(), &pub, &error)) << error;
  ASSERT_TRUE(ReadSecretKeyFile(pair.secret.c_str(), &secret, &error)) << error;
  EXPECT_EQ(KeyIdHex(pub.id), pair.id);
  EXPECT_EQ(KeyIdHex(secret.id), pair.id);
  // The file is a comment naming the key and one line of base64; CRLF line ends are accepted.
  const std::string text = ReadFile(pair.pub);
  EXPECT_EQ(text.rfind("# upk public key " + pair.id + "\n", 0), 0u) << text;
  std::string crlf = text;
  crlf.insert(crlf.find('\n'), "\r");
  EXPECT_TRUE(ParsePublicKey(crlf.data(), crlf.size(), &pub, &error)) << error;
  EXPECT_EQ(ReadFile(pair.secret).find(ReadFile(pair.pub).substr(text.find('\n') + 1)),
            std::string::npos)
      << "the secret key file does not hold the public key's line";

  const std::string data = text.substr(text.find('\n') + 1);
  const std::string secret_text = ReadFile(pair.secret);
  struct Case {
    std::string text;
    bool secret;
    std::string reason;
  };
  std::string damaged = secret_text;
  damaged[damaged.size() - 10] = damaged[damaged.size() - 10] == 'A' ? 'B' : 'A';
  for (const Case &c :
       std::vector<Case>{{"# only a comment\n", false, "no line of key data"},
                         {"# two keys\n" + data + data, false, "a second line of key data"},
                         {"# not base64\n@@@@\n", false, "not base64"},
                         {secret_text, false, "not the 32 of a public key (is it a secret key?)"},
                         {text, true, "not the 64 of a secret key (is it a public key?)"},
                         {damaged, true, "does not belong to it"},
                         {std::string(5000, '#'), false, "not a key file"}}) {
    bool ok = c.secret ? ParseSecretKey(c.text.data(), c.text.size(), &secret, &error)
                       : ParsePublicKey(c.text.data(), c.text.size(), &pub, &error);
    EXPECT_FALSE(ok) << c.reason;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(UpkSignature, SignaturesOfSeveralKeysCoverTheUnsignedArchive) {
  TempDir dir;
  KeyPair a(dir, "a"), b(dir, "b"), c(dir, "c");
  const std::string archive = dir / "update.upk";
  ASSERT_TRUE(WriteSample(archive));
  const std::string unsigned_bytes = ReadFile(archive);
  std::string detail, error;
  EXPECT_EQ(Check(archive, {a.pub}, &detail), Verdict::kUnsigned);

  ASSERT_EQ(SignArchiveFile(archive.c_str(), a.secret.c_str(), &error), 0) << error;
  EXPECT_EQ(Check(archive, {a.pub}, &detail), Verdict::kTrusted);
  EXPECT_EQ(detail, "signed by trusted key " + a.id + " (" + a.pub + ")");
  EXPECT_EQ(Check(archive, {b.pub}, &detail), Verdict::kOtherKeys);
  EXPECT_NE(detail.find(a.id), std::string::npos) << detail;

  // A second key signs; signing again with the first replaces its entry; both stay valid, and the
  // signatures cover exactly the archive as it was before any signature.
  ASSERT_EQ(SignArchiveFile(archive.c_str(), b.secret.c_str(), &error), 0) << error;
  ASSERT_EQ(SignArchiveFile(archive.c_str(), a.secret.c_str(), &error), 0) << error;
  std::vector<SignatureInfo> list;
  ASSERT_EQ(ListSignatures(archive.c_str(), &list, &error), 0) << error;
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].key_id, a.id);
  EXPECT_EQ(list[1].key_id, b.id);
  EXPECT_EQ(list[0].algorithm, kAlgorithmEd25519);
  EXPECT_EQ(Check(archive, {c.pub, b.pub}, &detail), Verdict::kTrusted) << detail;
  EXPECT_EQ(Check(archive, {a.pub}, &detail), Verdict::kTrusted) << detail;
  EXPECT_EQ(UnsignedView(archive), unsigned_bytes);
  EXPECT_EQ(ReadFile(archive).size(), unsigned_bytes.size() + 2 * (8 + kEntryDataSize));

  // The signed archive reads as before; its product information can no longer be rewritten.
  UpkArchive *open = upk_open(archive.c_str());
  ASSERT_NE(open, nullptr);
  UpkItem *item = upk_lookup(open, "a.txt");
  ASSERT_NE(item, nullptr);
  char buffer[256] = {};
  const int got = upk_read_item(open, item, 0, buffer, sizeof(buffer));
  EXPECT_EQ(std::string(buffer, got > 0 ? got : 0), Bzip2("content of a"));
  upk_close(open);
  UpkProductInfo info = {const_cast<char *>("p"), const_cast<char *>("2")};
  EXPECT_EQ(upk_refresh_product_info(archive.c_str(), &info), -1);

  // At most 8 signatures; the refused ninth leaves the archive as it was.
  for (int i = 0; i < 6; ++i) {
    KeyPair(dir, "extra" + std::to_string(i)).Sign(archive);
  }
  const std::string eight = ReadFile(archive);
  EXPECT_EQ(SignArchiveFile(archive.c_str(), c.secret.c_str(), &error), -1);
  EXPECT_NE(error.find("8 signatures"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(archive), eight);
  EXPECT_EQ(Check(archive, {b.pub}, &detail), Verdict::kTrusted) << detail;
}

TEST(UpkSignature, AByteFlippedAnywhereIsRefused) {
  TempDir dir;
  KeyPair a(dir, "a");
  const std::string archive = dir / "update.upk";
  ASSERT_TRUE(WriteSample(archive));
  std::string error;
  ASSERT_EQ(SignArchiveFile(archive.c_str(), a.secret.c_str(), &error), 0) << error;
  const std::string good = ReadFile(archive);
  const std::string damaged = dir / "damaged.upk";
  // Every byte: the header, the signature entry, the product block, the members and the index.
  for (size_t at = 0; at < good.size(); ++at) {
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    WriteFile(damaged, bytes);
    std::string detail;
    EXPECT_NE(Check(damaged, {a.pub}, &detail), Verdict::kTrusted) << "byte " << at;
  }
  // Junk after the index is covered too.
  WriteFile(damaged, good + "x");
  std::string detail;
  EXPECT_EQ(Check(damaged, {a.pub}, &detail), Verdict::kBadSignature);
  EXPECT_EQ(detail, "the signature of key " + a.id + " (" + a.pub + ") does not match the archive");
}

}  // namespace
