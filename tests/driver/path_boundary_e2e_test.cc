// SPDX-License-Identifier: MIT
// The real updater never writes through a link out of the directory it updates, and recovery
// never acts on a journal that is not this run's: each attack is refused with the installation
// and everything outside it untouched.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdlib>

#include <string>
#include <vector>

#include "support/run_updater.h"
#include "support/test_support.h"
#include "support/traced_run.h"
#include "support/upk_builder.h"

using namespace testing_support;

namespace {

class PathBoundary : public testing::Test {
 protected:
  void SetUp() override {
    MakeDirs(tmp_ / "p");
    WriteFile(tmp_ / "inst/app", "app");
    WriteFile(tmp_ / "outside/victim", "precious");
  }
  // Runs an in-place update with `manifest` (members: every path it adds, holding "new").
  int Update(const std::string &manifest, const std::vector<std::string> &adds) {
    std::vector<UpkEntry> entries = {{"updatev3.manifest", manifest}};
    for (const std::string &a : adds) entries.push_back({a, "new"});
    EXPECT_TRUE(WriteUpk(tmp_ / "p/update.upk", entries));
    return e2e::RunUpdater({tmp_ / "p", tmp_ / "inst", tmp_ / "inst"});
  }
  std::string Status() { return ReadFile(tmp_ / "p/update.status"); }

  TempDir tmp_;
};

TEST_F(PathBoundary, ALinkOnTheWayOutOfTheInstallationIsRefusedBeforeAnythingChanges) {
  ASSERT_EQ(symlink((tmp_ / "outside").c_str(), (tmp_ / "inst/link").c_str()), 0);
  const Snapshot inst = TakeSnapshot(tmp_ / "inst");
  const Snapshot outside = TakeSnapshot(tmp_ / "outside");
  for (const auto &[manifest, adds] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"add \"app\"\nadd \"link/x\"\n", {"app", "link/x"}},
           {"add \"app\"\nremove \"link/victim\"\n", {"app"}},
           {"rmrfdir \"link/\"\n", {}}}) {
    EXPECT_EQ(Update(manifest, adds), 1) << manifest;
    EXPECT_EQ(Status(), "failed: 42\n") << manifest;
    if (!adds.empty()) {  // "rmrfdir" removes a link as a file, which is refused as it always was
      EXPECT_NE(ReadFile(tmp_ / "p/update.log").find("Link: link/"), std::string::npos) << manifest;
    }
    EXPECT_EQ(DiffSnapshots(inst, TakeSnapshot(tmp_ / "inst")), "") << manifest;
    EXPECT_EQ(DiffSnapshots(outside, TakeSnapshot(tmp_ / "outside")), "") << manifest;
  }
}

// The folder of a path is swapped for a link out of the installation while the updater is stopped
// right after it logged the action's Execute line, i.e. after every check of the path: the write
// or the removal still cannot go through the link, and the run fails with everything restored.
TEST_F(PathBoundary, ALinkSwappedIntoAParentFolderAfterTheChecksRedirectsNothing) {
  WriteFile(tmp_ / "inst/dir/victim", "mine");
  for (const auto &[manifest, line] : std::vector<std::pair<std::string, std::string>>{
           {"add \"app\"\nadd \"dir/x\"\n", "EXECUTE ADD dir/x\n"},
           {"add \"app\"\nremove \"dir/victim\"\n", "EXECUTE REMOVEFILE dir/victim\n"}}) {
    const Snapshot inst = TakeSnapshot(tmp_ / "inst");
    const Snapshot outside = TakeSnapshot(tmp_ / "outside");
    std::vector<UpkEntry> entries = {
        {"updatev3.manifest", manifest}, {"app", "new"}, {"dir/x", "x"}};
    ASSERT_TRUE(WriteUpk(tmp_ / "p/update.upk", entries));
    bool swapped = false;
    int exit_code = -1;
    RunTraced(
        {UPDATER_BIN, tmp_ / "p", tmp_ / "inst", tmp_ / "inst"},
        {"PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"},
        [&](pid_t, long) {
          if (swapped || ReadFile(tmp_ / "p/update.log").find(line) == std::string::npos) return;
          swapped = rename((tmp_ / "inst/dir").c_str(), (tmp_ / "inst/dir.moved").c_str()) == 0 &&
                    symlink((tmp_ / "outside").c_str(), (tmp_ / "inst/dir").c_str()) == 0;
        },
        &exit_code);
    ASSERT_TRUE(swapped) << manifest;
    EXPECT_EQ(exit_code, 1) << manifest;
    EXPECT_EQ(Status(), "failed: 42\n") << manifest;
    EXPECT_NE(ReadFile(tmp_ / "p/update.log").find("Link: dir/"), std::string::npos) << manifest;
    EXPECT_EQ(DiffSnapshots(outside, TakeSnapshot(tmp_ / "outside")), "") << manifest;
    ASSERT_EQ(unlink((tmp_ / "inst/dir").c_str()), 0);
    ASSERT_EQ(rename((tmp_ / "inst/dir.moved").c_str(), (tmp_ / "inst/dir").c_str()), 0);
    EXPECT_EQ(DiffSnapshots(inst, TakeSnapshot(tmp_ / "inst")), "") << manifest;
  }
}

// The same during recovery: an interrupted update's journal asks to put "dir/victim" back from its
// backup, and "dir" becomes a link out of the installation just as the first rename is entered,
// after every record was checked. The rename still acts on the real folder, and nothing outside
// (where a planted backup waits) changes.
TEST_F(PathBoundary, ALinkSwappedIntoAParentFolderDuringRecoveryRedirectsNothing) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "reads the system call number from x86-64 registers";
#else
  WriteFile(tmp_ / "inst/dir/victim", "half-written");
  WriteFile(tmp_ / "inst/dir/victim.kiv-backup", "mine");
  WriteFile(tmp_ / "outside/victim.kiv-backup", "planted");
  char inst[PATH_MAX];
  ASSERT_NE(realpath((tmp_ / "inst").c_str(), inst), nullptr);
  WriteFile(tmp_ / "p/update.journal", std::string("kiv-journal 2\nupdate ") + inst +
                                           "\narchive 1 2 3 4 5\npresent dir/victim\n");
  const Snapshot outside = TakeSnapshot(tmp_ / "outside");
  bool swapped = false;
  RunTraced({UPDATER_BIN, tmp_ / "p", tmp_ / "inst", tmp_ / "inst"},
            {"PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"}, [&](pid_t pid, long) {
              const long nr =
                  ptrace(PTRACE_PEEKUSER, pid, offsetof(struct user_regs_struct, orig_rax), 0);
              if (swapped || (nr != SYS_rename && nr != SYS_renameat && nr != SYS_renameat2) ||
                  ReadFile(tmp_ / "p/update.log").find("Recovering an interrupted update") ==
                      std::string::npos) {
                return;
              }
              swapped =
                  rename((tmp_ / "inst/dir").c_str(), (tmp_ / "inst/dir.moved").c_str()) == 0 &&
                  symlink((tmp_ / "outside").c_str(), (tmp_ / "inst/dir").c_str()) == 0;
            });
  ASSERT_TRUE(swapped);
  EXPECT_EQ(ReadFile(tmp_ / "inst/dir.moved/victim"), "mine");
  EXPECT_EQ(DiffSnapshots(outside, TakeSnapshot(tmp_ / "outside")), "");
#endif
}

TEST_F(PathBoundary, ALinkThatStaysInsideKeepsWorking) {
  MakeDirs(tmp_ / "inst/lib64");
  ASSERT_EQ(symlink("lib64", (tmp_ / "inst/lib").c_str()), 0);
  EXPECT_EQ(Update("add \"lib/x\"\n", {"lib/x"}), 0);
  EXPECT_EQ(ReadFile(tmp_ / "inst/lib64/x"), "new");
}

TEST_F(PathBoundary, ALinkOrAFileAtTheScratchFolderIsRefused) {
  WriteFile(tmp_ / "outside/update.manifest", "theirs");
  ASSERT_EQ(symlink((tmp_ / "outside").c_str(), (tmp_ / "inst/updating").c_str()), 0);
  const Snapshot outside = TakeSnapshot(tmp_ / "outside");
  EXPECT_EQ(Update("add \"app\"\n", {"app"}), 1);
  EXPECT_EQ(Status(), "failed: 42\n");
  EXPECT_EQ(DiffSnapshots(outside, TakeSnapshot(tmp_ / "outside")), "");
  EXPECT_EQ(ReadFile(tmp_ / "inst/app"), "app");
  ASSERT_EQ(unlink((tmp_ / "inst/updating").c_str()), 0);
  WriteFile(tmp_ / "inst/updating", "a file");
  EXPECT_EQ(Update("add \"app\"\n", {"app"}), 1);
  EXPECT_EQ(Status(), "failed: 42\n");
}

// A hand-written journal naming a folder outside the installation, with no archive at all, and a
// journal copied along with a crashed installation: neither makes recovery touch anything.
TEST_F(PathBoundary, AJournalFromElsewhereIsKeptAndChangesNothing) {
  const std::string outside = tmp_ / "outside";
  const std::vector<std::string> journals = {
      "kiv-journal 2\nupdate " + outside + "\narchive 1 2 3 4 5\nabsent victim\n",
      "kiv-journal 2\nupdate " + tmp_.path() +
          "/inst\narchive 1 2 3 4 5\nabsent ../outside/victim\n",
      "kiv-journal 1\nupdate " + outside + "\narchive 1 2 3 4 5\nabsent victim\n"};
  const Snapshot inst = TakeSnapshot(tmp_ / "inst");
  const Snapshot outside_before = TakeSnapshot(outside);
  for (const std::string &journal : journals) {
    WriteFile(tmp_ / "p/update.journal", journal);
    EXPECT_EQ(e2e::RunUpdater({tmp_ / "p", tmp_ / "inst", tmp_ / "inst"}), 1) << journal;
    EXPECT_EQ(ReadFile(tmp_ / "p/update.journal"), journal);
    EXPECT_EQ(Status(), "failed: 6\n") << journal;
    EXPECT_NE(ReadFile(tmp_ / "p/update.log").find("journal: kept: "), std::string::npos);
    EXPECT_EQ(DiffSnapshots(outside_before, TakeSnapshot(outside)), "") << journal;
    EXPECT_EQ(DiffSnapshots(inst, TakeSnapshot(tmp_ / "inst")), "") << journal;
  }
}

}  // namespace
