// SPDX-License-Identifier: MIT
// End-to-end runs of the real updater binary: exact status bytes, log lines, exit codes, the
// callback's argument vector, directory and environment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/run_updater.h"
#include "support/upk_builder.h"
#include "support/test_support.h"

using testing_support::DiffSnapshots;
using testing_support::Exists;
using testing_support::MakeDirs;
using testing_support::ReadFile;
using testing_support::Snapshot;
using testing_support::TakeSnapshot;
using testing_support::TempDir;
using testing_support::WriteFile;

using namespace e2e;

namespace {

const char kUsage[] =
    "Usage: updater patch-dir install-dir apply-to-dir [wait-pid [callback-working-dir "
    "callback-path args...]]\n";

TEST(Updater, TooFewArgumentsPrintUsageAndTouchNothing) {
  TempDir dir;
  MakeDirs(dir / "patch");
  EXPECT_EQ(RunUpdater({}, {}, dir / "err"), 1);
  EXPECT_EQ(ReadFile(dir / "err"), kUsage);
  EXPECT_EQ(RunUpdater({dir / "patch", dir / "inst"}, {}, dir / "err"), 1);
  EXPECT_EQ(ReadFile(dir / "err"), kUsage);
  EXPECT_TRUE(TakeSnapshot(dir / "patch").empty());
}

// --help and --version alone answer and exit 0; relative folders, and an installation that is
// not a folder, are refused on standard error before anything is written or created.
TEST(Updater, HelpVersionAndBadFolderArgumentsAreAnsweredWithoutTouchingAnything) {
  TempDir dir;
  testing_support::ProcessOptions options;
  options.clean_env = true;
  options.cwd = dir.path();
  options.stdout_path = dir / "out";
  options.stderr_path = dir / "err";
  EXPECT_EQ(testing_support::RunProcess({UPDATER_BIN, "--help"}, options), 0);
  EXPECT_EQ(ReadFile(dir / "out").rfind(kUsage, 0), 0u);
  EXPECT_EQ(testing_support::RunProcess({UPDATER_BIN, "--version"}, options), 0);
  EXPECT_EQ(ReadFile(dir / "out").rfind("updater ", 0), 0u);
  EXPECT_EQ(testing_support::RunProcess({UPDATER_BIN, "--help", "--version"}, options), 1);
  EXPECT_EQ(ReadFile(dir / "err"), kUsage);

  MakeDirs(dir / "patch");
  MakeDirs(dir / "inst");
  WriteFile(dir / "file", "not a folder");
  const Snapshot before = TakeSnapshot(dir.path());
  const std::vector<std::vector<std::string>> refused = {
      {"--help", "--version", "foo"},
      {"patch", dir / "inst", dir / "inst"},
      {dir / "patch", "inst", dir / "inst"},
      {dir / "patch", dir / "inst", "inst", "-1"},
      {dir / "patch", dir / "file", dir / "file"},
  };
  for (std::vector<std::string> args : refused) {
    args.insert(args.begin(), UPDATER_BIN);
    EXPECT_EQ(testing_support::RunProcess(args, options), 1) << args[1];
    const std::string err = ReadFile(dir / "err");
    EXPECT_NE(err.find("nothing was changed"), std::string::npos) << err;
    Snapshot now = TakeSnapshot(dir.path());
    now.erase("out");
    now.erase("err");
    Snapshot expected = before;
    expected.erase("out");
    expected.erase("err");
    EXPECT_EQ(DiffSnapshots(expected, now), "") << args[1];
  }
}

TEST(Updater, InPlaceRunWithoutArchiveFailsWithSixAndTruncatesItsLog) {
  TempDir dir;
  std::string patch = dir / "p/nested";
  MakeDirs(dir / "inst");
  // A missing patch directory is created for the status file; the log, opened before, is lost.
  EXPECT_EQ(RunUpdater({patch, dir / "inst", dir / "work"}), 1);
  EXPECT_EQ(ReadFile(patch + "/update.status"), "failed: 6\n");
  EXPECT_FALSE(Exists(patch + "/update.log"));
  struct stat st;
  ASSERT_EQ(stat((dir / "work").c_str(), &st), 0) << "a missing working directory is created";
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  WriteFile(patch + "/update.log", "stale lines of an earlier run\n");
  EXPECT_EQ(RunUpdater({patch, dir / "inst", dir / "work"}), 1);
  EXPECT_EQ(
      ReadFile(patch + "/update.log"),
      Lines({"PATCH DIRECTORY " + patch, "INSTALLATION DIRECTORY " + dir / "inst",
             "WORKING DIRECTORY " + dir / "work",
             "Signature: update.upk not checked: no trusted key in " + dir / "inst/update-keys",
             "Product: update.upk not checked: no product record at " + dir / "inst/update-product",
             "failed: 6", "calling QuitProgressUI"}));

  // Trailing slashes: one is removed from the two directories, the patch directory stays as given.
  EXPECT_EQ(RunUpdater({patch + "/", dir / "inst//", dir / "work/", "0"}), 1);
  EXPECT_EQ(
      ReadFile(patch + "/update.log"),
      Lines({"PATCH DIRECTORY " + patch + "/", "INSTALLATION DIRECTORY " + dir / "inst/",
             "WORKING DIRECTORY " + dir / "work",
             "Signature: update.upk not checked: no trusted key in " + dir / "inst//update-keys",
             "Product: update.upk not checked: no product record at " +
                 dir / "inst//update-product",
             "failed: 6", "calling QuitProgressUI"}));
}

// A garbage or cut download used to end "failed: 6" with no reason in the log.
TEST(Updater, GarbageOrTruncatedArchiveNamesWhatIsWrongInTheLog) {
  TempDir dir;
  MakeDirs(dir / "p");
  MakeDirs(dir / "inst");
  WriteFile(dir / "inst/keep.txt", "old\n");
  ASSERT_TRUE(testing_support::WriteUpk(dir / "good.upk",
                                        {{"updatev3.manifest", "add \"keep.txt\"\n"},
                                         {"keep.txt", "new\n"}}));
  const std::string good = ReadFile(dir / "good.upk");
  const Snapshot before = TakeSnapshot(dir / "inst");
  const struct {
    std::string bytes, reason;
  } cases[] = {
      {"", "truncated: shorter than the 4-byte magic number (an empty or cut download?)"},
      {"<html>404 Not Found</html>\n",
       "not an update archive: the file does not start with the archive's magic number"},
      {good.substr(0, good.size() - 10),
       "truncated: the index runs past the end of the file (a cut download?)"},
      {good.substr(0, 40), "truncated: the index lies past the end of the file (a cut download?)"},
  };
  for (const auto &c : cases) {
    WriteFile(dir / "p/update.upk", c.bytes);
    EXPECT_EQ(RunUpdater({dir / "p", dir / "inst", dir / "inst"}), 1);
    EXPECT_EQ(ReadFile(dir / "p/update.status"), "failed: 6\n");
    EXPECT_NE(ReadFile(dir / "p/update.log")
                  .find("\nArchive: update.upk cannot be read: " + c.reason + "\nfailed: 6\n"),
              std::string::npos)
        << ReadFile(dir / "p/update.log");
    EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(dir / "inst")), "");
  }
}

TEST(Updater, WaitPidSelectsTheRunMode) {
  TempDir dir;
  MakeDirs(dir / "inst");
  MakeDirs(dir / "p");
  for (const char *pid : {"abc", "0", "-1", "-1/replace"}) {
    SCOPED_TRACE(pid);
    bool staged = std::string(pid).rfind("-1", 0) == 0;
    WriteFile(dir / "inst/updated/old", "left from an earlier run");
    EXPECT_EQ(RunUpdater({dir / "p", dir / "inst", dir / "inst/updated", pid}), 1);
    std::string log = ReadFile(dir / "p/update.log");
    EXPECT_EQ(
        log.rfind(staged ? "Performing a staged update\nPATCH DIRECTORY " : "PATCH DIRECTORY ", 0),
        0u)
        << log;
    EXPECT_EQ(Exists(dir / "inst/updated/old"), !staged) << "a staged run clears its directory";
    EXPECT_EQ(ReadFile(dir / "p/update.status"), "failed: 6\n");
  }
}

// The updater waits for its own child (here: a process started by the shell that then becomes the
// updater). The child sees "applying" and finishes before the callback runs.
TEST(Updater, WaitsForItsChildWhileTheStatusSaysApplying) {
  for (const char *suffix : {"", "/replace"}) {
    SCOPED_TRACE(suffix);
    TempDir dir;
    WriteFile(dir / "inst/updated/app", "new");
    std::string script =
        "P=\"$1\"; T=\"$2\"\n"
        "( i=0; while [ \"$(cat \"$P/update.status\" 2>/dev/null)\" != applying ] && [ $i -lt 400 "
        "]; "
        "do sleep 0.05; i=$((i+1)); done\n"
        "  cp \"$P/update.status\" \"$T/seen\"; sleep 0.3; touch \"$T/child-done\" ) &\n"
        "exec \"$3\" \"$P\" \"$T/inst\" \"$T/inst/updated\" \"$!" +
        std::string(suffix) + "\" \"$T\" \"$T/cb.sh\"\n";
    WriteFile(dir / "cb.sh", "#!/bin/sh\ntest -e child-done && echo yes > callback-saw-child\n",
              0755);
    Spawn({"/bin/sh", "-c", script, "sh", dir / "p", dir.path(), UPDATER_BIN}, {});
    EXPECT_EQ(ReadFile(dir / "seen"), "applying");
    EXPECT_EQ(ReadFile(dir / "callback-saw-child"), "yes\n");
    EXPECT_EQ(ReadFile(dir / "p/update.status"), *suffix ? "succeeded\n" : "failed: 6\n");
  }
}

TEST(Updater, CallbackGetsItsArgumentsDirectoryAndEnvironment) {
  TempDir dir;
  std::string cb = WriteCallback(dir);
  MakeDirs(dir / "inst");
  MakeDirs(dir / "cbdir");
  std::string out = dir / "cb.out";
  std::vector<std::string> args = {dir / "p",     dir / "inst", dir / "inst", "0",
                                   dir / "cbdir", cb,           out,          "two words"};
  std::string common = "argv: " + cb + " " + out + " two words\ncwd: " + RealPath(dir / "cbdir") +
                       "\nKIV_LAUNCHED_CHILD=1\n";

  EXPECT_EQ(RunUpdater(args, {"KIV_OS_UPDATE=value"}), 0) << "the callback's own exit code";
  EXPECT_EQ(ReadFile(out), common + "KIV_OS_UPDATE=\nNO_EM_RESTART=\n");
  EXPECT_EQ(RunUpdater(args, {"KIV_OS_UPDATE="}), 0);
  EXPECT_EQ(ReadFile(out), common + "KIV_OS_UPDATE=\nNO_EM_RESTART=\n");
  EXPECT_EQ(RunUpdater(args, {}), 0);
  EXPECT_EQ(ReadFile(out), common + "NO_EM_RESTART=\n");

  // A callback directory that cannot be entered: warned about, the callback still runs.
  unlink(out.c_str());
  args[4] = dir / "missing";
  EXPECT_EQ(RunUpdater(args, {}), 0);
  EXPECT_NE(ReadFile(out).find("cwd: " + RealPath(dir / "inst") + "\n"), std::string::npos);
  std::string log = ReadFile(dir / "p/update.log");
  EXPECT_EQ(log.substr(log.size() - 22), "Warning: chdir failed\n");

  // KIV_PROCESS_UPDATES present, even empty, suppresses the callback; so does a missing path.
  unlink(out.c_str());
  args[4] = dir / "cbdir";
  EXPECT_EQ(RunUpdater(args, {"KIV_PROCESS_UPDATES="}), 1);
  EXPECT_EQ(RunUpdater({dir / "p", dir / "inst", dir / "inst", "0", dir / "cbdir"}), 1);
  EXPECT_FALSE(Exists(out));
}

struct ReplaceSetup {
  TempDir dir;
  std::string inst = dir / "inst";
  Snapshot staged;
  ReplaceSetup() {
    WriteFile(inst + "/app", "old");
    WriteFile(inst + "/updated/app", "new", 0755);
    WriteFile(inst + "/updated/lib/data", "data");
    MakeDirs(inst + "/updated/updates");
    WriteFile(dir / "inst.bak/stale", "from an interrupted run");
    staged = TakeSnapshot(inst + "/updated");
  }
  std::vector<std::string> Log() const {
    return {"Performing a replace request",
            "PATCH DIRECTORY " + dir / "p",
            "INSTALLATION DIRECTORY " + inst,
            "WORKING DIRECTORY " + inst + "/updated",
            "Begin moving destDir (" + inst + ") to tmpDir (" + inst + ".bak)",
            "rename_file: proceeding to rename the directory",
            "Begin moving newDir (" + inst + ".bak/updated) to destDir (" + inst + ")",
            "rename_file: proceeding to rename the directory",
            "Now, remove the tmpDir",
            "succeeded",
            "calling QuitProgressUI"};
  }
};

TEST(Updater, ReplaceRequestSwapsTheStagedCopyInAndAppendsToItsLog) {
  {
    ReplaceSetup s;
    WriteFile(s.inst + "/updated/updates/last-update.log", "earlier\n");
    WriteFile(s.inst + "/updated/updates/update.log", "untouched\n");
    s.staged = TakeSnapshot(s.inst + "/updated");
    std::string cb = WriteCallback(s.dir);
    EXPECT_EQ(RunUpdater({s.dir / "p", s.inst, s.inst + "/updated", "0/replace", s.dir.path(), cb,
                          s.dir / "cb.out"}),
              0);
    EXPECT_EQ(ReadFile(s.dir / "p/update.status"), "succeeded\n");
    EXPECT_EQ(ReadFile(s.inst + "/updates/last-update.log"), "earlier\n" + Lines(s.Log()));
    EXPECT_EQ(ReadFile(s.inst + "/updates/update.log"), "untouched\n");
    Snapshot now = TakeSnapshot(s.inst);
    now["updates/last-update.log"] = s.staged["updates/last-update.log"];
    EXPECT_EQ(DiffSnapshots(s.staged, now), "");
    EXPECT_FALSE(Exists(s.inst + ".bak"));
    EXPECT_TRUE(Exists(s.dir / "cb.out"));
  }
  {
    ReplaceSetup s;  // no last-update.log: update.log is appended to
    WriteFile(s.inst + "/updated/updates/update.log", "previous\n");
    EXPECT_EQ(RunUpdater({s.dir / "p", s.inst + "/", s.inst + "/updated", "0/replace"}), 0);
    EXPECT_EQ(ReadFile(s.inst + "/updates/update.log"), "previous\n" + Lines(s.Log()));
    EXPECT_FALSE(Exists(s.inst + "/updates/last-update.log"));
  }
}

TEST(Updater, ReplaceRequestWithoutStagedCopyFallsBackToPending) {
  TempDir dir;
  std::string inst = dir / "inst";
  WriteFile(inst + "/app", "old");
  Snapshot before = TakeSnapshot(inst);
  std::string cb = WriteCallback(dir);
  WriteFile(dir / "stage/partial", "x");

  std::vector<std::string> args = {dir / "p",  inst, dir / "stage", "0/replace",
                                   dir.path(), cb,   dir / "cb.out"};
  EXPECT_EQ(RunUpdater(args), 1);
  EXPECT_EQ(ReadFile(dir / "p/update.status"), "pending");
  EXPECT_FALSE(Exists(dir / "stage")) << "the working directory is removed";
  EXPECT_FALSE(Exists(dir / "cb.out")) << "no callback after the fallback";
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(inst)), "");
  EXPECT_FALSE(Exists(inst + ".bak"));

  // Without the fallback the failed move's code is reported and the working directory stays.
  WriteFile(dir / "stage/partial", "x");
  args.resize(4);
  EXPECT_EQ(RunUpdater(args, {"KIV_NO_REPLACE_FALLBACK="}), 1);
  EXPECT_EQ(ReadFile(dir / "p/update.status"), "failed: 6\n");
  EXPECT_TRUE(Exists(dir / "stage/partial"));
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(inst)), "");

  // The fallback's removal never takes the installation with it.
  EXPECT_EQ(RunUpdater({dir / "p", inst, inst, "0/replace"}), 1);
  EXPECT_EQ(ReadFile(dir / "p/update.status"), "pending");
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(inst)), "");
}

TEST(Updater, StatusThatCannotBeWrittenEndsTheRunBeforeAnyChange) {
  ReplaceSetup s;
  WriteFile(s.dir / "p", "a file, not a directory");
  Snapshot before = TakeSnapshot(s.inst);
  EXPECT_EQ(RunUpdater({s.dir / "p", s.inst, s.inst + "/updated", "0/replace"}), 1);
  EXPECT_EQ(ReadFile(s.inst + "/updated/updates/update.log"),
            "failed setting status to 'applying'\n");
  before["updated/updates/update.log"] = TakeSnapshot(s.inst)["updated/updates/update.log"];
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(s.inst)), "");
}

// A staged run removes its working directory first; one that holds the installation is refused.
TEST(Updater, StagedRunRefusesAWorkingDirectoryThatHoldsTheInstallation) {
  TempDir dir;
  std::string inst = dir / "apps/inst";
  WriteFile(inst + "/app", "keep");
  MakeDirs(dir / "p");
  Snapshot before = TakeSnapshot(dir / "apps");
  for (const std::string &work : {inst, dir / "apps", inst + "/"}) {
    SCOPED_TRACE(work);
    EXPECT_EQ(RunUpdater({dir / "p", inst, work, "-1"}), 1);
    EXPECT_EQ(ReadFile(dir / "p/update.status"), "failed: 7\n");
    std::string log = ReadFile(dir / "p/update.log");
    EXPECT_NE(log.find("\nRefusing the staged update: the working directory "), std::string::npos);
    EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(dir / "apps")), "");
  }
}

// A directory of exactly 1023 bytes below `dir` (made, with a file "precious" in it).
std::string DirOf1023Bytes(const TempDir &dir) {
  std::string path = dir.path();
  while (path.size() + 201 < 1023) path += "/" + std::string(200, 'd');
  path += "/" + std::string(1023 - path.size() - 1, 'e');
  WriteFile(path + "/precious", "p");
  return path;
}

// A directory argument of 1024 bytes or more is cut to 1023 bytes for the log, and the run is
// refused: the cut path may name another, existing directory.
TEST(Updater, DirectoryArgumentThatDoesNotFitIsCutAndRefused) {
  TempDir dir;
  std::string cut = DirOf1023Bytes(dir);
  std::string arg = cut + "/" + std::string(76, 'x');
  MakeDirs(dir / "inst");
  MakeDirs(dir / "p");

  EXPECT_EQ(RunUpdater({dir / "p", dir / "inst", arg, "-1"}), 1);
  EXPECT_EQ(ReadFile(dir / "p/update.status"), "failed: 7\n");
  EXPECT_EQ(ReadFile(dir / "p/update.log"),
            Lines({"Performing a staged update", "PATCH DIRECTORY " + dir / "p",
                   "INSTALLATION DIRECTORY " + dir / "inst", "WORKING DIRECTORY " + cut,
                   "Refusing the update: install-dir or apply-to-dir is longer than 1023 bytes"}));
  EXPECT_EQ(ReadFile(cut + "/precious"), "p");
}

// The length counts without the trailing '/' that is removed, and only where the run uses the
// directory as a path: an in-place run only logs install-dir. (Without an archive such a run fails
// with 6 once it has got past the argument check.)
TEST(Updater, DirectoryArgumentIsMeasuredWithoutItsSlashAndOnlyWhereUsed) {
  TempDir dir;
  std::string fits = DirOf1023Bytes(dir);
  std::string too_long = fits + "/" + std::string(76, 'x');
  MakeDirs(dir / "p");
  MakeDirs(dir / "work");

  EXPECT_EQ(RunUpdater({dir / "p", dir / "inst", fits + "/"}), 1);
  EXPECT_EQ(ReadFile(dir / "p/update.status"), "failed: 6\n");
  std::string log = ReadFile(dir / "p/update.log");
  EXPECT_NE(log.find("WORKING DIRECTORY " + fits + "\n"), std::string::npos);
  EXPECT_EQ(log.find("Refusing"), std::string::npos);

  // Every mode reads the trusted keys below the installation and locks its parent: a cut
  // installation directory would name another folder (and find no keys there), so it is refused.
  for (const char *wait_pid : {"", "-1"}) {
    std::vector<std::string> args = {dir / "p", too_long, dir / "work"};
    if (*wait_pid) args.push_back(wait_pid);
    EXPECT_EQ(RunUpdater(args), 1) << wait_pid;
    EXPECT_EQ(ReadFile(dir / "p/update.status"), "failed: 7\n") << wait_pid;
    log = ReadFile(dir / "p/update.log");
    EXPECT_NE(log.find("INSTALLATION DIRECTORY " + fits + "\n"), std::string::npos);
    EXPECT_NE(log.find("Refusing"), std::string::npos) << wait_pid;
  }
  EXPECT_EQ(ReadFile(fits + "/precious"), "p");
}

// The staged copy of a replace request is read through its links: a dangling link is a copy that
// cannot be read (6), and the installation is moved back.
TEST(Updater, ReplaceRequestWithDanglingStagedCopyFailsWithSix) {
  TempDir dir;
  std::string inst = dir / "inst";
  WriteFile(inst + "/app", "old");
  ASSERT_EQ(symlink("gone", (inst + "/updated").c_str()), 0);
  Snapshot before = TakeSnapshot(inst);
  EXPECT_EQ(RunUpdater({dir / "p", inst, inst + "/updated", "0/replace"},
                       {"KIV_NO_REPLACE_FALLBACK="}),
            1);
  EXPECT_EQ(ReadFile(dir / "p/update.status"), "failed: 6\n");
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(inst)), "");
  EXPECT_FALSE(Exists(inst + ".bak"));
}

}  // namespace
