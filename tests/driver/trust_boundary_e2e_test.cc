// SPDX-License-Identifier: MIT
// The real updater against the ways around its signature check: a genuinely signed older release
// or another product's, keys that lead nowhere, privileged modes in the archive, links planted at
// its state files, a patch folder others can write, and an archive rewritten after its check. Each
// is refused (or defused) with the installation and a folder outside it untouched. Installations
// without a product record update as they always did.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "base/byte_order.h"
#include "base/product_record.h"
#include "support/run_updater.h"
#include "support/signing_keys.h"
#include "support/test_support.h"
#include "support/traced_run.h"
#include "support/upk_builder.h"

using namespace testing_support;

namespace {

class TrustBoundary : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(inst_ + "/bin/app", "version 2", 0755);
    WriteFile(tmp_ / "outside/victim", "precious");
    MakeDirs(patch_, 0700);
  }
  // The installation trusts the publisher's key and, with `version`, names its product "app".
  void Trust(const std::string &version = "") {
    WriteFile(inst_ + "/update-keys/publisher.pub", ReadFile(publisher_.pub));
    if (!version.empty()) {
      WriteFile(inst_ + "/update-product", FormatProductRecord({"app", version}));
    }
  }
  // update.upk, a complete update replacing bin/app with `app`, for `product` `version`, signed
  // when `sign`.
  void Archive(const std::string &product, const std::string &version, bool sign,
               const std::string &app = "version 3") {
    ASSERT_TRUE(WriteUpk(
        archive_,
        {{"updatev3.manifest", "type \"complete\"\nadd \"bin/app\"\n"}, {"bin/app", app, 0755}},
        product, version));
    if (sign) publisher_.Sign(archive_);
  }
  int Run() { return e2e::RunUpdater({patch_, inst_, inst_}, {}, tmp_ / "stderr"); }
  std::string Status() { return ReadFile(patch_ + "/update.status"); }
  std::string Log() { return ReadFile(patch_ + "/update.log"); }
  // Nothing changed in the installation or outside it since `Keep`.
  void Keep() {
    inst_before_ = TakeSnapshot(inst_);
    outside_before_ = TakeSnapshot(tmp_ / "outside");
  }
  void ExpectUntouched(const std::string &what) {
    EXPECT_EQ(DiffSnapshots(inst_before_, TakeSnapshot(inst_)), "") << what;
    EXPECT_EQ(DiffSnapshots(outside_before_, TakeSnapshot(tmp_ / "outside")), "") << what;
  }
  void ExpectLogLine(const std::string &line) {
    EXPECT_NE(Log().find("\n" + line + "\n"), std::string::npos) << line << "\n" << Log();
  }

  TempDir tmp_;
  std::string inst_ = tmp_ / "inst", patch_ = tmp_ / "p", archive_ = patch_ + "/update.upk";
  TestKeyPair publisher_{tmp_, "publisher"};
  Snapshot inst_before_, outside_before_;
};

TEST_F(TrustBoundary, ASignedOlderReleaseOrAnotherProductIsRefusedBeforeAnythingChanges) {
  Trust("2.0");
  struct Case {
    std::string product, version, status, line;
  };
  for (const Case &c : std::vector<Case>{
           {"app", "1.0", "failed: 23\n",
            "Product: update.upk refused: it brings version 1.0 of app, older than the installed "
            "version 2.0"},
           {"other", "3.0", "failed: 22\n",
            "Product: update.upk refused: it is for product \"other\", this installation is "
            "\"app\""}}) {
    Archive(c.product, c.version, true);
    Keep();
    EXPECT_EQ(Run(), 1) << c.line;
    EXPECT_EQ(Status(), c.status);
    ExpectLogLine(c.line);
    ExpectLogLine("Signature: update.upk signed by trusted key " + publisher_.id + " (" + inst_ +
                  "/update-keys/publisher.pub)");
    ExpectUntouched(c.line);
  }
  // The same version is accepted, as the check defines it.
  Archive("app", "2.0", true);
  EXPECT_EQ(Run(), 0);
  ExpectLogLine("Product: update.upk brings app 2.0 (installed: app 2.0)");
  EXPECT_EQ(ReadFile(inst_ + "/bin/app"), "version 3");
}

TEST_F(TrustBoundary, KeysThatLeadNowhereRefuseAnUnsignedArchive) {
  ASSERT_EQ(symlink((tmp_ / "no-such-folder").c_str(), (inst_ + "/update-keys").c_str()), 0);
  Archive("app", "3.0", false);
  Keep();
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Status(), "failed: 24\n");
  ExpectLogLine("Signature: refused: the key folder " + inst_ +
                "/update-keys cannot be read: No such file or directory");
  ExpectUntouched("dangling update-keys");
}

// A link at the product record's name is refused, not followed, even to a record that would
// accept the archive.
TEST_F(TrustBoundary, AProductRecordThatIsALinkIsRefused) {
  WriteFile(tmp_ / "outside/record", FormatProductRecord({"app", "1.0"}));
  ASSERT_EQ(symlink((tmp_ / "outside/record").c_str(), (inst_ + "/update-product").c_str()), 0);
  Archive("app", "3.0", false);
  Keep();
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Status(), "failed: 21\n");
  ExpectLogLine("Product: refused: the product record " + inst_ +
                "/update-product is a link, which is not followed");
  ExpectUntouched("linked update-product");
}

TEST_F(TrustBoundary, SetuidSetgidAndStickyFlagsInTheArchiveAreDropped) {
  std::vector<UpkEntry> entries = {{"updatev3.manifest", "add \"u\"\nadd \"g\"\nadd \"t\"\n"},
                                   {"u", "u", 0755},
                                   {"g", "g", 0755},
                                   {"t", "t", 0777}};
  ASSERT_TRUE(WriteUpk(archive_, entries));
  // Our writer keeps only permission bits: the flags are set in the index by hand.
  auto be32 = [](uint32_t value) {
    std::string out(4, '\0');
    StoreBE32(reinterpret_cast<unsigned char *>(&out[0]), value);
    return out;
  };
  std::string bytes = ReadFile(archive_);
  for (const auto &[name, from, to] : std::vector<std::tuple<std::string, uint32_t, uint32_t>>{
           {"u", 0755, 04755}, {"g", 0755, 02755}, {"t", 0777, 01777}}) {
    const std::string entry = be32(from) + name + std::string(1, '\0');  // flags, name, NUL
    const size_t at = bytes.rfind(entry);
    ASSERT_NE(at, std::string::npos) << name;
    bytes.replace(at, 4, be32(to));
  }
  WriteFile(archive_, bytes);
  const mode_t old_mask = umask(0);  // the archive's bits land unchanged
  const int rv = Run();
  umask(old_mask);
  EXPECT_EQ(rv, 0) << Log();
  EXPECT_EQ(Mode(inst_ + "/u"), 0755u);
  EXPECT_EQ(Mode(inst_ + "/g"), 0755u);
  EXPECT_EQ(Mode(inst_ + "/t"), 0777u);
}

TEST_F(TrustBoundary, LinksAtTheStateFilesAndAPatchFolderOthersCanWriteAreRefused) {
  Archive("app", "3.0", false);
  const std::string target = tmp_ / "outside/victim";
  // A link at the status file's temporary: no status can be written, so nothing else happens.
  ASSERT_EQ(symlink(target.c_str(), (patch_ + "/update.status.tmp").c_str()), 0);
  Keep();
  EXPECT_EQ(Run(), 1);
  EXPECT_NE(ReadFile(tmp_ / "stderr")
                .find("refusing to write through " + patch_ + "/update.status.tmp: it is a link"),
            std::string::npos)
      << ReadFile(tmp_ / "stderr");
  EXPECT_FALSE(Exists(patch_ + "/update.status"));
  ExpectUntouched("link at update.status.tmp");
  ASSERT_EQ(unlink((patch_ + "/update.status.tmp").c_str()), 0);
  RemoveTree(patch_ + "/update.log");  // opened before the status was refused

  // A link at the log: the update runs without a log and writes nothing through the link.
  ASSERT_EQ(symlink(target.c_str(), (patch_ + "/update.log").c_str()), 0);
  Keep();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_NE(ReadFile(tmp_ / "stderr").find("refusing to write through " + patch_ + "/update.log"),
            std::string::npos);
  EXPECT_EQ(ReadFile(target), "precious");
  EXPECT_EQ(DiffSnapshots(outside_before_, TakeSnapshot(tmp_ / "outside")), "");
  ASSERT_EQ(unlink((patch_ + "/update.log").c_str()), 0);

  // A patch folder that the group may write: refused before anything is read from it.
  ASSERT_EQ(unlink((patch_ + "/update.status").c_str()), 0);
  ASSERT_EQ(chmod(patch_.c_str(), 0770), 0);
  Archive("app", "3.0", false, "version 4");
  Keep();
  EXPECT_EQ(Run(), 1);
  EXPECT_NE(ReadFile(tmp_ / "stderr")
                .find("refusing the patch directory " + patch_ +
                      ": its group or other users may write it (mode 0770)"),
            std::string::npos)
      << ReadFile(tmp_ / "stderr");
  EXPECT_FALSE(Exists(patch_ + "/update.status"));
  EXPECT_FALSE(Exists(patch_ + "/update.log"));
  ExpectUntouched("group-writable patch folder");
}

// The archive is rewritten in place (same file, same inode) while the updater is stopped right
// after its "signed by trusted key" line: what it installs is still what it verified.
TEST_F(TrustBoundary, AnArchiveRewrittenAfterItsCheckInstallsTheCheckedBytes) {
  Trust();
  Archive("app", "3.0", true, "verified");
  const std::string forged = tmp_ / "forged.upk";
  TestKeyPair other(tmp_, "other");  // signed, but by a key the installation does not trust
  ASSERT_TRUE(WriteUpk(forged,
                       {{"updatev3.manifest", "add \"bin/app\"\n"}, {"bin/app", "forged!!", 0755}},
                       "app", "3.0"));
  other.Sign(forged);
  const ino_t inode = [&] {
    struct stat st;
    return stat(archive_.c_str(), &st) == 0 ? st.st_ino : 0;
  }();
  bool rewritten = false;
  int exit_code = -1;
  // The leak check of a sanitizer build cannot run under a tracer.
  RunTraced(
      {UPDATER_BIN, patch_, inst_, inst_}, {"PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"},
      [&](pid_t, long) {
        if (rewritten || Log().find("signed by trusted key") == std::string::npos) return;
        const std::string bytes = ReadFile(forged);
        const int fd = open(archive_.c_str(), O_WRONLY);  // in place: no new file
        rewritten = fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) &&
                    ftruncate(fd, off_t(bytes.size())) == 0;
        if (fd >= 0) close(fd);
      },
      &exit_code);
  ASSERT_TRUE(rewritten);
  struct stat st;
  ASSERT_EQ(stat(archive_.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, inode);
  EXPECT_EQ(ReadFile(archive_), ReadFile(forged));
  EXPECT_EQ(exit_code, 0) << Log();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(ReadFile(inst_ + "/bin/app"), "verified");
}

// Without a product record an update is not product-checked, signed or not, and says so once.
TEST_F(TrustBoundary, UpdatesWithoutAProductRecordBehaveAsBefore) {
  for (bool trusted : {false, true}) {
    if (trusted) Trust();
    Archive("any", "0.1", trusted, trusted ? "signed" : "unsigned");
    EXPECT_EQ(Run(), 0) << Log();
    EXPECT_EQ(Status(), "succeeded\n");
    EXPECT_EQ(ReadFile(inst_ + "/bin/app"), trusted ? "signed" : "unsigned");
    ExpectLogLine("Product: update.upk not checked: no product record at " + inst_ +
                  "/update-product");
    ExpectLogLine(trusted ? "Signature: update.upk signed by trusted key " + publisher_.id + " (" +
                                inst_ + "/update-keys/publisher.pub)"
                          : "Signature: update.upk not checked: no trusted key in " + inst_ +
                                "/update-keys");
  }
}

}  // namespace
