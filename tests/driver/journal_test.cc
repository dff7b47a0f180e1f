// SPDX-License-Identifier: MIT
// The journal and the recovery of a killed run, on temporary folders with the real actions: the
// format's escaping, the undo of an uncommitted update, the finish of a committed one, and the
// journals that recovery must keep without changing anything.
#include "driver/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "actions/action.h"
#include "actions/file_actions.h"
#include "actions/manifest.h"
#include "actions/update_context.h"
#include "archive/decode_ahead.h"
#include "archive/upk_reader.h"
#include "base/result.h"
#include "driver/journal_format.h"
#include "fileops/file_ops.h"
#include "support/log_capture.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

using namespace testing_support;

namespace {

TEST(JournalFormat, EveryByteButNulRoundTripsAndForeignEscapesAreRefused) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  const std::string escaped = journal_format::Escape(all);
  EXPECT_EQ(escaped.find('\n'), std::string::npos);
  std::string back;
  ASSERT_TRUE(journal_format::Unescape(escaped, &back));
  EXPECT_EQ(back, all);
  for (const char *bad : {"a\\", "a\\q", "a\\x0", "a\\x00", "a\\xZZ", "a\tb"}) {
    EXPECT_FALSE(journal_format::Unescape(bad, &back)) << bad;
  }
  EXPECT_TRUE(journal_format::IsRecordPath("d/a\nb"));
  for (const char *bad : {"", "/etc/passwd", "../x", "d/../../x"}) {
    EXPECT_FALSE(journal_format::IsRecordPath(bad)) << bad;
  }
}

// An installation with a file whose name holds a line feed, updated by "rmrfdir" and "add" as the
// update procedure runs them, and stopped where a kill would stop it: after Execute, before or
// after the commit.
class JournalRecovery : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(old_cwd_, sizeof(old_cwd_)), nullptr);
    MakeDirs(tmp_ / "p");
    ASSERT_TRUE(WriteUpk(tmp_ / "p/update.upk", {{"updatev3.manifest", "rmrfdir \"d/\"\nadd \"new.txt\"\n"},
                                                 {"new.txt", "new"}}));
    WriteFile(inst() + "/d/c", "c");
    WriteFile(inst() + "/d/a\nb", "line feed");
    WriteFile(inst() + "/keep", "keep");
    old_ = TakeSnapshot(inst());
  }
  void TearDown() override { EXPECT_EQ(chdir(old_cwd_), 0); }
  std::string inst() const { return tmp_ / "inst"; }

  // Runs Prepare, the journal's begin and Execute in the installation, then Commit when asked, and
  // ends as a kill would: no Finish, nothing removed.
  void RunUntilKilled(bool commit) {
    ASSERT_EQ(chdir(inst().c_str()), 0);
    UpkReader reader;
    ASSERT_EQ(reader.Open((tmp_ / "p/update.upk").c_str()), result::kOk);
    ASSERT_EQ(reader.ExtractToFile("updatev3.manifest", (tmp_ / "manifest").c_str()), result::kOk);
    DecodeAhead ahead(&reader);
    BackupSet backups;
    UpdateContext context;
    context.members = &ahead;
    context.backups = &backups;
    ManifestTexts texts;
    ActionList list(&context);
    char *text = texts.Keep(GetManifestContents((tmp_ / "manifest").c_str()));
    ASSERT_NE(text, nullptr);
    ASSERT_EQ(ParseManifest(text, &list, &texts), result::kOk);
    ASSERT_EQ(list.Prepare(), result::kOk);
    Journal journal((tmp_ / "p").c_str());
    ASSERT_EQ(journal.BeginUpdate(list, &backups), result::kOk);
    EXPECT_EQ(journal.state(), Journal::State::kWritten);
    ASSERT_EQ(list.Execute(), result::kOk);
    if (commit) {
      ASSERT_EQ(journal.Commit(), result::kOk);
      EXPECT_EQ(journal.state(), Journal::State::kCommitted);
    }
    ASSERT_TRUE(Exists(inst() + "/d/a\nb.kiv-backup"));
    ASSERT_EQ(chdir(old_cwd_), 0);
  }

  int Recover(bool *completed, Journal *journal, const std::string &working = "") {
    const std::string dir = working.empty() ? inst() : working;
    return journal->Recover({dir.c_str(), inst().c_str(), false, false, false}, completed);
  }

  TempDir tmp_;
  LogCapture log_{tmp_.path()};
  Snapshot old_;
  char old_cwd_[PATH_MAX];
};

TEST_F(JournalRecovery, RmrfdirOfANameWithALineFeedKilledBeforeTheCommitEndsExactlyOld) {
  RunUntilKilled(false);
  Journal journal((tmp_ / "p").c_str());
  bool completed = true;
  ASSERT_EQ(Recover(&completed, &journal), result::kOk);
  EXPECT_FALSE(completed);
  EXPECT_EQ(journal.state(), Journal::State::kEnded);
  EXPECT_EQ(DiffSnapshots(old_, TakeSnapshot(inst())), "");
  EXPECT_FALSE(Exists(tmp_ / "p/update.journal"));
  // Recovery is idempotent: a second run finds nothing to do.
  Journal again((tmp_ / "p").c_str());
  ASSERT_EQ(Recover(&completed, &again), result::kOk);
  EXPECT_EQ(again.state(), Journal::State::kNone);
}

TEST_F(JournalRecovery, RmrfdirOfANameWithALineFeedKilledAfterTheCommitEndsExactlyNew) {
  RunUntilKilled(true);
  Journal journal((tmp_ / "p").c_str());
  bool completed = false;
  ASSERT_EQ(Recover(&completed, &journal), result::kOk);
  EXPECT_TRUE(completed);  // the same archive and working directory: the caller reports success
  EXPECT_EQ(journal.state(), Journal::State::kCommitted);
  Snapshot expected = old_;
  for (auto it = expected.begin(); it != expected.end();) {
    it = it->first.rfind("d", 0) == 0 ? expected.erase(it) : std::next(it);
  }
  const Snapshot now = TakeSnapshot(inst());
  ASSERT_TRUE(now.count("new.txt"));
  expected["new.txt"] = now.at("new.txt");
  EXPECT_EQ(DiffSnapshots(expected, now), "");
  EXPECT_EQ(ReadFile(inst() + "/new.txt"), "new");
  journal.End();
  EXPECT_FALSE(Exists(tmp_ / "p/update.journal"));
}

// A journal that recovery cannot read, or that was not recorded for this run's directories, is
// kept and logged, and nothing changes, inside the installation or outside it.
TEST_F(JournalRecovery, JournalsThatAreNotThisRunsAreKeptAndChangeNothing) {
  MakeDirs(tmp_ / "outside/victim");
  WriteFile(tmp_ / "outside/victim/file", "precious");
  const std::string outside = tmp_ / "outside";
  const std::string cases[] = {
      "garbage\n",
      "kiv-journal 2\nupdate " + inst() + "\narchive 1 2 3 4 5\nabsent bad\\q\n",
      "kiv-journal 2\nupdate " + inst() + "\narchive 1 2 3 4 5\nabsent ../outside/victim\n",
      "kiv-journal 2\nupdate " + inst() + "\narchive 1 2 3 4 5\nabsent /etc\n",
      "kiv-journal 2\nupdate " + outside + "\narchive 1 2 3 4 5\nabsent victim\n",
      "kiv-journal 2\nreplace " + outside + "\nstaged 1 2\n",
      "kiv-journal 2\nupdate " + inst() + "\nsomething else\n",
  };
  const Snapshot outside_before = TakeSnapshot(outside);
  for (const std::string &text : cases) {
    WriteFile(tmp_ / "p/update.journal", text);
    Journal journal((tmp_ / "p").c_str());
    bool completed = false;
    EXPECT_EQ(Recover(&completed, &journal), result::kReadError) << text;
    EXPECT_EQ(journal.state(), Journal::State::kKept) << text;
    EXPECT_EQ(ReadFile(tmp_ / "p/update.journal"), text);
    EXPECT_EQ(DiffSnapshots(old_, TakeSnapshot(inst())), "") << text;
    EXPECT_EQ(DiffSnapshots(outside_before, TakeSnapshot(outside)), "") << text;
  }
  EXPECT_NE(log_.Text().find("journal: kept: "), std::string::npos);
}

// A link swapped into a recorded path's folder is not followed out of the installation.
TEST_F(JournalRecovery, RecoveryDoesNotFollowALinkOutOfTheInstallation) {
  RunUntilKilled(false);
  MakeDirs(tmp_ / "outside");
  WriteFile(tmp_ / "outside/new.txt", "outside");
  RemoveTree(inst() + "/d");
  ASSERT_EQ(symlink((tmp_ / "outside").c_str(), (inst() + "/d").c_str()), 0);
  Journal journal((tmp_ / "p").c_str());
  bool completed = false;
  EXPECT_EQ(Recover(&completed, &journal), result::kWrongKind);
  EXPECT_EQ(journal.state(), Journal::State::kKept);
  EXPECT_EQ(ReadFile(tmp_ / "outside/new.txt"), "outside");
}

// The Finish pass undoes by the journal's records: a path that held nothing before the run holds
// nothing after a failed one, also when the run wrote it twice.
TEST_F(JournalRecovery, AFailedRunRemovesAFileItAddedTwice) {
  ASSERT_TRUE(WriteUpk(tmp_ / "p/update.upk", {{"x", "x"}}));
  ASSERT_EQ(chdir(inst().c_str()), 0);
  UpkReader reader;
  ASSERT_EQ(reader.Open((tmp_ / "p/update.upk").c_str()), result::kOk);
  DecodeAhead ahead(&reader);
  BackupSet backups;
  UpdateContext context;
  context.members = &ahead;
  context.backups = &backups;
  ActionList list(&context);
  char arg1[] = "\"x\"", arg2[] = "\"x\"";
  for (char *arg : {arg1, arg2}) {
    auto add = std::make_unique<AddAction>();
    ASSERT_EQ(add->Parse(arg), result::kOk);
    list.Append(std::move(add));
  }
  ASSERT_EQ(list.Prepare(), result::kOk);
  Journal journal((tmp_ / "p").c_str());
  ASSERT_EQ(journal.BeginUpdate(list, &backups), result::kOk);
  ASSERT_EQ(list.Execute(), result::kOk);
  list.Finish(result::kWriteError);  // as after a later action's failure
  journal.End();
  EXPECT_EQ(DiffSnapshots(old_, TakeSnapshot(inst())), "");
  EXPECT_EQ(backups.outstanding(), 0u);
}

}  // namespace

// A swap that keeps the old installation, killed once the staged copy was in place: after an
// exchange the old installation is ".bak/updated", after two moves (a file system that cannot
// exchange) the whole ".bak". Either way recovery moves it to ".previous" and finishes the swap.
TEST_F(JournalRecovery, AKeptSwapKilledWithTheCopyInPlaceKeepsTheWholeOldInstallation) {
  for (const char *set_aside : {".bak/updated", ".bak"}) {
    SCOPED_TRACE(set_aside);
    const std::string staged = tmp_ / "staged";
    WriteFile(staged + "/new.txt", "new");
    struct stat st;
    ASSERT_EQ(lstat(staged.c_str(), &st), 0);
    Journal journal((tmp_ / "p").c_str());
    ASSERT_EQ(journal.BeginReplace(inst().c_str(), st.st_dev, st.st_ino), result::kOk);
    MakeDirs(inst() + ".bak");
    ASSERT_EQ(rename(inst().c_str(), (inst() + set_aside).c_str()), 0);
    ASSERT_EQ(rename(staged.c_str(), inst().c_str()), 0);
    Journal again((tmp_ / "p").c_str());
    bool completed = false;
    ASSERT_EQ(again.Recover({inst().c_str(), inst().c_str(), false, true, true}, &completed),
              result::kOk);
    EXPECT_TRUE(completed);
    again.End();
    EXPECT_EQ(DiffSnapshots(old_, TakeSnapshot(inst() + ".previous")), "");
    EXPECT_FALSE(Exists(inst() + ".bak"));
    EXPECT_EQ(ReadFile(inst() + "/new.txt"), "new");
    EXPECT_NE(log_.Take().find("Confirm: keeping the previous installation at " + inst() +
                               ".previous\n"),
              std::string::npos);
    // The next round starts from the old installation again.
    RemoveTree(inst());
    ASSERT_EQ(rename((inst() + ".previous").c_str(), inst().c_str()), 0);
  }
}
