// SPDX-License-Identifier: MIT
// The real updater with trusted keys in the installation (update-keys/*.pub): a signed archive
// applies; an unsigned one, one signed only by other keys, one with a byte flipped in any part and
// a malformed key file are refused with "failed: 24" before anything changes; a replace request
// checks nothing.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/upk_signature.h"
#include "support/run_updater.h"
#include "support/signing_keys.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

using namespace testing_support;
using namespace e2e;

namespace {

struct SignedInstall {
  TempDir dir;
  std::string inst = dir / "inst";
  std::string patch = dir / "p";
  std::string archive = patch + "/update.upk";
  std::string key_file = inst + "/update-keys/publisher.pub";
  TestKeyPair publisher{dir, "publisher"};
  TestKeyPair other{dir, "other"};

  SignedInstall() {
    WriteFile(inst + "/bin/app", "version 1", 0755);
    WriteFile(key_file, ReadFile(publisher.pub));
    MakeDirs(patch);
    EXPECT_TRUE(WriteUpk(archive, {{"updatev3.manifest", "add \"bin/app\"\nadd \"data/new.txt\"\n"},
                                   {"bin/app", "version 2", 0755},
                                   {"data/new.txt", "new"}}));
  }
  int Run(const std::string &work, const std::string &mode = "") const {
    std::vector<std::string> args = {patch, inst, work};
    if (!mode.empty()) args.push_back(mode);
    return RunUpdater(args);
  }
  std::string Status() const { return ReadFile(patch + "/update.status"); }
  std::string Log() const { return ReadFile(patch + "/update.log"); }
};

TEST(SignedUpdate, ATrustedSignatureAppliesInPlaceAndStaged) {
  for (bool staged : {false, true}) {
    SignedInstall s;
    s.other.Sign(s.archive);  // two signatures, one of them trusted
    s.publisher.Sign(s.archive);
    const std::string work = staged ? s.inst + "/updated" : s.inst;
    EXPECT_EQ(s.Run(work, staged ? "-1" : ""), 0);
    EXPECT_EQ(s.Status(), staged ? "applied\n" : "succeeded\n");
    EXPECT_EQ(ReadFile(work + "/bin/app"), "version 2");
    EXPECT_EQ(ReadFile(work + "/data/new.txt"), "new");
    EXPECT_NE(s.Log().find("\nSignature: update.upk signed by trusted key " + s.publisher.id +
                           " (" + s.key_file + ")\n"),
              std::string::npos)
        << s.Log();
  }
}

TEST(SignedUpdate, RefusalsChangeNothing) {
  // Offsets in an archive with one signature: header 20 bytes, the entry 80, then the product
  // block (104 bytes), the members and the index at the end.
  auto flip = [](size_t at, bool from_end = false) {
    return [at, from_end](SignedInstall &s) {
      s.publisher.Sign(s.archive);
      std::string bytes = ReadFile(s.archive);
      ASSERT_LT(at, bytes.size());
      const size_t pos = from_end ? bytes.size() - 1 - at : at;
      bytes[pos] = static_cast<char>(bytes[pos] ^ 0x20);
      WriteFile(s.archive, bytes);
    };
  };
  struct Case {
    const char *what;
    std::function<void(SignedInstall &)> prepare;
    std::string log;  // expected in the log
    bool staged;
  };
  const std::vector<Case> cases = {
      {"unsigned", [](SignedInstall &) {}, "refused: the archive carries no signature", false},
      {"unsigned, staged", [](SignedInstall &) {}, "refused: the archive carries no signature",
       true},
      {"other key", [](SignedInstall &s) { s.other.Sign(s.archive); },
       "refused: signed only by keys that are not trusted here (key ", false},
      {"header", flip(5), "Signature: update.upk refused: ", false},
      {"signature", flip(20 + 8 + 8 + 30), "does not match the archive", false},
      {"key identifier", flip(20 + 8 + 2), "refused: signed only by keys that are not trusted",
       false},
      {"product block", flip(100 + 20), "does not match the archive", false},
      {"member data", flip(100 + 104 + 30), "does not match the archive", false},
      {"index", flip(3, true), "Signature: update.upk refused: ", false},
      {"malformed key file",
       [](SignedInstall &s) {
         s.publisher.Sign(s.archive);
         WriteFile(s.inst + "/update-keys/broken.pub", "# a key\nnot base64!\n");
       },
       "Signature: refused: malformed key file ", false},
  };
  for (const Case &c : cases) {
    SignedInstall s;
    c.prepare(s);
    const Snapshot before = TakeSnapshot(s.inst);
    EXPECT_EQ(s.Run(c.staged ? s.inst + "/updated" : s.inst, c.staged ? "-1" : ""), 1) << c.what;
    EXPECT_EQ(s.Status(), "failed: 24\n") << c.what;
    EXPECT_NE(s.Log().find(c.log), std::string::npos) << c.what << "\n" << s.Log();
    EXPECT_EQ(s.Log().find("PREPARE"), std::string::npos) << c.what;
    Snapshot after = TakeSnapshot(s.inst);
    // The entry point makes a missing working folder before any update; nothing is copied into it.
    if (c.staged) after.erase("updated");
    EXPECT_EQ(DiffSnapshots(before, after), "") << c.what;
  }
  SignedInstall s;
  WriteFile(s.inst + "/update-keys/broken.pub", "# a key\nnot base64!\n");
  s.Run(s.inst);
  EXPECT_NE(s.Log().find("malformed key file " + s.inst +
                         "/update-keys/broken.pub: the key line "
                         "is not base64\n"),
            std::string::npos)
      << s.Log();
}

// A cut installation directory would name a folder without the keys, and the check would be
// skipped: an install-dir that does not fit is refused before any archive is read.
TEST(SignedUpdate, AnInstallDirThatDoesNotFitCannotHideTheKeys) {
  SignedInstall s;  // the archive is not signed
  std::string padded = s.inst;
  while (padded.size() < 1100) padded += "/.";
  const Snapshot before = TakeSnapshot(s.inst);
  EXPECT_EQ(RunUpdater({s.patch, padded, s.inst}), 1);
  EXPECT_EQ(s.Status(), "failed: 7\n");
  EXPECT_NE(s.Log().find("Refusing the update"), std::string::npos) << s.Log();
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "");
}

TEST(SignedUpdate, AReplaceRequestChecksNothing) {
  SignedInstall s;  // the archive is not signed, and a replace request does not read it
  WriteFile(s.inst + "/updated/bin/app", "version 2", 0755);
  WriteFile(s.inst + "/updated/update-keys/publisher.pub", ReadFile(s.publisher.pub));
  EXPECT_EQ(s.Run(s.inst + "/updated", "0/replace"), 0);
  EXPECT_EQ(ReadFile(s.inst + "/bin/app"), "version 2");
  EXPECT_EQ(s.Log().find("Signature"), std::string::npos) << s.Log();
}

TEST(SignedUpdate, ABuildThatRequiresSignaturesRefusesWithoutAKey) {
  for (bool with_key : {false, true}) {
    SignedInstall s;
    s.publisher.Sign(s.archive);
    if (!with_key) RemoveTree(s.inst + "/update-keys");
    const Snapshot before = TakeSnapshot(s.inst);
    EXPECT_EQ(Spawn({UPDATER_SIGNATURE_REQUIRED_BIN, s.patch, s.inst, s.inst}, {}),
              with_key ? 0 : 1);
    EXPECT_EQ(s.Status(), with_key ? "succeeded\n" : "failed: 24\n");
    if (!with_key) {
      EXPECT_NE(
          s.Log().find("Signature: refused: signatures are required and no trusted key is in " +
                       s.inst + "/update-keys\n"),
          std::string::npos)
          << s.Log();
      EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "");
    }
  }
}

}  // namespace
