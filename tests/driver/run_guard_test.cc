// SPDX-License-Identifier: MIT
#include "driver/run_guard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/test_support.h"

using testing_support::MakeDirs;
using testing_support::TempDir;

namespace {

TEST(RemovalEndangersInstallation, RootAncestorsAndTheInstallationItself) {
  TempDir dir;
  std::string install = dir / "apps/inst";
  MakeDirs(install + "/updated");
  MakeDirs(dir / "apps/inst2");
  ASSERT_EQ(symlink(install.c_str(), (dir / "link").c_str()), 0);

  EXPECT_TRUE(RemovalEndangersInstallation("/", install.c_str()));
  EXPECT_TRUE(RemovalEndangersInstallation(install.c_str(), install.c_str()));
  EXPECT_TRUE(RemovalEndangersInstallation((install + "/updated/..").c_str(), install.c_str()));
  EXPECT_TRUE(RemovalEndangersInstallation((dir / "apps").c_str(), install.c_str()));
  EXPECT_TRUE(RemovalEndangersInstallation(dir.path().c_str(), (install + "/").c_str()));

  EXPECT_FALSE(RemovalEndangersInstallation((install + "/updated").c_str(), install.c_str()));
  EXPECT_FALSE(RemovalEndangersInstallation((dir / "apps/inst2").c_str(), install.c_str()))
      << "a sibling whose name begins like the installation's";
  EXPECT_FALSE(RemovalEndangersInstallation((dir / "missing").c_str(), install.c_str()));
  EXPECT_FALSE(RemovalEndangersInstallation((dir / "link").c_str(), install.c_str()))
      << "only the link itself would be removed";
}

}  // namespace
