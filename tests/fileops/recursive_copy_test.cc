// SPDX-License-Identifier: MIT
#include "fileops/recursive_copy.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

#include "fileops_test_util.h"
#include "support/log_capture.h"
#include "support/test_support.h"

using fileops_test::PathOfLength;
using testing_support::DiffSnapshots;
using testing_support::Exists;
using testing_support::LogCapture;
using testing_support::MakeDirs;
using testing_support::Mode;
using testing_support::ReadFile;
using testing_support::Snapshot;
using testing_support::TakeSnapshot;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

// The block of two 1024-byte slots that the copy takes.
struct SkipPaths {
  char block[2048] = {};
  SkipPaths(const std::string &install, const char *first, const char *second) {
    snprintf(block, 1024, "%s/%s", install.c_str(), first);
    snprintf(block + 1024, 1024, "%s/%s", install.c_str(), second);
  }
};

TEST(EnsureCopyRecursive, CopiesTheTreeWithModesAndLinksLeavingOutTheSkipPaths) {
  TempDir dir;
  LogCapture log;
  std::string src = dir / "install";
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 % 251);
  WriteFile(src + "/bin/app", big, 0755);
  WriteFile(src + "/readonly.txt", "ro", 0444);
  WriteFile(src + "/empty", "", 0600);
  MakeDirs(src + "/share/private");
  chmod((src + "/share/private").c_str(), 0700);
  ASSERT_EQ(symlink("bin", (src + "/bindir").c_str()), 0);
  ASSERT_EQ(symlink("../gone", (src + "/dangling").c_str()), 0);
  WriteFile(src + "/updates/1/keep", "k");
  WriteFile(src + "/Updates/0/drop", "d");  // other letter case, still left out
  WriteFile(src + "/UPDATED/staged", "s");
  ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0640), 0);
  Snapshot source = TakeSnapshot(src);

  SkipPaths skip(src, "updated", "updates/0");
  EXPECT_EQ(ensure_copy_recursive(src.c_str(), (dir / "copy").c_str(), skip.block), 0);

  Snapshot expected = source;
  expected["readonly.txt"].mode = 0444;
  expected.erase("Updates/0");
  expected.erase("Updates/0/drop");
  expected.erase("UPDATED");
  expected.erase("UPDATED/staged");
  EXPECT_EQ(DiffSnapshots(expected, TakeSnapshot(dir / "copy")), "");
  EXPECT_TRUE(Exists(dir / "copy/Updates")) << "the directory above a skipped path is copied";
  EXPECT_EQ(Mode(src + "/readonly.txt"), 0644u) << "the source gains the owner-write bit";
  struct stat st;
  ASSERT_EQ(lstat((dir / "copy/pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "a fifo is recreated, not opened";
  EXPECT_EQ(log.Text(), "");
}

TEST(EnsureCopyRecursive, UsesAnExistingDestinationAndReportsWhereItFails) {
  TempDir dir;
  LogCapture log;
  SkipPaths none(dir.path(), "-", "-");
  MakeDirs(dir / "empty");
  MakeDirs(dir / "dest");
  EXPECT_EQ(ensure_copy_recursive((dir / "empty").c_str(), (dir / "dest").c_str(), none.block), 0);

  WriteFile(dir / "src/a", "a");
  WriteFile(dir / "dest/old", "o");
  EXPECT_EQ(ensure_copy_recursive((dir / "src").c_str(), (dir / "dest").c_str(), none.block), 0);
  EXPECT_EQ(ReadFile(dir / "dest/a"), "a");
  EXPECT_EQ(ReadFile(dir / "dest/old"), "o");

  std::string missing = dir / "missing";
  EXPECT_EQ(ensure_copy_recursive(missing.c_str(), (dir / "x").c_str(), none.block), 6);
  WriteFile(dir / "file", "f");
  std::string blocked = dir / "file/sub";
  EXPECT_EQ(ensure_copy_recursive((dir / "src").c_str(), blocked.c_str(), none.block), 7);
  EXPECT_EQ(log.Text(), "ensure_copy_recursive: path doesn't exist: " + missing +
                            ", rv: -1, err: " + std::to_string(ENOENT) +
                            "\n"
                            "ensure_copy_recursive: could not create destination directory: " +
                            blocked + ", rv: -1, err: " + std::to_string(ENOTDIR) + "\n");

  // A file that cannot be created below a directory of the copy stops the copy with 7.
  WriteFile(dir / "src2/sub/f", "f");
  WriteFile(dir / "dest2/sub", "a file where the directory should go");
  EXPECT_EQ(ensure_copy_recursive((dir / "src2").c_str(), (dir / "dest2").c_str(), none.block), 7);
}

// A child path that does not fit is refused instead of being cut to the name of another entry.
TEST(EnsureCopyRecursive, RefusesAChildPathThatDoesNotFit) {
  TempDir dir;
  LogCapture log;
  std::string src = PathOfLength(dir.path(), 900);
  WriteFile(src + "/" + std::string(200, 'n'), "long");
  SkipPaths none(dir.path(), "-", "-");
  EXPECT_EQ(ensure_copy_recursive(src.c_str(), (dir / "c").c_str(), none.block), 6);
  EXPECT_EQ(log.Text(),
            "ensure_copy_recursive: path too long: " + src + "/" + std::string(200, 'n') + "\n");
}

// A small file stays in the stream's buffer until the stream is closed, so a disk that refuses its
// bytes answers only the close. The copy used to ignore that answer and report a complete copy of
// a truncated file, which a staged update then swapped in. The limit on file size stands in for a
// full disk; it is set in a child process, since it holds for the whole process.
TEST(EnsureCopy, CopyWhoseLastBytesCannotBeWrittenFails) {
  TempDir dir;
  WriteFile(dir / "source", std::string(1000, 's'));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {100, 100};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(100);
    _exit(ensure_copy((dir / "source").c_str(), (dir / "copy").c_str()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(ReadFile(dir / "copy").size(), 100u);
}

}  // namespace
