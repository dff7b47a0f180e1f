// SPDX-License-Identifier: MIT
#include "fileops/file_ops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fileops_test_util.h"
#include "support/log_capture.h"
#include "support/test_support.h"

using fileops_test::PathOfLength;
using testing_support::Exists;
using testing_support::LogCapture;
using testing_support::MakeDirs;
using testing_support::Mode;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

bool IsDir(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(OpenWithMode, ForcesAndVerifiesTheModeUnlessReadingOnly) {
  TempDir dir;
  std::string file = dir / "f";
  for (const char *reading : {"rb", "r", "rt+"}) {
    WriteFile(file, "x", 0444);
    FILE *f = open_with_mode(file.c_str(), reading, 0100600);
    ASSERT_NE(f, nullptr) << reading;
    fclose(f);
    EXPECT_EQ(Mode(file), 0644u) << reading << ": only the owner-write bit is added";
  }
  for (const char *writing : {"r+", "rb+", "wb", "wb+"}) {
    WriteFile(file, "x", 0644);
    FILE *f = open_with_mode(file.c_str(), writing, 0100600);
    ASSERT_NE(f, nullptr) << writing;
    fclose(f);
    EXPECT_EQ(Mode(file), 0600u) << writing;
  }
  // The whole st_mode value is compared: bare permission bits never match a regular file.
  EXPECT_EQ(open_with_mode(file.c_str(), "wb", 0644), nullptr);
  EXPECT_EQ(open_with_mode((dir / "missing").c_str(), "rb", 0100644), nullptr);
}

TEST(MakeWritable, AddsOwnerWriteThroughLinks) {
  TempDir dir;
  WriteFile(dir / "f", "x", 0444);
  ASSERT_EQ(symlink("f", (dir / "link").c_str()), 0);
  make_writable((dir / "link").c_str());
  EXPECT_EQ(Mode(dir / "f"), 0644u);
  WriteFile(dir / "g", "x", 0500);
  make_writable((dir / "g").c_str());
  EXPECT_EQ(Mode(dir / "g"), 0700u);
}

TEST(EnsureParentDir, CreatesEveryMissingParentButNotTheLastComponent) {
  TempDir dir;
  LogCapture log;
  std::string path = dir / "a/b/c";
  EXPECT_EQ(ensure_parent_dir(path.data()), 0);
  EXPECT_EQ(path, dir / "a/b/c") << "the buffer is restored";
  EXPECT_TRUE(IsDir(dir / "a/b"));
  EXPECT_FALSE(Exists(dir / "a/b/c"));

  std::string trailing = dir / "x/y/";
  EXPECT_EQ(ensure_parent_dir(trailing.data()), 0);
  EXPECT_TRUE(IsDir(dir / "x/y"));

  char no_slash[] = "plain";
  EXPECT_EQ(ensure_parent_dir(no_slash), 0);

  // A regular file in the way: its own level counts as existing, the next level fails.
  WriteFile(dir / "file", "x");
  std::string blocked = dir / "file/sub/leaf";
  EXPECT_EQ(ensure_parent_dir(blocked.data()), 7);
  EXPECT_EQ(log.Text(), "ensure_parent_dir: failed to create directory: " + dir / "file/sub" +
                            ", err: " + std::to_string(ENOTDIR) + "\n");
}

TEST(EnsureRemoveRecursive, RemovesTreesOfEveryKindAndKeepsLinkTargets) {
  TempDir dir;
  LogCapture log;
  std::string tree = dir / "tree";
  WriteFile(tree + "/ro.txt", "x", 0444);
  WriteFile(tree + "/sub/deep/f", "y", 0400);
  chmod((tree + "/sub/deep").c_str(), 0555);
  ASSERT_EQ(mkfifo((tree + "/fifo").c_str(), 0600), 0);
  MakeDirs(dir / "target");
  WriteFile(dir / "target/keep", "k");
  ASSERT_EQ(symlink((dir / "target").c_str(), (tree + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (tree + "/dangling").c_str()), 0);

  EXPECT_EQ(ensure_remove_recursive(tree.c_str(), false), 0);
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ(ReadFile(dir / "target/keep"), "k") << "a link to a directory is removed alone";

  ASSERT_EQ(symlink("target", (dir / "toplink").c_str()), 0);
  EXPECT_EQ(ensure_remove_recursive((dir / "toplink").c_str(), false), 0);
  EXPECT_TRUE(Exists(dir / "target/keep"));

  EXPECT_EQ(ensure_remove_recursive((dir / "missing").c_str(), false), -1);
  EXPECT_EQ(log.Text(), "");
}

// An entry whose path does not fit is refused: cut short, its path would name a different entry.
TEST(EnsureRemoveRecursive, RefusesAnEntryWhosePathDoesNotFit) {
  TempDir dir;
  LogCapture log;
  std::string top = PathOfLength(dir.path(), 900);
  std::string long_name(200, 'n');
  std::string short_name(1023 - top.size() - 1, 'n');  // the cut form of the long entry's path
  WriteFile(top + "/" + long_name, "long");
  WriteFile(top + "/" + short_name, "short");

  EXPECT_EQ(ensure_remove_recursive(top.c_str(), true), -1);
  EXPECT_EQ(ReadFile(top + "/" + long_name), "long");
  EXPECT_FALSE(Exists(top + "/" + short_name)) << "the other entries are still removed";
  EXPECT_NE(log.Text().find("ensure_remove_recursive: path too long: " + top + "/" + long_name),
            std::string::npos);
}

TEST(RenameFile, ReplacesDestinationsAndChecksTheSourceKind) {
  TempDir dir;
  LogCapture log;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::string dst = dir / "moved/fifo";
  EXPECT_EQ(rename_file((dir / "fifo").c_str(), dst.data(), true), 42);
  EXPECT_EQ(
      log.Text().rfind("rename_file: path present, but not a file: " + dir / "fifo" + ", err: ", 0),
      0u);
  EXPECT_EQ(rename_file((dir / "fifo").c_str(), dst.data(), false), 0);
  EXPECT_TRUE(Exists(dst));
  EXPECT_NE(log.Text().find("rename_file: proceeding to rename the directory\n"),
            std::string::npos);

  // A file over an existing file, and a directory over an existing empty directory.
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old", 0444);
  std::string file_dst = dir / "dst";
  EXPECT_EQ(rename_file((dir / "src").c_str(), file_dst.data(), true), 0);
  EXPECT_EQ(ReadFile(file_dst), "new");
  MakeDirs(dir / "d1");
  WriteFile(dir / "d1/in", "i");
  MakeDirs(dir / "empty");
  std::string dir_dst = dir / "empty";
  EXPECT_EQ(rename_file((dir / "d1").c_str(), dir_dst.data(), true), 0);
  EXPECT_EQ(ReadFile(dir / "empty/in"), "i");

  // A non-empty destination directory cannot be replaced.
  MakeDirs(dir / "d2");
  std::string full_dst = dir / "empty";
  int before = static_cast<int>(log.Text().size());
  EXPECT_EQ(rename_file((dir / "d2").c_str(), full_dst.data(), true), 7);
  std::string tail = log.Text().substr(static_cast<size_t>(before));
  EXPECT_EQ(tail,
            "rename_file: proceeding to rename the directory\n"
            "ensure_remove: failed to remove file: " +
                full_dst + ", rv: -1, err: " + std::to_string(ENOTEMPTY) +
                "\n"
                "rename_file: destination file exists and could not be removed: " +
                full_dst + "\n");

  std::string nowhere = dir / "x";
  EXPECT_EQ(rename_file((dir / "missing").c_str(), nowhere.data(), true), 6);

  // With the type check the source is what its links name: a dangling link cannot be read.
  ASSERT_EQ(symlink("gone", (dir / "dangling").c_str()), 0);
  before = static_cast<int>(log.Text().size());
  EXPECT_EQ(rename_file((dir / "dangling").c_str(), nowhere.data(), true), 6);
  EXPECT_EQ(log.Text().substr(static_cast<size_t>(before)),
            "rename_file: failed to read file status info: " + dir / "dangling" +
                ", err: " + std::to_string(ENOENT) + "\n");
  EXPECT_FALSE(Exists(nowhere));
}

// A link loop, an over-long name and a file on the way name nothing: the path is missing, for the
// conditional instructions and the removals as for the backups. (Errors that may hide an existing
// file fail the check; the fault sweep injects them.)
TEST(CheckExists, PathsThatCannotNameAnEntryAreMissing) {
  BackupSet backups;
  TempDir dir;
  LogCapture log;
  ASSERT_EQ(symlink("loop", (dir / "loop").c_str()), 0);
  WriteFile(dir / "f", "a file");
  const std::string long_name = dir / std::string(300, 'n');
  for (const std::string &path : {dir / "loop", dir / "loop/x", long_name, dir / "f/x"}) {
    bool exists = true;
    EXPECT_EQ(check_exists(path.c_str(), &exists), 0) << path;
    EXPECT_FALSE(exists) << path;
    EXPECT_EQ(backups.Undo(path.c_str()), 0) << path;
    EXPECT_EQ(backups.Drop(path.c_str()), 0) << path;
  }
  bool exists = false;
  EXPECT_EQ(check_exists((dir / "f").c_str(), &exists), 0);
  EXPECT_TRUE(exists);
  EXPECT_EQ(ReadFile(dir / "f"), "a file");
  std::string expected;
  for (const std::string &path : {dir / "loop", dir / "loop/x", long_name, dir / "f/x"}) {
    expected += "backup_restore: backup file doesn't exist: " + path + ".kiv-backup\n";
  }
  EXPECT_EQ(log.Text(), expected);
}

TEST(EnsureCopySymlink, CopiesTheTargetTextAndRefusesTargetsThatDoNotFit) {
  TempDir dir;
  LogCapture log;
  std::string fits(1024, 't');
  ASSERT_EQ(symlink(fits.c_str(), (dir / "a").c_str()), 0);
  EXPECT_EQ(ensure_copy_symlink((dir / "a").c_str(), (dir / "b").c_str()), 0);
  char target[2048] = {};
  ASSERT_EQ(readlink((dir / "b").c_str(), target, sizeof(target) - 1), 1024);
  EXPECT_EQ(std::string(target), fits);

  std::string too_long(1025, 't');
  ASSERT_EQ(symlink(too_long.c_str(), (dir / "c").c_str()), 0);
  EXPECT_EQ(ensure_copy_symlink((dir / "c").c_str(), (dir / "d").c_str()), 6);
  EXPECT_FALSE(Exists(dir / "d")) << "no link to a different place is made";
  EXPECT_EQ(log.Text(), "ensure_copy_symlink: link target too long: " + dir / "c" +
                            ", err: " + std::to_string(ENAMETOOLONG) + "\n");

  EXPECT_EQ(ensure_copy_symlink((dir / "missing").c_str(), (dir / "e").c_str()), 6);
  EXPECT_EQ(ensure_copy_symlink((dir / "a").c_str(), (dir / "b").c_str()), 6) << "b exists";
}

TEST(Backup, CreateRestoreAndDrop) {
  BackupSet backups;
  TempDir dir;
  LogCapture log;
  std::string file = dir / "app.bin";
  WriteFile(file, "original", 0755);
  EXPECT_EQ(backups.Create(file.c_str()), 0);
  EXPECT_FALSE(Exists(file));
  EXPECT_EQ(ReadFile(file + ".kiv-backup"), "original");

  WriteFile(file, "half-written");
  EXPECT_EQ(backups.Undo(file.c_str()), 0);
  EXPECT_EQ(ReadFile(file), "original");
  EXPECT_EQ(Mode(file), 0755u);
  EXPECT_FALSE(Exists(file + ".kiv-backup"));

  std::string before = log.Text();
  EXPECT_EQ(backups.Undo(file.c_str()), 0);
  EXPECT_EQ(ReadFile(file), "original");
  EXPECT_EQ(log.Text(),
            before + "backup_restore: backup file doesn't exist: " + file + ".kiv-backup\n");

  EXPECT_EQ(backups.Create(file.c_str()), 0);
  EXPECT_EQ(backups.Drop(file.c_str()), 0);
  EXPECT_FALSE(Exists(file + ".kiv-backup"));
  EXPECT_EQ(backups.Drop(file.c_str()), 0);
}

// One update that changed a path twice used to overwrite the first backup with the version in
// between, and a rollback put back whatever lay at a backup name, made by this run or not. Now the
// first backup wins and only this run's backups come back.
TEST(Backup, FirstBackupWinsAndOnlyOwnBackupsComeBack) {
  BackupSet backups;
  TempDir dir;
  LogCapture log;
  std::string file = dir / "x";
  WriteFile(file, "original");
  ASSERT_EQ(backups.Create(file.c_str()), 0);
  WriteFile(file, "between");
  ASSERT_EQ(backups.Create(file.c_str()), 0);
  EXPECT_FALSE(Exists(file));
  EXPECT_EQ(ReadFile(file + ".kiv-backup"), "original");
  WriteFile(file, "last");
  EXPECT_EQ(backups.Undo(file.c_str()), 0);
  EXPECT_EQ(ReadFile(file), "original");

  std::string other = dir / "y";
  WriteFile(other, "current");
  WriteFile(other + ".kiv-backup", "left by somebody else");
  std::string before = log.Text();
  EXPECT_EQ(backups.Undo(other.c_str()), 0);
  EXPECT_EQ(ReadFile(other), "current");
  EXPECT_EQ(log.Text(), before + "backup_restore: not restoring a backup this update did not make: " +
                            other + ".kiv-backup\n");
  // A folder at the backup name is removed when the run makes its own backup there.
  WriteFile(dir / "z.kiv-backup/inside", "stale");
  WriteFile(dir / "z", "z");
  EXPECT_EQ(backups.Create((dir / "z").c_str()), 0);
  EXPECT_EQ(ReadFile(dir / "z.kiv-backup"), "z");
  EXPECT_EQ(backups.Drop((dir / "z").c_str()), 0);
  backups = BackupSet();
}

// With a path of 1023 bytes the backup name, cut to fit, would be the path itself: the rename would
// remove the file as an "existing destination" and then fail.
TEST(Backup, PathWhoseBackupNameDoesNotFitIsLeftAlone) {
  BackupSet backups;
  TempDir dir;
  LogCapture log;
  std::string file = PathOfLength(dir.path(), 1023);
  WriteFile(file, "precious");
  EXPECT_EQ(backups.Create(file.c_str()), 7);
  EXPECT_EQ(backups.Undo(file.c_str()), 6);
  EXPECT_EQ(backups.Drop(file.c_str()), 7);
  EXPECT_EQ(ReadFile(file), "precious");
  EXPECT_EQ(log.Text(), "backup_create: backup path too long: " + file +
                            ".kiv-backup\n"
                            "backup_restore: backup path too long: " +
                            file +
                            ".kiv-backup\n"
                            "backup_drop: backup path too long: " +
                            file + ".kiv-backup\n");
}

}  // namespace

// A link removed by an update whose target the same update removes: its backup names a file that
// is gone by the Finish pass, yet it is a backup all the same. It used to be taken for missing, so
// a successful update left "link.kiv-backup" behind (and the directory around it), and a failed one
// left the link at its backup name instead of putting it back.
TEST(Backup, BackupOfLinkWhoseTargetIsGone) {
  BackupSet backups;
  TempDir dir;
  const std::string link = dir / "link";
  for (bool succeed : {true, false}) {
    WriteFile(dir / "target", "t");
    ASSERT_EQ(symlink("target", link.c_str()), 0);
    ASSERT_EQ(backups.Create(link.c_str()), 0);
    ASSERT_EQ(unlink((dir / "target").c_str()), 0);
    if (succeed) {
      EXPECT_EQ(backups.Drop(link.c_str()), 0);
      EXPECT_FALSE(Exists(link + ".kiv-backup"));
      EXPECT_FALSE(Exists(link));
    } else {
      EXPECT_EQ(backups.Undo(link.c_str()), 0);
      EXPECT_FALSE(Exists(link + ".kiv-backup"));
      char target[16] = {};
      EXPECT_EQ(readlink(link.c_str(), target, sizeof(target) - 1), 6);
      EXPECT_STREQ(target, "target");
    }
  }
}
