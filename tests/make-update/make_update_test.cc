// SPDX-License-Identifier: MIT
// make-update end to end: release trees are generated, updates are built by the tool, applied by
// the real updater and the installation is compared with the new release.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "actions/action.h"
#include "actions/manifest.h"
#include "base/update_log.h"
#include "build.h"
#include "plan.h"
#include "support/log_capture.h"
#include "support/test_support.h"
#include "tree.h"

namespace {

using namespace testing_support;

std::string ShellQuote(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Standard output and standard error of `command` together.
Output RunCapture(const std::string &command) { return RunShell(command + " 2>&1"); }

Output MakeUpdate(const std::string &args) {
  return RunCapture(std::string(MAKE_UPDATE_BIN) + " --no-progress " + args);
}

// Applies `archive` in place to `install` with the real updater; returns its exit status.
int Apply(const TempDir &tmp, const std::string &archive, const std::string &install) {
  const std::string patch = tmp / "patchdir";
  RemoveTree(patch);
  MakeDirs(patch);
  if (Run("cp " + ShellQuote(archive) + " " + ShellQuote(patch + "/update.upk")) != 0) return -1;
  return Run("env -u DISPLAY " + ShellQuote(UPDATER_BIN) + " " + ShellQuote(patch) + " " +
             ShellQuote(install) + " " + ShellQuote(install));
}

// The product record that make-update writes for `version` of the product "app".
std::string AppRecord(const std::string &version) {
  return "update-product 1\nproduct app\nversion " + version + "\n";
}

// The installation must equal the release plus the generated precomplete list and, when `record`
// is given, the product record holding it.
void ExpectInstalled(const std::string &release, const std::string &install,
                     const std::string &record = "") {
  Snapshot expected = TakeSnapshot(release);
  Snapshot actual = TakeSnapshot(install);
  ASSERT_TRUE(actual.count("precomplete")) << "no precomplete installed";
  expected["precomplete"] = actual["precomplete"];
  if (!record.empty()) expected["update-product"] = Entry{'f', 0644, record};
  EXPECT_EQ(DiffSnapshots(expected, actual), "");
}

void CopyTree(const std::string &from, const std::string &to) {
  ASSERT_EQ(Run("cp -a " + ShellQuote(from) + " " + ShellQuote(to)), 0);
}

std::string Lines(int count, const std::string &tag) {
  std::string s;
  for (int i = 0; i < count; ++i) s += tag + " line " + std::to_string(i) + "\n";
  return s;
}

// A release of a few folders; `v` changes some of its contents.
void WriteRelease(const std::string &root, int v) {
  MakeDirs(root);
  WriteFile(root + "/bin/app", "#!/bin/sh\necho version " + std::to_string(v) + "\n", 0755);
  WriteFile(root + "/lib/big.dat", Lines(20000, "stable") + Lines(10, "v" + std::to_string(v)));
  WriteFile(root + "/share/doc/readme with spaces.txt", "read me\n");
  WriteFile(root + "/share/empty", "");
}

TEST(MakeUpdate, CompleteUpdateInstallsEveryFileAndListsThemForRemoval) {
  TempDir tmp;
  WriteRelease(tmp / "new", 1);
  WriteFile(tmp / "new/share/private.key", "secret\n", 0600);
  MakeDirs(tmp / "install");

  Output built = MakeUpdate("--product app --version 1.0 " + ShellQuote(tmp / "new") + " " +
                            ShellQuote(tmp / "u.upk"));
  ASSERT_EQ(built.status, 0) << built.text;
  ASSERT_EQ(Apply(tmp, tmp / "u.upk", tmp / "install"), 0) << ReadFile(tmp / "patchdir/update.log");
  ExpectInstalled(tmp / "new", tmp / "install", AppRecord("1.0"));
  EXPECT_EQ(ReadFile(tmp / "install/precomplete"),
            "remove \"bin/app\"\n"
            "remove \"lib/big.dat\"\n"
            "remove \"precomplete\"\n"
            "remove \"share/doc/readme with spaces.txt\"\n"
            "remove \"share/empty\"\n"
            "remove \"share/private.key\"\n"
            "remove \"update-product\"\n"
            "rmdir \"share/doc/\"\n"
            "rmdir \"share/\"\n"
            "rmdir \"lib/\"\n"
            "rmdir \"bin/\"\n");
  Output info = RunCapture(std::string(UPK_BIN) + " info " + ShellQuote(tmp / "u.upk"));
  EXPECT_NE(info.text.find("app"), std::string::npos) << info.text;
  EXPECT_NE(info.text.find("1.0"), std::string::npos) << info.text;
}

TEST(MakeUpdate, CompleteUpdateOverAnOlderOneRemovesWhatOnlyTheOlderShipped) {
  TempDir tmp;
  WriteRelease(tmp / "v1", 1);
  WriteFile(tmp / "v1/plugins/old/plugin.so", "old plugin\n", 0755);
  WriteFile(tmp / "v1/obsolete.txt", "gone in v2\n");
  WriteRelease(tmp / "v2", 2);
  MakeDirs(tmp / "install");

  ASSERT_EQ(MakeUpdate(ShellQuote(tmp / "v1") + " " + ShellQuote(tmp / "v1.upk")).status, 0);
  ASSERT_EQ(MakeUpdate(ShellQuote(tmp / "v2") + " " + ShellQuote(tmp / "v2.upk")).status, 0);
  ASSERT_EQ(Apply(tmp, tmp / "v1.upk", tmp / "install"), 0);
  ASSERT_EQ(Apply(tmp, tmp / "v2.upk", tmp / "install"), 0)
      << ReadFile(tmp / "patchdir/update.log");
  ExpectInstalled(tmp / "v2", tmp / "install");
}

TEST(MakeUpdate, PartialUpdateTurnsTheOldReleaseIntoTheNewOne) {
  TempDir tmp;
  WriteRelease(tmp / "old", 1);
  WriteRelease(tmp / "new", 2);
  // Replaced outright, changed mode, moved between folders, a removed tree, a file that becomes
  // a folder, a new folder, an unchanged file.
  std::string noise;
  for (uint32_t x = 1; noise.size() < 100000;)
    noise += static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  WriteFile(tmp / "old/lib/random.bin", noise);
  WriteFile(tmp / "new/lib/random.bin", Lines(2000, "completely different"));
  WriteFile(tmp / "old/bin/tool", "tool\n", 0644);
  WriteFile(tmp / "new/bin/tool", "tool\n", 0755);
  WriteFile(tmp / "old/a/moved.txt", "moving\n");
  WriteFile(tmp / "new/b/moved.txt", "moving\n");
  WriteFile(tmp / "old/gone/deeper/x", "x\n");
  WriteFile(tmp / "old/gone/y", "y\n");
  WriteFile(tmp / "old/becomes-dir", "file\n");
  WriteFile(tmp / "new/becomes-dir/inside", "now a folder\n");
  WriteFile(tmp / "new/fresh/dir/new.txt", "new\n");
  MakeDirs(tmp / "old/share/keep-empty");
  MakeDirs(tmp / "new/share/keep-empty");
  CopyTree(tmp / "old", tmp / "install");

  Output plan = MakeUpdate("--from " + ShellQuote(tmp / "old") + " --dry-run " +
                           ShellQuote(tmp / "new") + " " + ShellQuote(tmp / "unused.upk"));
  ASSERT_EQ(plan.status, 0) << plan.text;
  EXPECT_FALSE(Exists(tmp / "unused.upk"));
  EXPECT_NE(plan.text.find("patch \"patches/lib/big.dat.patch\" \"lib/big.dat\""),
            std::string::npos)
      << plan.text;
  EXPECT_NE(plan.text.find("add \"bin/tool\""), std::string::npos) << plan.text;
  EXPECT_NE(plan.text.find("add \"lib/random.bin\""), std::string::npos) << plan.text;
  EXPECT_EQ(plan.text.find("readme"), std::string::npos) << "unchanged file in\n" << plan.text;
  // Removals before additions, files before their folders.
  const size_t x = plan.text.find("remove \"gone/deeper/x\"");
  const size_t deeper = plan.text.find("rmdir \"gone/deeper/\"");
  const size_t gone = plan.text.find("rmdir \"gone/\"");
  const size_t add = plan.text.find("add \"");
  ASSERT_NE(gone, std::string::npos) << plan.text;
  EXPECT_LT(x, deeper);
  EXPECT_LT(deeper, gone);
  EXPECT_LT(plan.text.find("remove \"becomes-dir\""), add);

  Output built = MakeUpdate("--from " + ShellQuote(tmp / "old") + " " + ShellQuote(tmp / "new") +
                            " " + ShellQuote(tmp / "p.upk"));
  ASSERT_EQ(built.status, 0) << built.text;
  ASSERT_EQ(Apply(tmp, tmp / "p.upk", tmp / "install"), 0) << ReadFile(tmp / "patchdir/update.log");
  ExpectInstalled(tmp / "new", tmp / "install");

  // The patch is worth it: the partial update is far smaller than the complete one.
  RemoveTree(tmp / "new/share/keep-empty");  // a complete update cannot create it
  ASSERT_EQ(MakeUpdate(ShellQuote(tmp / "new") + " " + ShellQuote(tmp / "c.upk")).status, 0);
  struct stat partial, complete;
  ASSERT_EQ(stat((tmp / "p.upk").c_str(), &partial), 0);
  ASSERT_EQ(stat((tmp / "c.upk").c_str(), &complete), 0);
  EXPECT_LT(partial.st_size * 2, complete.st_size);
}

TEST(MakeUpdate, RmrfdirRemovesAVanishedTreeWithWhatTheInstallationAddedToIt) {
  TempDir tmp;
  WriteRelease(tmp / "old", 1);
  WriteFile(tmp / "old/cache/a/b", "b\n");
  WriteRelease(tmp / "new", 1);
  CopyTree(tmp / "old", tmp / "install");
  WriteFile(tmp / "install/cache/a/made-by-the-app", "runtime\n");

  Output built = MakeUpdate("--rmrfdir --from " + ShellQuote(tmp / "old") + " " +
                            ShellQuote(tmp / "new") + " " + ShellQuote(tmp / "p.upk"));
  ASSERT_EQ(built.status, 0) << built.text;
  ASSERT_EQ(Apply(tmp, tmp / "p.upk", tmp / "install"), 0) << ReadFile(tmp / "patchdir/update.log");
  ExpectInstalled(tmp / "new", tmp / "install");
}

TEST(MakeUpdate, OptionalAndIfMissingPathsFollowTheInstallation) {
  TempDir tmp;
  WriteRelease(tmp / "old", 1);
  WriteFile(tmp / "old/extras/tool.txt", Lines(5000, "extra") + "old\n");
  WriteFile(tmp / "old/settings.ini", "default=1\n");
  WriteRelease(tmp / "new", 2);
  WriteFile(tmp / "new/extras/tool.txt", Lines(5000, "extra") + "new\n");
  WriteFile(tmp / "new/extras/added.txt", "added\n");
  WriteFile(tmp / "new/settings.ini", "default=2\n");
  WriteFile(tmp / "new/defaults.ini", "x=1\n");
  // Installation A has the optional folder and user settings; B has neither.
  CopyTree(tmp / "old", tmp / "a");
  WriteFile(tmp / "a/settings.ini", "edited by the user\n");
  CopyTree(tmp / "old", tmp / "b");
  RemoveTree(tmp / "b/extras");
  RemoveTree(tmp / "b/settings.ini");

  Output built = MakeUpdate(
      "--optional extras/ --if-missing settings.ini --if-missing "
      "defaults.ini --from " +
      ShellQuote(tmp / "old") + " " + ShellQuote(tmp / "new") + " " + ShellQuote(tmp / "p.upk"));
  ASSERT_EQ(built.status, 0) << built.text;
  ASSERT_EQ(Apply(tmp, tmp / "p.upk", tmp / "a"), 0) << ReadFile(tmp / "patchdir/update.log");
  ASSERT_EQ(Apply(tmp, tmp / "p.upk", tmp / "b"), 0) << ReadFile(tmp / "patchdir/update.log");

  EXPECT_EQ(ReadFile(tmp / "a/extras/tool.txt"), ReadFile(tmp / "new/extras/tool.txt"));
  EXPECT_EQ(ReadFile(tmp / "a/extras/added.txt"), "added\n");
  EXPECT_EQ(ReadFile(tmp / "a/settings.ini"), "edited by the user\n");
  EXPECT_EQ(ReadFile(tmp / "a/defaults.ini"), "x=1\n");
  EXPECT_FALSE(Exists(tmp / "b/extras"));
  EXPECT_EQ(ReadFile(tmp / "b/settings.ini"), "default=2\n");
  EXPECT_EQ(ReadFile(tmp / "b/bin/app"), ReadFile(tmp / "new/bin/app"));
  // The list of installed files keeps user settings out of a complete update's removals.
  EXPECT_NE(ReadFile(tmp / "a/precomplete").find("remove-cc \"settings.ini\""), std::string::npos);
}

TEST(MakeUpdate, CheckPassesForAGoodUpdateAndCatchesACorruptOne) {
  TempDir tmp;
  WriteRelease(tmp / "old", 1);
  WriteRelease(tmp / "new", 2);
  const std::string trees = "--from " + ShellQuote(tmp / "old") + " " + ShellQuote(tmp / "new");
  const std::string updater = " --updater " + ShellQuote(UPDATER_BIN) + " ";

  Output good = MakeUpdate("--check" + updater + trees + " " + ShellQuote(tmp / "p.upk"));
  ASSERT_EQ(good.status, 0) << good.text;
  EXPECT_NE(good.text.find("check passed"), std::string::npos) << good.text;

  // An update built from other trees is a valid archive that produces the wrong release.
  WriteFile(tmp / "other/bin/app", "other\n", 0755);
  ASSERT_EQ(MakeUpdate(ShellQuote(tmp / "other") + " " + ShellQuote(tmp / "other.upk")).status, 0);
  Output wrong = MakeUpdate("--verify " + ShellQuote(tmp / "other.upk") + updater + trees);
  EXPECT_EQ(wrong.status, 4) << wrong.text;
  EXPECT_NE(wrong.text.find("CHECK FAILED"), std::string::npos) << wrong.text;

  // One flipped byte in the last member's compressed data makes the updater fail.
  std::string bytes = ReadFile(tmp / "p.upk");
  bytes[bytes.size() / 2] ^= 0x40;
  WriteFile(tmp / "broken.upk", bytes);
  Output broken = MakeUpdate("--verify " + ShellQuote(tmp / "broken.upk") + updater + trees);
  EXPECT_EQ(broken.status, 4) << broken.text;
  Output intact = MakeUpdate("--verify " + ShellQuote(tmp / "p.upk") + updater + trees);
  EXPECT_EQ(intact.status, 0) << intact.text;
}

// The archive's member of a manifest line: the patch for "patch", the file for the adds.
std::string MemberOf(const std::string &line) {
  std::vector<std::string> quoted;
  for (size_t at = line.find('"'); at != std::string::npos; at = line.find('"', at + 1)) {
    const size_t end = line.find('"', at + 1);
    quoted.push_back(line.substr(at + 1, end - at - 1));
    at = end;
  }
  if (line.rfind("patch-if ", 0) == 0) return quoted.at(1);
  if (line.rfind("patch ", 0) == 0) return quoted.at(0);
  if (line.rfind("addsymlink ", 0) == 0) return "";
  return line.rfind("add", 0) == 0 ? quoted.back() : "";
}

// Members go straight from the workers into the archive: the result does not depend on the
// number of threads, leaves nothing beside the archive, and holds exactly what the file-based
// writer makes of the same members in manifest order.
TEST(MakeUpdate, MembersAreWrittenStraightIntoTheArchiveInManifestOrder) {
  TempDir tmp;
  WriteRelease(tmp / "old", 1);
  WriteRelease(tmp / "new", 2);
  for (int i = 0; i < 30; ++i) {
    const std::string name = "/many/f" + std::to_string(i) + ".txt";
    WriteFile(tmp / "old" + name, Lines(50 + i * 40, "old " + std::to_string(i % 3)));
    WriteFile(tmp / "new" + name,
              Lines(50 + i * 40, i % 2 ? "new" : "old " + std::to_string(i % 3)),
              i % 5 ? 0644 : 0600);
  }
  MakeDirs(tmp / "out");
  const std::string trees = "--product app --version 2.0 --from " + ShellQuote(tmp / "old") + " " +
                            ShellQuote(tmp / "new") + " ";
  Output one = MakeUpdate("--jobs 1 " + trees + ShellQuote(tmp / "out/one.upk"));
  ASSERT_EQ(one.status, 0) << one.text;
  Output three = MakeUpdate("--jobs 3 " + trees + ShellQuote(tmp / "out/three.upk"));
  ASSERT_EQ(three.status, 0) << three.text;
  EXPECT_EQ(ReadFile(tmp / "out/one.upk"), ReadFile(tmp / "out/three.upk"));
  EXPECT_EQ(RunCapture("ls -A " + ShellQuote(tmp / "out")).text, "one.upk\nthree.upk\n");

  MakeDirs(tmp / "x");
  const std::string in_x = "cd " + ShellQuote(tmp / "x") + " && ";
  ASSERT_EQ(testing_support::Run(in_x + UPK_BIN + " extract ../out/one.upk"), 0);
  Output manifest = RunCapture("bzip2 -dc " + ShellQuote(tmp / "x/updatev3.manifest"));
  ASSERT_EQ(manifest.status, 0) << manifest.text;
  std::string members = "updatev3.manifest";
  size_t patches = 0;
  for (size_t at = 0, end; (end = manifest.text.find('\n', at)) != std::string::npos;
       at = end + 1) {
    const std::string member = MemberOf(manifest.text.substr(at, end - at));
    if (!member.empty()) members += " " + ShellQuote(member);
    patches += member.rfind("patches/", 0) == 0;
  }
  EXPECT_GE(patches, 10u) << manifest.text;
  ASSERT_EQ(testing_support::Run(in_x + UPK_BIN +
                                 " create --product app --version 2.0 ../again.upk " + members),
            0);
  EXPECT_EQ(ReadFile(tmp / "again.upk"), ReadFile(tmp / "out/one.upk"));

  CopyTree(tmp / "old", tmp / "install");
  ASSERT_EQ(Apply(tmp, tmp / "out/one.upk", tmp / "install"), 0)
      << ReadFile(tmp / "patchdir/update.log");
  ExpectInstalled(tmp / "new", tmp / "install", AppRecord("2.0"));
}

// A stamped first installation and every update after it carry the record of the version they
// hold; the check and --verify run the updater's product check against the old tree's record.
TEST(MakeUpdate, EveryUpdateCarriesTheProductRecordAndStampMakesTheFirstOne) {
  TempDir tmp;
  WriteRelease(tmp / "old", 1);
  WriteRelease(tmp / "new", 2);
  Output stamped =
      MakeUpdate("--stamp " + ShellQuote(tmp / "old") + " --product app --version 1.0");
  ASSERT_EQ(stamped.status, 0) << stamped.text;
  EXPECT_EQ(ReadFile(tmp / "old/update-product"), AppRecord("1.0"));
  // A stale record in the new tree is replaced, with a warning.
  WriteFile(tmp / "new/update-product", AppRecord("1.0"));
  const std::string trees = " --updater " + ShellQuote(UPDATER_BIN) + " --from " +
                            ShellQuote(tmp / "old") + " " + ShellQuote(tmp / "new");
  Output built =
      MakeUpdate("--check --product app --version 2.0" + trees + " " + ShellQuote(tmp / "p.upk"));
  ASSERT_EQ(built.status, 0) << built.text;
  EXPECT_NE(built.text.find("warning: the new tree's update-product is replaced"),
            std::string::npos)
      << built.text;
  Output verified =
      MakeUpdate("--verify " + ShellQuote(tmp / "p.upk") + " --product app --version 2.0" + trees);
  EXPECT_EQ(verified.status, 0) << verified.text;
  // Built for another product, the check's own updater refuses it against the old tree's record.
  Output other =
      MakeUpdate("--check --product other --version 2.0" + trees + " " + ShellQuote(tmp / "o.upk"));
  EXPECT_EQ(other.status, 4) << other.text;
  EXPECT_NE(other.text.find("failed: 22"), std::string::npos) << other.text;

  RemoveTree(tmp / "new/update-product");
  CopyTree(tmp / "old", tmp / "install");
  ASSERT_EQ(Apply(tmp, tmp / "p.upk", tmp / "install"), 0) << ReadFile(tmp / "patchdir/update.log");
  ExpectInstalled(tmp / "new", tmp / "install", AppRecord("2.0"));
  for (const char *bad : {"--stamp x --product app", "--stamp x --product a,b --version 1",
                          "--stamp x --product app --version 1 y"}) {
    EXPECT_EQ(MakeUpdate(bad).status, 2) << bad;
  }
}

TEST(MakeUpdate, SignSignsTheArchiveAndTheCheckUsesTheMatchingKey) {
  TempDir tmp;
  WriteRelease(tmp / "new", 1);
  const std::string upk = std::string(UPK_BIN) + " ";
  ASSERT_EQ(testing_support::Run(upk + "keygen " + ShellQuote(tmp / "k.pub") + " " +
                                 ShellQuote(tmp / "k.secret") + " >/dev/null"),
            0);
  ASSERT_EQ(testing_support::Run(upk + "keygen " + ShellQuote(tmp / "o.pub") + " " +
                                 ShellQuote(tmp / "o.secret") + " >/dev/null"),
            0);
  const std::string tail = " --updater " + ShellQuote(UPDATER_BIN) + " " + ShellQuote(tmp / "new");
  Output built = MakeUpdate("--check --sign " + ShellQuote(tmp / "k.secret") + tail + " " +
                            ShellQuote(tmp / "s.upk"));
  ASSERT_EQ(built.status, 0) << built.text;
  EXPECT_NE(built.text.find("signature check passed: signed by trusted key"), std::string::npos)
      << built.text;
  EXPECT_EQ(testing_support::Run(upk + "verify " + ShellQuote(tmp / "s.upk") + " " +
                                 ShellQuote(tmp / "k.pub") + " >/dev/null"),
            0);

  // --verify with another key: the signature check fails.
  Output other = MakeUpdate("--verify " + ShellQuote(tmp / "s.upk") + " --sign " +
                            ShellQuote(tmp / "o.secret") + tail);
  EXPECT_EQ(other.status, 4) << other.text;
  EXPECT_NE(other.text.find("CHECK FAILED: signed only by keys that are not trusted"),
            std::string::npos)
      << other.text;
  // A public key is no signing key: refused before anything is built.
  Output wrong =
      MakeUpdate("--sign " + ShellQuote(tmp / "k.pub") + tail + " " + ShellQuote(tmp / "w.upk"));
  EXPECT_EQ(wrong.status, 1) << wrong.text;
  EXPECT_NE(wrong.text.find("(is it a public key?)"), std::string::npos) << wrong.text;
  EXPECT_FALSE(Exists(tmp / "w.upk"));
}

// Shared-library links: an unchanged link needs no instruction; a new link, a new target and a
// file that became a link are made with "addsymlink", a vanished link is removed, as a partial and
// as a complete update; a failure after the links were made puts everything back.
TEST(MakeUpdate, LinksUpdateAsPartialAndCompleteAndRollBack) {
  TempDir tmp;
  for (int v : {1, 2}) {
    const std::string root = tmp / (v == 1 ? "old" : "new");
    WriteRelease(root, v);
    WriteFile(root + "/lib/libfoo.so.1." + std::to_string(v), "library " + std::to_string(v));
    ASSERT_EQ(
        symlink(("libfoo.so.1." + std::to_string(v)).c_str(), (root + "/lib/libfoo.so.1").c_str()),
        0);
    ASSERT_EQ(symlink("bin/app", (root + "/app-link").c_str()), 0);
  }
  WriteFile(tmp / "old/lib/libfoo.so", "a copy");
  ASSERT_EQ(symlink("libfoo.so.1", (tmp / "new/lib/libfoo.so").c_str()), 0);
  ASSERT_EQ(symlink("../bin", (tmp / "new/share/bin").c_str()), 0);
  ASSERT_EQ(symlink("bin/app", (tmp / "old/gone-link").c_str()), 0);
  WriteFile(tmp / "new/zz/last.bin", Lines(3000, "new file"));  // the last member: an add
  const std::string trees = "--from " + ShellQuote(tmp / "old") + " " + ShellQuote(tmp / "new");
  const std::string check = "--check --updater " + ShellQuote(UPDATER_BIN) + " ";

  Output partial = MakeUpdate(check + trees + " " + ShellQuote(tmp / "p.upk"));
  ASSERT_EQ(partial.status, 0) << partial.text;
  EXPECT_NE(partial.text.find("note: 3 symbolic links are made with \"addsymlink\": the archive "
                              "needs an updater that knows \"addsymlink\""),
            std::string::npos)
      << partial.text;
  Output listing = MakeUpdate("--dry-run " + trees + " " + ShellQuote(tmp / "unused.upk"));
  for (const char *line : {"addsymlink \"lib/libfoo.so\" \"libfoo.so.1\"",
                           "addsymlink \"lib/libfoo.so.1\" \"libfoo.so.1.2\"",
                           "addsymlink \"share/bin\" \"../bin\"", "remove \"gone-link\""}) {
    EXPECT_NE(listing.text.find(line), std::string::npos) << line << "\n" << listing.text;
  }
  EXPECT_EQ(listing.text.find("\"app-link\""), std::string::npos) << listing.text;
  CopyTree(tmp / "old", tmp / "inst");
  ASSERT_EQ(Apply(tmp, tmp / "p.upk", tmp / "inst"), 0);
  ExpectInstalled(tmp / "new", tmp / "inst");
  EXPECT_NE(ReadFile(tmp / "inst/precomplete").find("remove \"lib/libfoo.so.1\"\n"),
            std::string::npos);
  EXPECT_EQ(ReadFile(tmp / "inst/precomplete").find("share/bin\""), std::string::npos);

  // The complete update over the same installation removes the listed links and makes them anew.
  Output complete = MakeUpdate(check + ShellQuote(tmp / "new") + " " + ShellQuote(tmp / "c.upk"));
  ASSERT_EQ(complete.status, 0) << complete.text;
  EXPECT_NE(complete.text.find("note: 4 symbolic links"), std::string::npos) << complete.text;
  ASSERT_EQ(Apply(tmp, tmp / "c.upk", tmp / "inst"), 0);
  ExpectInstalled(tmp / "new", tmp / "inst");

  // A damaged last member fails the update after the links were made: all of it is undone.
  MakeDirs(tmp / "x");
  const std::string in_x = "cd " + ShellQuote(tmp / "x") + " && ";
  ASSERT_EQ(testing_support::Run(in_x + UPK_BIN + " extract ../p.upk"), 0);
  std::string bytes = ReadFile(tmp / "p.upk");
  const size_t last = bytes.find(ReadFile(tmp / "x/zz/last.bin"));
  ASSERT_NE(last, std::string::npos);
  bytes[last + 1000] ^= 0x40;
  WriteFile(tmp / "broken.upk", bytes);
  CopyTree(tmp / "old", tmp / "inst2");
  const Snapshot before = TakeSnapshot(tmp / "inst2");
  EXPECT_NE(Apply(tmp, tmp / "broken.upk", tmp / "inst2"), -1);
  EXPECT_NE(ReadFile(tmp / "patchdir/update.status"), "succeeded\n");
  EXPECT_NE(ReadFile(tmp / "patchdir/update.log").find("FINISH ADDSYMLINK share/bin"),
            std::string::npos);
  // Only the empty folder made for the new file may stay.
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(tmp / "inst2")), "unexpected: zz (d mode 755)\n");
}

// Each tree holds one thing a manifest cannot express; the tool names it and writes nothing.
TEST(MakeUpdate, RefusesWhatAnUpdateCannotExpress) {
  TempDir tmp;
  struct Case {
    const char *name;
    void (*make)(const std::string &root);
    const char *message;
  };
  const Case cases[] = {
      {"link-out",
       [](const std::string &r) { ASSERT_EQ(symlink("../../etc", (r + "/bin/l").c_str()), 0); },
       "symbolic link bin/l -> ../../etc: a link's target must be relative and stay inside"},
      {"link-absolute",
       [](const std::string &r) { ASSERT_EQ(symlink("/etc/passwd", (r + "/l").c_str()), 0); },
       "symbolic link l -> /etc/passwd"},
      {"dir-to-link",
       [](const std::string &r) {
         RemoveTree(r + "/share/doc");
         ASSERT_EQ(symlink("../bin", (r + "/share/doc").c_str()), 0);
       },
       "is a link in the new tree"},
      {"quote", [](const std::string &r) { WriteFile(r + "/a\"b", "x"); }, "double quote"},
      {"newline", [](const std::string &r) { WriteFile(r + "/a\nb", "x"); }, "line break"},
      {"dots", [](const std::string &r) { WriteFile(r + "/v1..2/x", "x"); }, "\"..\""},
      {"long",
       [](const std::string &r) {
         WriteFile(r + "/" + std::string(200, 'd') + "/" + std::string(200, 'e') + "/" +
                       std::string(200, 'f') + "/" + std::string(200, 'g') + "/" +
                       std::string(220, 'h'),
                   "x");
       },
       "too long"},
      {"empty-dir", [](const std::string &r) { MakeDirs(r + "/nothing/here"); }, "empty folder"},
      {"manifest", [](const std::string &r) { WriteFile(r + "/updatev3.manifest", "x"); },
       "clash with the update's manifest"},
      {"setuid", [](const std::string &r) { WriteFile(r + "/suid", "x", 04755); }, "set-user-ID"},
      {"clash", [](const std::string &r) { WriteFile(r + "/patches/lib/big.dat.patch", "x"); },
       "patch member"},
      {"dir-to-file",
       [](const std::string &r) {
         RemoveTree(r + "/share/doc");
         WriteFile(r + "/share/doc", "now a file");
       },
       "is a file in the new tree"},
      {"huge",
       [](const std::string &r) {
         WriteFile(r + "/huge", "");  // sparse: takes no space
         ASSERT_EQ(truncate((r + "/huge").c_str(), 1ll << 32), 0);
       },
       "4 GiB"},
  };
  WriteRelease(tmp / "old", 1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = tmp / c.name;
    WriteRelease(root, 2);
    c.make(root);
    const std::string out = tmp / (std::string(c.name) + ".upk");
    Output r = MakeUpdate("--from " + ShellQuote(tmp / "old") + " " + ShellQuote(root) + " " +
                          ShellQuote(out));
    EXPECT_EQ(r.status, 3) << r.text;
    EXPECT_NE(r.text.find(c.message), std::string::npos) << r.text;
    EXPECT_FALSE(Exists(out));
    RemoveTree(root);
  }
  Output usage = MakeUpdate("--product " + std::string(64, 'p') + " a b");
  EXPECT_EQ(usage.status, 2) << usage.text;
}

}  // namespace

namespace {

// Every instruction kind the tool writes is read by the updater's own parser without a message.
TEST(MakeUpdateManifest, ParsesWithTheUpdatersParserWithoutAnyMessage) {
  TempDir tmp;
  WriteRelease(tmp / "old", 1);
  WriteFile(tmp / "old/extras/tool.txt", Lines(5000, "extra") + "old\n");
  WriteFile(tmp / "old/gone/x", "x\n");
  WriteRelease(tmp / "new", 2);
  WriteFile(tmp / "new/extras/tool.txt", Lines(5000, "extra") + "new\n");
  WriteFile(tmp / "new/extras/added.txt", "added\n");
  WriteFile(tmp / "new/settings.ini", "default\n");
  Output plan = MakeUpdate("--dry-run --optional extras --if-missing settings.ini --from " +
                           ShellQuote(tmp / "old") + " " + ShellQuote(tmp / "new") + " x.upk");
  ASSERT_EQ(plan.status, 0) << plan.text;
  std::string manifest;
  size_t instructions = 0;
  for (size_t pos = 0; pos < plan.text.size();) {
    size_t end = plan.text.find('\n', pos);
    const std::string line = plan.text.substr(pos, end - pos);
    pos = end + 1;
    if (line.find(" total of the members") != std::string::npos) break;
    manifest += line.substr(14) + "\n";  // drop the size column
    ++instructions;
  }
  for (const char *kind :
       {"\nadd-if \"extras\" \"extras/added.txt\"\n",
        "\npatch-if \"extras/tool.txt\" \"patches/extras/tool.txt.patch\" "
        "\"extras/tool.txt\"\n",
        "\nadd-if-not \"settings.ini\" \"settings.ini\"\n", "\nremove \"gone/x\"\n",
        "\nrmdir \"gone/\"\n", "\npatch \"patches/lib/big.dat.patch\""}) {
    EXPECT_NE(manifest.find(kind), std::string::npos) << kind << " missing from\n" << manifest;
  }

  testing_support::LogCapture log;
  ManifestTexts texts;
  UpdateContext context;
  ActionList list(&context);
  char *text = texts.Keep(strdup(manifest.c_str()));
  EXPECT_EQ(ParseManifest(text, &list, &texts), 0);
  EXPECT_EQ(list.count(), static_cast<int>(instructions) - 1);  // all but the type line
  list.Destroy();
  EXPECT_EQ(log.Text(), "UPDATE TYPE partial\n");
}

// The archive limit in a build of its own, lowered: the worst case bounds the real archive, and a
// build whose members cannot fit stops before it has compressed every file.
TEST(MakeUpdateArchiveLimit, WorstCaseBoundsTheArchiveAndAnOversizedBuildStopsEarly) {
  TempDir tmp;
  const int files = 8;
  uint32_t seed = 12345;
  for (int i = 0; i < files; ++i) {
    std::string noise(256 * 1024, '\0');
    for (char &c : noise) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 23);
    WriteFile(tmp / ("new/f" + std::to_string(i)), noise);
  }
  auto plan_of = [&](make_update::Plan *plan) {
    make_update::Tree tree;
    std::vector<std::string> problems, warnings;
    ASSERT_TRUE(make_update::ScanTree(tmp / "new", "new tree", &tree, &problems));
    ASSERT_TRUE(make_update::MakePlan(nullptr, tree, {}, tmp / "gen", plan, &problems, &warnings));
    WriteFile(tmp / "gen/precomplete", plan->precomplete);
  };
  make_update::Plan plan;
  plan_of(&plan);
  make_update::MemberStore store;
  std::string error;
  ASSERT_TRUE(store.Open(tmp.path(), &error)) << error;
  make_update::BuildSettings settings;
  settings.jobs = 1;
  ASSERT_TRUE(make_update::BuildMembers(&plan, &store, settings, &error)) << error;
  ASSERT_TRUE(make_update::WriteArchive(make_update::Instructions(plan), store, tmp / "u.upk", "",
                                        "", &error))
      << error;
  struct stat st;
  ASSERT_EQ(stat((tmp / "u.upk").c_str(), &st), 0);
  EXPECT_GT(st.st_size, files * 256 * 1024);  // noise does not compress
  EXPECT_LE(static_cast<uint64_t>(st.st_size), make_update::WorstCaseArchiveSize(plan));

  make_update::Plan over;
  plan_of(&over);
  make_update::MemberStore sizes_only;
  settings.archive_limit = 3 * 256 * 1024;
  EXPECT_FALSE(make_update::BuildMembers(&over, &sizes_only, settings, &error));
  EXPECT_NE(error.find("the update does not fit in one archive"), std::string::npos) << error;
  EXPECT_NE(error.find("split the release"), std::string::npos) << error;
  int compressed = 0;
  for (const make_update::Carry &carry : over.carries) compressed += carry.add_size > 0;
  EXPECT_LE(compressed, 5) << "the build went on after the members could no longer fit";
}

}  // namespace
