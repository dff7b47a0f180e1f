// SPDX-License-Identifier: MIT
// End-to-end runs of the real updater over real installations with real update archives (bzip2
// members written by our own archive writer, real patches): complete and partial updates, the
// rollback of a failure in the middle of a manifest, staged updates and their replace request, and
// the same outcome with and without decoding threads.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/run_updater.h"
#include "kbdiff/make_patch.h"
#include "support/test_patch.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

using namespace testing_support;
using namespace e2e;

namespace {

// A patch as the publishing tools make it.
std::string GeneratedPatch(const std::string &from, const std::string &to) {
  std::vector<uint8_t> patch;
  MakePatchStatus status =
      ::MakePatch(reinterpret_cast<const uint8_t *>(from.data()), from.size(),
                  reinterpret_cast<const uint8_t *>(to.data()), to.size(), &patch);
  EXPECT_EQ(status, MakePatchStatus::kOk);
  return std::string(patch.begin(), patch.end());
}

// Version 1 of a small installation, with the archive's contents for its update to version 2.
struct Install {
  TempDir dir;
  std::string inst = dir / "inst";
  std::string patch = dir / "p";
  std::string archive = patch + "/update.upk";

  const std::string lib_v1 = std::string(3000, 'L') + "library version 1";
  const std::string lib_v2 = std::string(2990, 'L') + "library version 2, rebuilt";
  const std::string readme_v1 = "read me, version 1\n";
  const std::string readme_v2 = "read me, version 2 with more words\n";

  Install() {
    WriteFile(inst + "/bin/app", "#!/bin/sh\necho app 1\n", 0755);
    WriteFile(inst + "/lib/libx.so", lib_v1, 0640);
    WriteFile(inst + "/data/readme.txt", readme_v1);
    WriteFile(inst + "/data/old/a", "a");
    WriteFile(inst + "/data/old/b/c", "c", 0600);
    MakeDirs(inst + "/emptydir");
    WriteFile(inst + "/gone.txt", "gone");
    WriteFile(inst + "/cond/present", "p");
    EXPECT_EQ(symlink("bin/app", (inst + "/link").c_str()), 0);
    MakeDirs(patch);
  }

  // The members every manifest below may use.
  std::vector<UpkEntry> Members() const {
    return {{"bin/app", "#!/bin/sh\necho app 2\n", 0755},
            {"data/new.txt", "new data", 0600},
            {"cond/added-if", "if"},
            {"cond/added-if-not", "if not"},
            {"cond/never", "never"},
            {"patches/lib.patch", GeneratedPatch(lib_v1, lib_v2)},
            {"patches/readme.patch", GeneratedPatch(readme_v1, readme_v2)},
            {"patches/wrong.patch", MakePatch("not the library", "x")},
            {"empty", "", 0644, true}};
  }
  bool Write(const std::string &manifest, const std::string &name = "updatev3.manifest") const {
    std::vector<UpkEntry> entries = Members();
    entries.insert(entries.begin(), {name, manifest});
    return WriteUpk(archive, entries);
  }
  int Run(const std::vector<std::string> &env = {}) const {
    return RunUpdater({patch, inst, inst}, env);
  }
  std::string Status() const { return ReadFile(patch + "/update.status"); }
  std::string Log() const { return ReadFile(patch + "/update.log"); }
};

const char kEveryInstruction[] =
    "# every instruction once\n"
    "type \"partial\"\n"
    "remove \"gone.txt\"\n"
    "rmdir \"emptydir/\"\n"
    "rmrfdir \"data/old/\"\n"
    "add \"data/new.txt\"\n"
    "add \"bin/app\"\n"
    "add-if \"cond/present\" \"cond/added-if\"\n"
    "add-if \"cond/missing\" \"cond/never\"\n"
    "add-if-not \"cond/missing\" \"cond/added-if-not\"\n"
    "add-if-not \"cond/present\" \"cond/never\"\n"
    "patch \"patches/lib.patch\" \"lib/libx.so\"\n"
    "patch-if \"data/readme.txt\" \"patches/readme.patch\" \"data/readme.txt\"\n"
    "patch-if \"cond/missing\" \"patches/wrong.patch\" \"lib/libx.so\"\n";

TEST(WholeUpdate, PartialUpdateUsingEveryInstruction) {
  Install s;
  ASSERT_TRUE(s.Write(kEveryInstruction));
  Snapshot expected = TakeSnapshot(s.inst);
  for (const char *gone :
       {"gone.txt", "emptydir", "data/old", "data/old/a", "data/old/b", "data/old/b/c"}) {
    expected.erase(gone);
  }
  expected["data/new.txt"] = {'f', 0600, "new data"};
  expected["bin/app"] = {'f', 0755, "#!/bin/sh\necho app 2\n"};
  expected["cond/added-if"] = {'f', 0644, "if"};
  expected["cond/added-if-not"] = {'f', 0644, "if not"};
  expected["lib/libx.so"] = {'f', 0640, s.lib_v2};
  expected["data/readme.txt"] = {'f', 0644, s.readme_v2};

  EXPECT_EQ(s.Run(), 0);
  EXPECT_EQ(s.Status(), "succeeded\n");
  EXPECT_EQ(DiffSnapshots(expected, TakeSnapshot(s.inst)), "");
  std::string log = s.Log();
  EXPECT_NE(
      log.find("UPDATE TYPE partial\nPREPARE REMOVEFILE gone.txt\nPREPARE REMOVEDIR emptydir/\n"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("EXECUTE PATCH lib/libx.so\nEXECUTE PATCH data/readme.txt\n"),
            std::string::npos);
  EXPECT_NE(log.find("FINISH REMOVEDIR data/old/\n"), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 33), "succeeded\ncalling QuitProgressUI\n");
}

// A complete update first removes what "precomplete" lists, then adds the new version.
TEST(WholeUpdate, CompleteUpdateRemovesThePrecompleteListFirst) {
  Install s;
  WriteFile(s.inst + "/precomplete",
            "remove \"bin/app\"\nremove \"gone.txt\"\nremove \"lib/libx.so\"\nremove-cc \"x\"\n"
            "rmdir \"lib/\"\nrmdir \"emptydir/\"\nremove \"precomplete\"\n");
  ASSERT_TRUE(s.Write("type \"complete\"\nadd \"bin/app\"\nadd \"data/new.txt\"\n"));
  Snapshot expected = TakeSnapshot(s.inst);
  for (const char *gone : {"gone.txt", "emptydir", "lib", "lib/libx.so", "precomplete"}) {
    expected.erase(gone);
  }
  expected["bin/app"] = {'f', 0755, "#!/bin/sh\necho app 2\n"};
  expected["data/new.txt"] = {'f', 0600, "new data"};

  EXPECT_EQ(s.Run(), 0);
  EXPECT_EQ(s.Status(), "succeeded\n");
  EXPECT_EQ(DiffSnapshots(expected, TakeSnapshot(s.inst)), "");
  EXPECT_NE(s.Log().find("UPDATE TYPE complete\nPREPARE REMOVEFILE bin/app\n"), std::string::npos);
}

// A failure in the middle of the Execute pass puts everything back: contents, modes and links are
// as before, and no backup or scratch folder is left.
TEST(WholeUpdate, ExecuteFailureInTheMiddleRollsEverythingBack) {
  struct Case {
    std::string failing_line;
    int code;
  };
  for (const Case &c : {
           Case{"patch \"patches/wrong.patch\" \"data/readme.txt\"", 42},
           Case{"add \"empty\"", 40},
           Case{"add \"data/no-such-member\"", 6},
       }) {
    SCOPED_TRACE(c.failing_line);
    Install s;
    std::string manifest = kEveryInstruction;
    // After every other kind of change, the patches included, has been made.
    manifest.insert(manifest.find("patch-if \"cond/missing\""), c.failing_line + "\n");
    ASSERT_TRUE(s.Write(manifest));
    Snapshot before = TakeSnapshot(s.inst);
    EXPECT_EQ(s.Run(), 1);
    EXPECT_EQ(s.Status(), "failed: " + std::to_string(c.code) + "\n");
    Snapshot after = TakeSnapshot(s.inst);
    EXPECT_EQ(DiffSnapshots(before, after), "");
    EXPECT_NE(s.Log().find("### execution failed\n"), std::string::npos);
  }
}

// A manifest that changed one path twice and then failed used to restore the version in between
// (the second backup overwrote the first); a ".kiv-backup" left by somebody else was put back over
// the current file. Both now end exactly as before the update.
TEST(WholeUpdate, PathChangedTwiceThenFailureRestoresTheOriginal) {
  Install s;
  WriteFile(s.inst + "/data/readme.txt.kiv-backup", "not this update's backup");
  ASSERT_TRUE(s.Write("add \"bin/app\"\nadd \"bin/app\"\n"
                      "patch \"patches/readme.patch\" \"data/readme.txt\"\nadd \"empty\"\n"));
  Snapshot before = TakeSnapshot(s.inst);
  before.erase("data/readme.txt.kiv-backup");  // removed before the first change
  EXPECT_EQ(s.Run(), 1);
  EXPECT_EQ(s.Status(), "failed: 40\n");
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "");
  EXPECT_FALSE(Exists(s.patch + "/update.journal"));
}

// A replace request killed between its two moves (on a file system that cannot exchange) leaves
// the installation missing and its ".bak" present: the next run puts it back before anything else.
TEST(WholeUpdate, MissingInstallationBesideItsBakIsPutBack) {
  Install s;
  Snapshot before = TakeSnapshot(s.inst);
  ASSERT_EQ(rename(s.inst.c_str(), (s.inst + ".bak").c_str()), 0);
  ASSERT_TRUE(s.Write("add \"bin/app\"\n"));
  EXPECT_EQ(s.Run(), 0);
  EXPECT_EQ(s.Status(), "succeeded\n");
  EXPECT_FALSE(Exists(s.inst + ".bak"));
  before["bin/app"] = TakeSnapshot(s.inst)["bin/app"];
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "");
  EXPECT_NE(s.Log().find("Recovery: the installation " + s.inst + " is missing; moving " + s.inst +
                         ".bak back\n"),
            std::string::npos);
}

// The same size with other bytes fails the CRC check (4).
TEST(WholeUpdate, PatchOfAChangedFileFailsTheCrcCheckAndRollsBack) {
  Install s;
  WriteFile(s.inst + "/lib/libx.so", std::string(s.lib_v1.size(), 'x'), 0640);
  ASSERT_TRUE(s.Write(kEveryInstruction));
  Snapshot before = TakeSnapshot(s.inst);
  EXPECT_EQ(s.Run(), 1);
  EXPECT_EQ(s.Status(), "failed: 4\n");
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "");
}

TEST(WholeUpdate, ArchiveAndManifestProblems) {
  {
    Install s;  // no archive
    Snapshot before = TakeSnapshot(s.inst);
    EXPECT_EQ(s.Run(), 1);
    EXPECT_EQ(s.Status(), "failed: 6\n");
    EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "") << "no updating folder";
  }
  {
    Install s;  // neither manifest
    ASSERT_TRUE(WriteUpk(s.archive, s.Members()));
    Snapshot before = TakeSnapshot(s.inst);
    EXPECT_EQ(s.Run(), 1);
    EXPECT_EQ(s.Status(), "failed: 6\n");
    EXPECT_NE(s.Log().find("DoUpdate: error extracting manifest file\nfailed: 6\n"),
              std::string::npos);
    EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "");
  }
  {
    Install s;  // no actions
    ASSERT_TRUE(s.Write("# nothing to do\n"));
    EXPECT_EQ(s.Run(), 1);
    EXPECT_EQ(s.Status(), "failed: 40\n");
    EXPECT_NE(s.Log().find("empty action list\nfailed: 40\n"), std::string::npos);
  }
  {
    Install s;  // a line that cannot be understood: nothing runs
    ASSERT_TRUE(s.Write("add \"data/new.txt\"\nreplace \"bin/app\"\n"));
    Snapshot before = TakeSnapshot(s.inst);
    EXPECT_EQ(s.Run(), 1);
    EXPECT_EQ(s.Status(), "failed: 5\n");
    EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "");
  }
  {
    Install s;  // only the older manifest name: used without a word about the newer one
    ASSERT_TRUE(s.Write("add \"data/new.txt\"\n", "updatev2.manifest"));
    EXPECT_EQ(s.Run(), 0);
    EXPECT_EQ(s.Status(), "succeeded\n");
    EXPECT_EQ(ReadFile(s.inst + "/data/new.txt"), "new data");
    EXPECT_EQ(s.Log(), Lines({"PATCH DIRECTORY " + s.patch, "INSTALLATION DIRECTORY " + s.inst,
                              "WORKING DIRECTORY " + s.inst,
                              "Signature: update.upk not checked: no trusted key in " + s.inst +
                                  "/update-keys",
                              "Product: update.upk not checked: no product record at " + s.inst +
                                  "/update-product",
                              "PREPARE ADD data/new.txt",
                              "EXECUTE ADD data/new.txt", "FINISH ADD data/new.txt", "succeeded",
                              "calling QuitProgressUI"}));
  }
}

// A link loop and an over-long name are missing paths, not unreadable ones: their removal and the
// conditions on them go on as for any missing file. Likewise a backup below a regular file does not
// exist, so the rollback of an add below a file says so.
TEST(WholeUpdate, PathsThatCannotNameAFileAreMissing) {
  {
    Install s;
    ASSERT_EQ(symlink("loop", (s.inst + "/loop").c_str()), 0);
    ASSERT_TRUE(s.Write("remove \"loop\"\nremove \"" + std::string(300, 'n') +
                        "\"\nadd-if \"loop\" \"cond/never\"\n"
                        "add-if-not \"loop/x\" \"data/new.txt\"\n"));
    Snapshot expected = TakeSnapshot(s.inst);
    expected["data/new.txt"] = {'f', 0600, "new data"};
    EXPECT_EQ(s.Run(), 0);
    EXPECT_EQ(s.Status(), "succeeded\n");
    EXPECT_EQ(DiffSnapshots(expected, TakeSnapshot(s.inst)), "");
  }
  {
    Install s;
    WriteFile(s.inst + "/f", "a file");
    ASSERT_TRUE(WriteUpk(s.archive, {{"updatev3.manifest", "add \"f/x.txt\"\n"}, {"f/x.txt", "x"}}));
    Snapshot before = TakeSnapshot(s.inst);
    EXPECT_EQ(s.Run(), 1);
    EXPECT_EQ(s.Status(), "failed: 7\n");
    EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "");
    std::string log = s.Log();
    EXPECT_NE(log.find("FINISH ADD f/x.txt\nbackup_restore: backup file doesn't exist: "
                       "f/x.txt.kiv-backup\n"),
              std::string::npos)
        << log;
  }
}

// A staged update copies the installation (without "updated" and "updates/0", in any letter case)
// into inst/updated and applies the update there; the replace request then swaps it in.
TEST(WholeUpdate, StagedUpdateThenReplaceRequest) {
  Install s;
  WriteFile(s.inst + "/UPDATES/0/old.log", "skipped");
  WriteFile(s.inst + "/Updated/stale", "skipped");
  WriteFile(s.inst + "/updates/1/kept", "copied");
  ASSERT_TRUE(s.Write(kEveryInstruction));
  Snapshot before = TakeSnapshot(s.inst);

  EXPECT_EQ(RunUpdater({s.patch, s.inst, s.inst + "/updated", "-1"}), 0);
  EXPECT_EQ(s.Status(), "applied\n");
  Snapshot staged = TakeSnapshot(s.inst + "/updated");
  EXPECT_FALSE(staged.count("UPDATES/0"));
  EXPECT_FALSE(staged.count("Updated"));
  EXPECT_EQ(staged["updates/1/kept"].data, "copied");
  EXPECT_EQ(staged["lib/libx.so"].data, s.lib_v2);
  EXPECT_EQ(staged["link"].data, "bin/app");
  EXPECT_FALSE(staged.count("updating"));
  EXPECT_FALSE(staged.count("gone.txt"));
  Snapshot now = TakeSnapshot(s.inst);
  for (auto it = now.begin(); it != now.end();) {
    it = it->first.rfind("updated", 0) == 0 && it->first != "updated" ? now.erase(it) : ++it;
  }
  now.erase("updated");
  EXPECT_EQ(DiffSnapshots(before, now), "") << "the installation itself is untouched";

  EXPECT_EQ(RunUpdater({s.patch, s.inst, s.inst + "/updated", "0/replace"}), 0);
  EXPECT_EQ(s.Status(), "succeeded\n");
  Snapshot replaced = TakeSnapshot(s.inst);
  replaced.erase("updates/update.log");  // the replace request's own log
  EXPECT_EQ(DiffSnapshots(staged, replaced), "");
  EXPECT_FALSE(Exists(s.inst + ".bak"));
}

// With KIV_OS_UPDATE the staged update copies nothing and skips the precomplete removals.
TEST(WholeUpdate, OsUpdateStagesOnlyWhatTheManifestAdds) {
  Install s;
  WriteFile(s.inst + "/precomplete", "remove \"bin/app\"\n");
  ASSERT_TRUE(s.Write("type \"complete\"\nadd \"bin/app\"\n"));
  EXPECT_EQ(RunUpdater({s.patch, s.inst, s.dir / "stage", "-1"}, {"KIV_OS_UPDATE="}), 0);
  EXPECT_EQ(s.Status(), "applied\n");
  EXPECT_EQ(
      DiffSnapshots({{"bin", {'d', 0755, ""}}, {"bin/app", {'f', 0755, "#!/bin/sh\necho app 2\n"}}},
                    TakeSnapshot(s.dir / "stage")),
      "");
}

// After a successful update the callback is launched in place of the updater and sees the new
// version and its environment.
TEST(WholeUpdate, CallbackRunsTheUpdatedApplication) {
  Install s;
  ASSERT_TRUE(s.Write(kEveryInstruction));
  WriteFile(s.dir / "cb.sh",
            "#!/bin/sh\n{ sh bin/app; echo \"KIV_LAUNCHED_CHILD=$KIV_LAUNCHED_CHILD\"; } > \"$1\"\n"
            "exit 3\n",
            0755);
  EXPECT_EQ(RunUpdater({s.patch, s.inst, s.inst, "0", s.inst, s.dir / "cb.sh", s.dir / "out"}), 3)
      << "the callback's exit code";
  EXPECT_EQ(ReadFile(s.dir / "out"), "app 2\nKIV_LAUNCHED_CHILD=1\n");
  EXPECT_EQ(s.Status(), "succeeded\n");
}

}  // namespace

// Worker threads change when members are decoded and nothing else: with one thread and with four,
// a success, a corrupt member among the adds (Execute) and a corrupt patch (Prepare) end with the
// same exit code, status, log and tree; the failures put everything back.
TEST(WholeUpdate, DecodingThreadsChangeNothingElse) {
  std::string large;
  for (int i = 0; large.size() < 1500000; ++i) large += "entry " + std::to_string(i * 7) + "\n";
  const std::string every = kEveryInstruction;
  const std::string adds = "add \"data/big-one\"\nadd \"data/big-two\"\nadd \"data/big-three\"\n";
  for (const auto &[manifest, status] : std::vector<std::pair<std::string, std::string>>{
           {every + adds, "succeeded\n"},
           {every + "add \"data/big-one\"\nadd \"corrupt\"\n" + adds, "failed: 39\n"},
           {every + adds + "patch \"corrupt\" \"data/readme.txt\"\n", "failed: 39\n"}}) {
    SCOPED_TRACE(manifest);
    struct Outcome {
      int exit;
      std::string status, log;
      Snapshot tree;
    };
    std::vector<Outcome> outcomes;
    for (const char *threads : {"1", "4"}) {
      Install s;
      std::vector<UpkEntry> entries = s.Members();
      entries.insert(entries.begin(), {"updatev3.manifest", manifest});
      entries.push_back({"data/big-one", large});
      entries.push_back({"corrupt", "BZh91AY&SY not really bzip2", 0644, true});
      entries.push_back({"data/big-two", large + "two"});
      entries.push_back({"data/big-three", "three", 0700});
      ASSERT_TRUE(WriteUpk(s.archive, entries));
      Snapshot before = TakeSnapshot(s.inst);
      int exit = s.Run({std::string("KIV_EXTRACT_THREADS=") + threads});
      std::string log = s.Log();
      for (size_t at; (at = log.find(s.dir.path())) != std::string::npos;) {
        log.replace(at, s.dir.path().size(), "DIR");
      }
      outcomes.push_back({exit, s.Status(), log, TakeSnapshot(s.inst)});
      EXPECT_EQ(s.Status(), status);
      if (exit != 0) {
        EXPECT_EQ(DiffSnapshots(before, outcomes.back().tree), "");
      }
    }
    EXPECT_EQ(outcomes[0].exit, outcomes[1].exit);
    EXPECT_EQ(outcomes[0].status, outcomes[1].status);
    EXPECT_EQ(outcomes[0].log, outcomes[1].log);
    EXPECT_EQ(DiffSnapshots(outcomes[0].tree, outcomes[1].tree), "");
  }
}
