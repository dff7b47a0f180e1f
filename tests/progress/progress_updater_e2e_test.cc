// SPDX-License-Identifier: MIT
// The real updater on an update slow enough to show its progress window: the window appears on a
// real X server, and the update's result (installation, status file, log, exit code) is the same
// as that of the same update run without a display.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "progress/x_test_server.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

using testing_support::DiffSnapshots;
using testing_support::FindWindow;
using testing_support::MakeDirs;
using testing_support::MapState;
using testing_support::ReadFile;
using testing_support::Snapshot;
using testing_support::TakeSnapshot;
using testing_support::TempDir;
using testing_support::UpkEntry;
using testing_support::WriteFile;
using testing_support::Xvfb;

namespace {

constexpr int kFiles = 3000;

std::string Name(int i) { return "data/d" + std::to_string(i % 10) + "/f" + std::to_string(i); }

// Old content of file i in the installation, and its new content in the update.
std::string Content(int i, const char *version) {
  std::string text = std::string(version) + " " + std::to_string(i) + "\n";
  uint32_t state = static_cast<uint32_t>(i) * 2654435761u + 1;
  while (text.size() < 16384) {
    state = state * 1664525u + 1013904223u;
    text += static_cast<char>('a' + (state >> 24) % 26);
  }
  return text;
}

// One installation under `root`: "bin/updater" (the real binary) with its strings file, the
// application's files in "app", and the update in "patch/update.upk".
void PrepareRun(const std::string &root, const std::string &archive) {
  MakeDirs(root + "/bin");
  ASSERT_EQ(symlink(UPDATER_BIN, (root + "/bin/updater").c_str()), 0);
  WriteFile(root + "/bin/updater.ini",
            "[Strings]\nTitle=Updating Example\nInfo=Please wait while Example is updated.\n");
  for (int i = 0; i < kFiles; ++i) WriteFile(root + "/app/" + Name(i), Content(i, "old"));
  WriteFile(root + "/app/obsolete.txt", "to be removed\n");
  WriteFile(root + "/patch/update.upk", archive);
}

// Starts "<root>/bin/updater <root>/patch <root>/app <root>/app" with DISPLAY=`display` (none when
// empty); returns its pid.
pid_t StartUpdater(const std::string &root, const std::string &display) {
  testing_support::ProcessOptions options;
  options.clean_env = true;
  if (!display.empty()) options.env.push_back("DISPLAY=" + display);
  return testing_support::StartProcess(
      {root + "/bin/updater", root + "/patch", root + "/app", root + "/app"}, options);
}

// The exit code, or -1 when the process did not exit normally or cannot be waited for.
int ExitCode(pid_t pid) { return testing_support::WaitProcess(pid); }

// The log with the run's own folder replaced, so that two runs can be compared.
std::string Log(const std::string &root) {
  std::string log = ReadFile(root + "/patch/update.log");
  for (size_t at; (at = log.find(root)) != std::string::npos;) log.replace(at, root.size(), "ROOT");
  return log;
}

TEST(ProgressWindowUpdater, SameResultWithAndWithoutTheWindow) {
  Xvfb x;
  ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";

  std::vector<UpkEntry> entries;
  std::string manifest = "type \"partial\"\n";
  for (int i = 0; i < kFiles; ++i) {
    manifest += "add \"" + Name(i) + "\"\n";
    entries.push_back({Name(i), Content(i, "new")});
  }
  manifest += "add \"docs/readme.txt\"\nremove \"obsolete.txt\"\n";
  entries.push_back({"docs/readme.txt", "new file\n"});
  entries.insert(entries.begin(), UpkEntry{"updatev3.manifest", manifest});

  TempDir with_window, without_window;
  ASSERT_TRUE(testing_support::WriteUpk(with_window / "update.upk", entries));
  std::string archive = ReadFile(with_window / "update.upk");
  PrepareRun(with_window.path(), archive);
  PrepareRun(without_window.path(), archive);

  pid_t pid = StartUpdater(with_window.path(), x.display());
  std::string id = FindWindow(x.display(), "Updating Example", 20);
  EXPECT_NE(id, "") << "no window during the update";
  int with_rv = ExitCode(pid);

  auto start = std::chrono::steady_clock::now();
  int without_rv = ExitCode(StartUpdater(without_window.path(), ""));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GT(took, std::chrono::milliseconds(500)) << "the update is too quick to show a window";

  EXPECT_EQ(with_rv, 0);
  EXPECT_EQ(without_rv, 0);
  EXPECT_EQ(ReadFile(with_window / "patch/update.status"), "succeeded\n");
  EXPECT_EQ(ReadFile(without_window / "patch/update.status"), "succeeded\n");
  EXPECT_EQ(Log(with_window.path()), Log(without_window.path()));
  Snapshot installed = TakeSnapshot(with_window / "app");
  EXPECT_EQ(DiffSnapshots(TakeSnapshot(without_window / "app"), installed), "");
  EXPECT_EQ(installed.count("obsolete.txt"), 0u);
  EXPECT_EQ(installed["docs/readme.txt"].data, "new file\n");
  EXPECT_EQ(installed[Name(kFiles - 1)].data, Content(kFiles - 1, "new"));
}

}  // namespace
