// SPDX-License-Identifier: MIT
#include "fileops/beneath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "support/log_capture.h"
#include "support/test_support.h"

using testing_support::LogCapture;
using testing_support::MakeDirs;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

ino_t Inode(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A root folder with links that stay inside (relative, absolute, climbing back within it) and
// links that do not.
class Beneath : public testing::Test {
 protected:
  void SetUp() override {
    MakeDirs(root_ + "/a/b");
    MakeDirs(tmp_ / "outside");
    char real[PATH_MAX];
    ASSERT_NE(realpath(root_.c_str(), real), nullptr);
    real_ = real;
    Link("a/b", "rel");
    Link(real_ + "/a", "abs");
    Link("../a/b", "a/back");
    Link("..", "a/b/up");
    Link(tmp_ / "outside", "out");
    Link("../..", "a/climb");
    Link("loop2", "loop1");
    Link("loop1", "loop2");
    root_fd_ = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root_fd_, 0);
  }
  void TearDown() override { close(root_fd_); }
  void Link(const std::string &target, const std::string &name) {
    ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + name).c_str()), 0) << name;
  }
  // The inode of the folder `folder` opens to, or errno negated.
  long Open(bool walk, const char *folder) {
    int fd = walk ? WalkFolderBeneath(root_fd_, real_.c_str(), folder)
                  : OpenFolderBeneath(root_fd_, real_.c_str(), folder);
    if (fd < 0) return -errno;
    struct stat st;
    fstat(fd, &st);
    close(fd);
    return static_cast<long>(st.st_ino);
  }

  TempDir tmp_;
  std::string root_ = tmp_ / "root";
  std::string real_;
  int root_fd_ = -1;
};

TEST_F(Beneath, LinksThatStayInsideAreFollowedAndEveryWayOutIsRefused) {
  const long b = static_cast<long>(Inode(root_ + "/a/b"));
  const long a = static_cast<long>(Inode(root_ + "/a"));
  for (bool walk : {false, true}) {
    SCOPED_TRACE(walk ? "walk" : "openat2");
    EXPECT_EQ(Open(walk, ""), static_cast<long>(Inode(root_)));
    EXPECT_EQ(Open(walk, "rel"), b);
    EXPECT_EQ(Open(walk, "abs/b"), b);
    EXPECT_EQ(Open(walk, "a/back"), b);
    EXPECT_EQ(Open(walk, "rel/up"), a);
    EXPECT_EQ(Open(walk, "a/b/../.."), static_cast<long>(Inode(root_)));
    EXPECT_EQ(Open(walk, (real_ + "/a/b").c_str()), b);
    for (const char *outside : {"..", "a/../..", "out", "a/climb", "rel/up/climb"}) {
      EXPECT_EQ(Open(walk, outside), -kLeadsOutside) << outside;
    }
    EXPECT_EQ(Open(walk, "loop1"), -ELOOP);
    EXPECT_EQ(Open(walk, "missing/x"), -ENOENT);
  }
  // Without the root's resolved path an absolute link cannot be told inside.
  int fd = WalkFolderBeneath(root_fd_, nullptr, "abs");
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(errno, kLeadsOutside);
}

TEST_F(Beneath, AnAtPathHoldsTheFolderAndLeavesTheLastComponentUnfollowed) {
  char old_cwd[PATH_MAX];
  ASSERT_NE(getcwd(old_cwd, sizeof(old_cwd)), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  LogCapture log;
  Link("nowhere", "a/b/dangling");
  Link(tmp_ / "outside/new", "a/b/leads-out");
  WriteFile(root_ + "/a/b/file", "f");
  Link("file", "a/b/to-file");
  AtPath at;
  // The dangling link is the entry returned, not followed.
  ASSERT_TRUE(at.Resolve("rel/dangling"));
  struct stat st;
  EXPECT_EQ(fstatat(at.dir(), at.leaf(), &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(at.leaf_flags(), 0);
  // Followed on request while the link stays inside; then opened with O_NOFOLLOW.
  ASSERT_TRUE(at.Resolve("abs/b/to-file", AtPath::kFollowLeaf));
  EXPECT_STREQ(at.leaf(), "file");
  EXPECT_EQ(at.leaf_flags(), O_NOFOLLOW);
  ASSERT_TRUE(at.Resolve("rel/dangling", AtPath::kFollowLeaf));
  EXPECT_STREQ(at.leaf(), "nowhere");
  EXPECT_FALSE(at.Resolve("rel/leads-out", AtPath::kFollowLeaf));
  EXPECT_EQ(errno, kLeadsOutside);
  EXPECT_FALSE(at.Resolve("out/victim"));
  EXPECT_FALSE(at.Resolve("out/victim", AtPath::kQuiet));
  // An absolute path is not resolved.
  ASSERT_TRUE(at.Resolve("/etc/passwd"));
  EXPECT_EQ(at.dir(), AT_FDCWD);
  EXPECT_STREQ(at.leaf(), "/etc/passwd");
  EXPECT_EQ(log.Text(),
            "Link: rel/leads-out leads outside the directory being updated\n"
            "Link: out/victim leads outside the directory being updated\n");
  ASSERT_EQ(chdir(old_cwd), 0);
}

}  // namespace
