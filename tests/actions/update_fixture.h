// SPDX-License-Identifier: MIT
// A fixture for action tests: a fresh installation folder that is the current directory, and a
// second folder outside it that is the working directory's stand-in for the scratch files (the
// "updating" folder with the extracted patches), the archive and the log. Snapshots of the
// installation therefore see only what the actions did to it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include "actions/action.h"
#include "actions/patch_actions.h"
#include "archive/upk_reader.h"
#include "actions/file_actions.h"
#include "actions/update_context.h"
#include "archive/decode_ahead.h"
#include "fileops/file_ops.h"
#include "base/update_log.h"
#include "support/log_capture.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

class UpdateFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(old_cwd_, sizeof(old_cwd_)), nullptr);
    ASSERT_EQ(chdir(install_.path().c_str()), 0);
    umask(022);
    working_dir_ = outside_.path();
    ctx_.working_dir = working_dir_.c_str();
    ctx_.members = &ahead_;
    ctx_.backups = &backups_;
    testing_support::MakeDirs(outside_ / "updating");
  }
  void TearDown() override {
    reader_.Close();
    EXPECT_EQ(chdir(old_cwd_), 0);
  }

  void OpenArchive(const std::vector<testing_support::UpkEntry> &entries) {
    std::string archive = outside_ / "update.upk";
    ASSERT_TRUE(testing_support::WriteUpk(archive, entries));
    ASSERT_EQ(reader_.Open(archive.c_str()), 0);
  }

  // A copy of `text` that lives as long as the fixture, as the manifest text does for its actions.
  char *Keep(const std::string &text) {
    texts_.push_back(text);
    return texts_.back().data();
  }
  template <class T>
  void Append(ActionList &list, const std::string &arg) {
    auto action = std::make_unique<T>();
    ASSERT_EQ(action->Parse(Keep(arg)), 0) << arg;
    list.Append(std::move(action));
  }
  // A conditional form of T ("add-if", "add-if-not", "patch-if").
  template <class T>
  void AppendIf(ActionList &list, bool when_present, const std::string &arg) {
    auto action = std::make_unique<ConditionalAction>(std::make_unique<T>(), when_present);
    ASSERT_EQ(action->Parse(Keep(arg)), 0) << arg;
    list.Append(std::move(action));
  }

  // The passes in the update procedure's order; returns the update's result.
  static int Run(ActionList &list) {
    int rv = list.Prepare();
    if (rv == 0) {
      rv = list.Execute();
      list.Finish(rv);
    }
    list.Destroy();
    return rv;
  }

  // The log so far; the log is reopened (truncated) for what follows.
  std::string Log() { return log_.Take(); }
  std::string Here(const std::string &rel) const { return install_ / rel; }
  testing_support::Snapshot Installation() const {
    return testing_support::TakeSnapshot(install_.path());
  }
  testing_support::Snapshot Scratch() const {
    return testing_support::TakeSnapshot(outside_ / "updating");
  }

  testing_support::TempDir outside_;
  std::string working_dir_;
  UpkReader reader_;
  DecodeAhead ahead_{&reader_};
  BackupSet backups_;
  UpdateContext ctx_;
  testing_support::LogCapture log_{outside_.path()};
  testing_support::TempDir install_;
  std::list<std::string> texts_;
  char old_cwd_[PATH_MAX];
};
