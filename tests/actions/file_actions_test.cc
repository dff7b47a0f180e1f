// SPDX-License-Identifier: MIT
#include "actions/file_actions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "archive/upk_reader.h"
#include "base/manifest_format.h"
#include "base/update_log.h"
#include "support/test_support.h"
#include "support/upk_builder.h"
#include "update_fixture.h"

using namespace testing_support;

namespace {

// The shared action fixture, with actions that are run by hand as well as through a list.
class FileActionsTest : public UpdateFixture {
 protected:
  // Parses `arg` (kept alive as long as the fixture, like the manifest text) into a new T.
  template <class T>
  std::unique_ptr<T> Make(const std::string &arg) {
    auto action = std::make_unique<T>();
    EXPECT_EQ(action->Parse(Keep(arg)), 0) << arg;
    action->Attach(&ctx_);
    return action;
  }
};

// Files go to their backups in Execute and the backups go in Finish; directories go in Finish, in
// list order, when emptied by then; a directory that still holds an entry is not fatal.
TEST_F(FileActionsTest, SuccessfulRemovalsLeaveNoBackupAndOnlyNonEmptyDirectories) {
  WriteFile(Here("a"), "old a");
  WriteFile(Here("d/x"), "old x");
  WriteFile(Here("keep/other"), "o");
  ActionList list(&ctx_);
  Append<RemoveFileAction>(list, "\"a\"");
  Append<RemoveFileAction>(list, "\"d/x\"");
  Append<RemoveDirAction>(list, "\"d/\"");
  Append<RemoveDirAction>(list, "\"keep/\"");
  ASSERT_EQ(list.Prepare(), 0);
  ASSERT_EQ(list.Execute(), 0);
  EXPECT_FALSE(Exists(Here("a")));
  EXPECT_EQ(ReadFile(Here("a.kiv-backup")), "old a");
  EXPECT_EQ(ReadFile(Here("d/x.kiv-backup")), "old x");
  list.Finish(0);
  EXPECT_TRUE(ctx_.update_succeeded);
  EXPECT_EQ(DiffSnapshots({{"keep", {'d', 0755, ""}}, {"keep/other", {'f', 0644, "o"}}},
                          TakeSnapshot(install_.path())),
            "");
  EXPECT_EQ(Log(),
            "PREPARE REMOVEFILE a\n"
            "PREPARE REMOVEFILE d/x\n"
            "PREPARE REMOVEDIR d/\n"
            "PREPARE REMOVEDIR keep/\n"
            "EXECUTE REMOVEFILE a\n"
            "EXECUTE REMOVEFILE d/x\n"
            "EXECUTE REMOVEDIR d/\n"
            "EXECUTE REMOVEDIR keep/\n"
            "FINISH REMOVEFILE a\n"
            "FINISH REMOVEFILE d/x\n"
            "FINISH REMOVEDIR d/\n"
            "FINISH REMOVEDIR keep/\n"
            "non-fatal error removing directory: keep/, rv: -1, err: 39\n");
}

// After a failed Execute pass the installation is what it was, apart from the directories that an
// add created; no directory is removed and every RemoveDirAction Finish is silent.
TEST_F(FileActionsTest, FailedUpdateLeavesTheInstallationAsItWas) {
  WriteFile(Here("a"), "old a", 0600);
  WriteFile(Here("d/x"), "old x");
  WriteFile(Here("old"), "old content", 0640);
  MakeDirs(Here("empty"));
  OpenArchive({{"new/dir/f", "fresh"}, {"old", "replacement"}});
  Snapshot before = TakeSnapshot(install_.path());
  ActionList list(&ctx_);
  Append<RemoveFileAction>(list, "\"a\"");
  Append<RemoveFileAction>(list, "\"d/x\"");
  Append<RemoveDirAction>(list, "\"d/\"");
  Append<RemoveDirAction>(list, "\"empty/\"");
  Append<AddAction>(list, "\"new/dir/f\"");
  Append<AddAction>(list, "\"old\"");
  Append<AddAction>(list, "\"missing\"");  // no such member: the Execute pass fails here
  EXPECT_EQ(Run(list), 6);
  EXPECT_FALSE(ctx_.update_succeeded);
  before["new"] = {'d', 0755, ""};
  before["new/dir"] = {'d', 0755, ""};
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(install_.path())), "");
  std::string log = Log();
  EXPECT_NE(log.find("EXECUTE ADD missing\n"
                     "### execution failed\n"
                     "FINISH REMOVEFILE a\n"
                     "FINISH REMOVEFILE d/x\n"
                     "FINISH ADD new/dir/f\n"
                     "backup_restore: backup file doesn't exist: new/dir/f.kiv-backup\n"
                     "FINISH ADD old\n"
                     "FINISH ADD missing\n"
                     "backup_restore: backup file doesn't exist: missing.kiv-backup\n"),
            std::string::npos)
      << log;
}

// A missing path (a link whose target is missing counts as one) weighs nothing and is silent.
TEST_F(FileActionsTest, RemovalsOfMissingPathsAreSilentAndCostNothing) {
  ASSERT_EQ(symlink("nowhere", Here("dangling").c_str()), 0);
  auto file = Make<RemoveFileAction>("\"dangling\"");
  auto dir = Make<RemoveDirAction>("\"gone/\"");
  EXPECT_EQ(file->Prepare(), 0);
  EXPECT_EQ(dir->Prepare(), 0);
  EXPECT_EQ(file->progress_cost, 0);
  EXPECT_EQ(dir->progress_cost, 0);
  EXPECT_EQ(file->Execute(), 0);
  EXPECT_EQ(dir->Execute(), 0);
  file->Finish(0);
  dir->Finish(0);
  EXPECT_TRUE(Exists(Here("dangling")));
  EXPECT_EQ(Log(), "");
}

TEST_F(FileActionsTest, RemovalsRefusePathsOfTheWrongKind) {
  MakeDirs(Here("dir"));
  WriteFile(Here("file"), "f");
  ASSERT_EQ(symlink("dir", Here("dirlink").c_str()), 0);
  EXPECT_EQ(Make<RemoveFileAction>("\"dir\"")->Prepare(), 42);
  EXPECT_EQ(Make<RemoveFileAction>("\"dirlink\"")->Prepare(), 42);
  EXPECT_EQ(Make<RemoveDirAction>("\"file/\"")->Prepare(), 42);
  EXPECT_EQ(Log(),
            "PREPARE REMOVEFILE dir\n"
            "path present, but not a file: dir\n"
            "PREPARE REMOVEFILE dirlink\n"
            "path present, but not a file: dirlink\n"
            "PREPARE REMOVEDIR file/\n"
            "path present, but not a directory: file\n");
}

TEST_F(FileActionsTest, FileThatVanishesAfterPrepareIsSkipped) {
  WriteFile(Here("a"), "a");
  auto action = Make<RemoveFileAction>("\"a\"");
  ASSERT_EQ(action->Prepare(), 0);
  ASSERT_EQ(unlink("a"), 0);
  EXPECT_EQ(action->Execute(), 0);
  action->Finish(7);
  EXPECT_EQ(Log(),
            "PREPARE REMOVEFILE a\n"
            "EXECUTE REMOVEFILE a\n"
            "file cannot be removed because it does not exist; skipping\n");
}

// The rename to a backup needs the containing directory to be writable: for a path without '/'
// that is ".". Run in a child without privileges, so the permission bits are honoured even when
// the tests run as root.
TEST_F(FileActionsTest, WritabilityIsCheckedOnTheContainingDirectory) {
  WriteFile(Here("top"), "t");
  WriteFile(Here("sub/inner"), "i");
  MakeDirs(Here("ro"));
  ASSERT_EQ(chmod(Here("sub").c_str(), 0777), 0);
  ASSERT_EQ(chmod(Here("ro").c_str(), 0555), 0);
  ASSERT_EQ(chmod(install_.path().c_str(), 0555), 0);
  UpdateLogger::Instance().Flush();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    int top = Make<RemoveFileAction>("\"top\"")->Prepare();
    int inner = Make<RemoveFileAction>("\"sub/inner\"")->Prepare();
    int ro = Make<RemoveDirAction>("\"ro/\"")->Prepare();
    UpdateLogger::Instance().Flush();
    _exit(top == 7 && inner == 0 && ro == 7 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(chmod(install_.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(Here("ro").c_str(), 0755), 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Log(),
            "PREPARE REMOVEFILE top\n"
            "access failed: 13\n"
            "PREPARE REMOVEFILE sub/inner\n"
            "PREPARE REMOVEDIR ro/\n"
            "access failed: -1, 13\n");
}

TEST_F(FileActionsTest, AddWritesNewFileInNewDirectoryAndOverExistingOne) {
  WriteFile(Here("old"), "old content", 0600);
  OpenArchive({{"new/dir/f", "fresh", 0755}, {"old", "replacement", 0644}});
  ActionList list(&ctx_);
  Append<AddAction>(list, "\"new/dir/f\"");
  Append<AddAction>(list, "\"old\"");
  ASSERT_EQ(list.Prepare(), 0);
  ASSERT_EQ(list.Execute(), 0);
  EXPECT_EQ(ReadFile(Here("old.kiv-backup")), "old content");
  list.Finish(0);
  EXPECT_TRUE(ctx_.update_succeeded);
  EXPECT_EQ(DiffSnapshots({{"new", {'d', 0755, ""}},
                           {"new/dir", {'d', 0755, ""}},
                           {"new/dir/f", {'f', 0755, "fresh"}},
                           {"old", {'f', 0644, "replacement"}}},
                          TakeSnapshot(install_.path())),
            "");
  EXPECT_EQ(Log(),
            "PREPARE ADD new/dir/f\n"
            "PREPARE ADD old\n"
            "EXECUTE ADD new/dir/f\n"
            "EXECUTE ADD old\n"
            "FINISH ADD new/dir/f\n"
            "FINISH ADD old\n");
}

// An extraction that fails after creating the file (an empty member, bad compressed data) must not
// leave that file behind when the update fails.
TEST_F(FileActionsTest, FailedExtractionLeavesNoPartialFile) {
  OpenArchive({{"empty", "", 0644, true}, {"corrupt", "not compressed at all", 0644, true}});
  Snapshot before = TakeSnapshot(install_.path());

  ActionList empty(&ctx_);
  Append<AddAction>(empty, "\"empty\"");
  EXPECT_EQ(Run(empty), 40);
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(install_.path())), "");

  ActionList corrupt(&ctx_);
  Append<AddAction>(corrupt, "\"corrupt\"");
  EXPECT_EQ(Run(corrupt), 39);
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(install_.path())), "");
}

// A complete update removes every old file and adds the new ones under the same names. When it
// fails, the removal puts the old file back first; the add must not then delete that file.
TEST_F(FileActionsTest, FailedRemoveThenAddOfSamePathKeepsTheOldFile) {
  WriteFile(Here("a"), "old a");
  OpenArchive({{"a", "new a"}});
  Snapshot before = TakeSnapshot(install_.path());
  ActionList list(&ctx_);
  Append<RemoveFileAction>(list, "\"a\"");
  Append<AddAction>(list, "\"a\"");
  Append<AddAction>(list, "\"missing\"");
  EXPECT_EQ(Run(list), 6);
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(install_.path())), "");
}

// The conditions are decided in Prepare against the installation as it was before any Execute;
// a disabled action is silent in every pass.
TEST_F(FileActionsTest, ConditionalAddsDecideBeforeAnyExecute) {
  WriteFile(Here("present"), "p");
  OpenArchive({{"t", "t"}, {"if-present", "1"}, {"if-t", "2"}, {"if-not-t", "3"}, {"no", "4"}});
  ActionList list(&ctx_);
  Append<AddAction>(list, "\"t\"");                         // creates t during Execute
  AppendIf<AddAction>(list, true, "\"present\" \"if-present\"");  // enabled
  AppendIf<AddAction>(list, true, "\"t\" \"if-t\"");              // t missing at Prepare: disabled
  AppendIf<AddAction>(list, false, "\"t\" \"if-not-t\"");       // t missing at Prepare: enabled
  AppendIf<AddAction>(list, false, "\"present\" \"no\"");       // present exists: disabled
  EXPECT_EQ(Run(list), 0);
  EXPECT_TRUE(ctx_.update_succeeded);
  EXPECT_EQ(ReadFile(Here("if-present")), "1");
  EXPECT_FALSE(Exists(Here("if-t")));
  EXPECT_EQ(ReadFile(Here("if-not-t")), "3");
  EXPECT_FALSE(Exists(Here("no")));
  EXPECT_EQ(Log(),
            "PREPARE ADD t\n"
            "PREPARE ADD if-present\n"
            "PREPARE ADD if-not-t\n"
            "EXECUTE ADD t\n"
            "EXECUTE ADD if-present\n"
            "EXECUTE ADD if-not-t\n"
            "FINISH ADD t\n"
            "FINISH ADD if-present\n"
            "FINISH ADD if-not-t\n");
  // The two paths need a separator between them.
  std::string no_separator = "\"t\"\"f\"";
  EXPECT_EQ(ConditionalAction(std::make_unique<AddAction>(), false).Parse(no_separator.data()), 5);
}

// "addsymlink": a new link (with its folders), a link whose target changes and a file that becomes
// a link; the backups go on success, and after a failure everything is as it was.
TEST_F(FileActionsTest, AddSymlinkMakesLinksAndRollsBack) {
  WriteFile(Here("lib/libfoo.so.1.2"), "library");
  WriteFile(Here("lib/libfoo.so"), "a copy");
  ASSERT_EQ(symlink("libfoo.so.1.1", Here("lib/libfoo.so.1").c_str()), 0);
  OpenArchive({{"other", "x"}});
  const Snapshot before = Installation();
  for (int fail : {1, 0}) {
    SCOPED_TRACE(fail);
    ActionList list(&ctx_);
    Append<AddSymlinkAction>(list, "\"lib/libfoo.so.1\" \"libfoo.so.1.2\"");
    Append<AddSymlinkAction>(list, "\"lib/libfoo.so\" \"./libfoo.so.1\"");
    Append<AddSymlinkAction>(list, "\"new/dir/app\" \"../../lib/libfoo.so\"");
    if (fail) Append<AddAction>(list, "\"missing\"");  // no archive member: Execute fails here
    EXPECT_EQ(Run(list), fail ? 6 : 0);
    Snapshot expected = before;
    if (!fail) {
      expected["lib/libfoo.so.1"] = {'l', 0, "libfoo.so.1.2"};
      expected["lib/libfoo.so"] = {'l', 0, "./libfoo.so.1"};
      expected["new/dir/app"] = {'l', 0, "../../lib/libfoo.so"};
    }
    expected["new"] = {'d', 0755, ""};  // folders that an add created stay
    expected["new/dir"] = {'d', 0755, ""};
    EXPECT_EQ(DiffSnapshots(expected, Installation()), "");
    if (!fail) {
      EXPECT_EQ(ReadFile(Here("new/dir/app")), "library");
    }
    EXPECT_EQ(backups_.outstanding(), 0u);
  }
}

// Targets that are absolute or climb out of the installation, and a folder at the path, are
// refused in Prepare with 42 and a "Link: " line; a target may climb as far as the top.
TEST_F(FileActionsTest, AddSymlinkRefusesTargetsOutsideAndFolders) {
  MakeDirs(Here("dir"));
  for (const char *arg : {"\"a/l\" \"/etc/passwd\"", "\"l\" \"../x\"", "\"a/b/l\" \"../../../x\"",
                          "\"a/l\" \"b/../../../x\"", "\"dir\" \"x\""}) {
    SCOPED_TRACE(arg);
    EXPECT_EQ(Make<AddSymlinkAction>(arg)->Prepare(), 42);
    EXPECT_NE(Log().find("\nLink: "), std::string::npos);
  }
  EXPECT_EQ(Make<AddSymlinkAction>("\"a/b/l\" \"../../x/./y\"")->Prepare(), 0);
  EXPECT_TRUE(manifest::LinkTargetStaysInside("a/l", "../a/../b"));
  EXPECT_FALSE(manifest::LinkTargetStaysInside("a/l", "../b/../../c"));
  for (const char *bad : {"\"l\"", "\"l\" \"\"", "\"/l\" \"x\""}) {
    std::string text = bad;
    EXPECT_EQ(AddSymlinkAction().Parse(text.data()), 5) << bad;
  }
  EXPECT_EQ(Installation().size(), 1u);
}

}  // namespace
