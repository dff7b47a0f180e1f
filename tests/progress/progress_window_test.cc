// SPDX-License-Identifier: MIT
// The progress window in a real X server: each test starts its own Xvfb, runs the window driver
// (the window as the updater runs it, with a worker that follows a schedule) and looks at what
// appears on the server with the ordinary X tools.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "progress/x_test_server.h"
#include "support/test_support.h"

using testing_support::CaptureX;
using testing_support::FindWindow;
using testing_support::kScreenHeight;
using testing_support::kScreenWidth;
using testing_support::MapState;
using testing_support::ReadFile;
using testing_support::SendCloseRequest;
using testing_support::TempDir;
using testing_support::WriteFile;
using testing_support::Xvfb;

namespace {

const char kStrings[] =
    "[Strings]\nTitle=Software Update\nInfo=Please wait while the application is updated.\n";

using Clock = std::chrono::steady_clock;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The window driver started as "./app" in `dir`, so that it looks for app.ini and app.png there.
class App {
 public:
  App(const TempDir &dir, const std::string &display, const std::vector<std::string> &schedule)
      : out_(dir / "out") {
    symlink(PROGRESS_WINDOW_DRIVER, (dir / "app").c_str());
    testing_support::ProcessOptions options;
    options.cwd = dir.path();
    options.env = {display.empty() ? "DISPLAY" : "DISPLAY=" + display};
    options.stdout_path = "out";
    options.stderr_path = "err";
    std::vector<std::string> argv{"./app"};
    argv.insert(argv.end(), schedule.begin(), schedule.end());
    pid_ = testing_support::StartProcess(argv, options);
  }
  ~App() { Wait(); }

  // Waits until RunProgressUI has returned and gives its result and the time of its return.
  bool WaitForRun(int *rv, int *at_ms) {
    for (int i = 0; i < 200; ++i) {
      std::smatch m;
      std::string out = ReadFile(out_);
      if (std::regex_search(out, m, std::regex("run=(-?\\d+) at=(\\d+)"))) {
        *rv = std::stoi(m[1]);
        *at_ms = std::stoi(m[2]);
        return true;
      }
      SleepMs(50);
    }
    return false;
  }
  bool Running() { return !Reaped(); }
  // The exit status; a driver still running after 20 seconds is killed.
  int Wait() {
    for (int i = 0; i < 400 && !Reaped(); ++i) SleepMs(50);
    if (!Reaped()) {
      ADD_FAILURE() << "the window driver did not end";
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    return status_;
  }

 private:
  // Whether the driver has ended (collecting its status once).
  bool Reaped() {
    if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
    return pid_ <= 0;
  }
  std::string out_;
  pid_t pid_ = -1;
  int status_ = -1;
};

int Field(const std::string &text, const std::string &pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? std::stoi(m[1]) : -1;
}

// How far the progress bar is filled, read from the window's pixels: the share of the bar's row
// that has the colour found just inside its left end.
double BarFraction(const std::string &display, const std::string &id, int width, int height) {
  std::string rgb = CaptureX(display, "import -window " + id + " -depth 8 rgb:-");
  if (rgb.size() != static_cast<size_t>(width * height * 3)) return -1;
  // The window has a 10-pixel border; the bar is the lower half of what lies inside.
  int row = height - 10 - (height - 20) / 4;
  auto pixel = [&](int x) { return rgb.substr((static_cast<size_t>(row) * width + x) * 3, 3); };
  const int left = 10 + 3, right = width - 10 - 3;  // inside the trough's frame
  std::string fill = pixel(left);
  int filled = 0;
  for (int x = left; x < right; ++x) filled += pixel(x) == fill;
  return static_cast<double>(filled) / (right - left);
}

class ProgressWindow : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(x_.display().empty()) << "Xvfb did not start"; }
  // After RunProgressUI has returned, while the worker still keeps the driver alive: was any
  // window with the title ever created?
  void ExpectNoWindowEverBuilt(App &app) {
    ASSERT_TRUE(app.Running());
    EXPECT_EQ(CaptureX(x_.display(), "xdotool search --name 'Software Update'"), "");
  }
  Xvfb x_;
  TempDir dir_;
};

TEST_F(ProgressWindow, ShowsProgressRefusesCloseAndLeavesWhenTheUpdateEnds) {
  WriteFile(dir_ / "app.ini", kStrings);
  ASSERT_EQ(testing_support::Run("convert -size 32x32 xc:orange " + dir_ / "app.png"), 0);
  App app(dir_, x_.display(), {"10@0", "45@600", "80@2200", "quit@3800", "end@5500"});

  std::string id = FindWindow(x_.display(), "Software Update", 10);
  ASSERT_NE(id, "") << ReadFile(dir_ / "err");
  std::string props = CaptureX(x_.display(), "xprop -id " + id);
  std::string geometry = CaptureX(x_.display(), "xwininfo -id " + id);

  // Not resizable: the size hints pin the window to one size.
  int min_w = Field(props, "minimum size: (\\d+) by"),
      min_h = Field(props, "minimum size: \\d+ by (\\d+)");
  int width = Field(geometry, "Width: (\\d+)"), height = Field(geometry, "Height: (\\d+)");
  EXPECT_GT(width, 0);
  EXPECT_EQ(min_w, width);
  EXPECT_EQ(min_h, height);
  EXPECT_EQ(Field(props, "maximum size: (\\d+) by"), width);
  EXPECT_EQ(Field(props, "maximum size: \\d+ by (\\d+)"), height);
  // Centred on the screen.
  EXPECT_NEAR(Field(geometry, "Absolute upper-left X: +(\\d+)"), (kScreenWidth - width) / 2, 1);
  EXPECT_NEAR(Field(geometry, "Absolute upper-left Y: +(\\d+)"), (kScreenHeight - height) / 2, 1);
  // A dialog, with the icon beside the program, offering the window manager no close function:
  // the motif hints list the functions (flag 1) as "all (1) except close (32)".
  EXPECT_NE(props.find("_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_DIALOG"),
            std::string::npos);
  EXPECT_NE(props.find("_NET_WM_ICON(CARDINAL) = \tIcon (32 x 32)"), std::string::npos);
  std::smatch motif;
  ASSERT_TRUE(std::regex_search(props, motif, std::regex("_MOTIF_WM_HINTS\\) = (\\w+), (\\w+)")));
  EXPECT_EQ(std::stoul(motif[1], nullptr, 16) & 1, 1u);
  EXPECT_EQ(std::stoul(motif[2], nullptr, 16) & 0x21, 0x21u);

  // The bar follows the reported progress.
  SleepMs(1500 - 600);  // about 1.5 s after start: 45 percent reported, timer ticked since
  EXPECT_NEAR(BarFraction(x_.display(), id, width, height), 0.45, 0.04);
  CaptureX(x_.display(), "import -window " + id + " " PROGRESS_WINDOW_SCREENSHOT);

  // A close request from the window manager is refused.
  ASSERT_NE(props.find("WM_DELETE_WINDOW"), std::string::npos);
  ASSERT_TRUE(SendCloseRequest(x_.display(), std::stoul(id)));
  SleepMs(1200);  // about 2.7 s
  EXPECT_EQ(MapState(x_.display(), id), "IsViewable");
  EXPECT_NEAR(BarFraction(x_.display(), id, width, height), 0.80, 0.04);

  // The end of the update hides the window within a timer tick or so; the worker still runs.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (MapState(x_.display(), id) == "IsViewable" && Clock::now() < deadline) SleepMs(50);
  EXPECT_EQ(MapState(x_.display(), id), "IsUnMapped");
  EXPECT_TRUE(app.Running());
  int rv = -2, at_ms = 0;
  ASSERT_TRUE(app.WaitForRun(&rv, &at_ms));
  EXPECT_EQ(rv, 0);
  EXPECT_GE(at_ms, 3800);
  EXPECT_LT(at_ms, 3800 + 1000);
  EXPECT_EQ(app.Wait(), 0);
}

TEST_F(ProgressWindow, ExactlySeventyPercentStillShowsTheWindowIconOrNot) {
  WriteFile(dir_ / "app.ini", kStrings);
  WriteFile(dir_ / "app.png", "not an image");
  App app(dir_, x_.display(), {"70@0", "quit@2000", "end@3000"});
  std::string id = FindWindow(x_.display(), "Software Update", 10);
  ASSERT_NE(id, "") << ReadFile(dir_ / "err");
  EXPECT_EQ(MapState(x_.display(), id), "IsViewable");
  EXPECT_EQ(CaptureX(x_.display(), "xprop -id " + id + " _NET_WM_ICON").find("Icon ("),
            std::string::npos);
  int rv = -2, at_ms = 0;
  ASSERT_TRUE(app.WaitForRun(&rv, &at_ms));
  EXPECT_EQ(rv, 0);
}

TEST_F(ProgressWindow, NoWindowWhenTheUpdateEndsWithinHalfASecond) {
  WriteFile(dir_ / "app.ini", kStrings);
  App app(dir_, x_.display(), {"50@0", "quit@100", "end@2500"});
  int rv = -2, at_ms = 0;
  ASSERT_TRUE(app.WaitForRun(&rv, &at_ms));
  EXPECT_EQ(rv, 0);
  EXPECT_GE(at_ms, 500);
  ExpectNoWindowEverBuilt(app);
}

TEST_F(ProgressWindow, NoWindowWhenPastSeventyPercentAfterHalfASecond) {
  WriteFile(dir_ / "app.ini", kStrings);
  App app(dir_, x_.display(), {"70.5@100", "90@1000", "quit@2000", "end@3000"});
  int rv = -2, at_ms = 0;
  ASSERT_TRUE(app.WaitForRun(&rv, &at_ms));
  EXPECT_EQ(rv, 0);
  EXPECT_LT(at_ms, 2000);  // returned at once, not at the end of the update
  ExpectNoWindowEverBuilt(app);
}

TEST_F(ProgressWindow, NoWindowWithoutAUsableStringsFile) {
  for (const char *content : {"", "[Strings]\nTitle=Software Update\n"}) {
    TempDir dir;
    if (*content) WriteFile(dir / "app.ini", content);
    App app(dir, x_.display(), {"10@0", "quit@1500", "end@2500"});
    int rv = -2, at_ms = 0;
    ASSERT_TRUE(app.WaitForRun(&rv, &at_ms));
    EXPECT_EQ(rv, -1);
    EXPECT_LT(at_ms, 1500);
    ExpectNoWindowEverBuilt(app);
  }
}

// Without a display (none named, or one that cannot be opened) there is no wait either.
TEST(ProgressWindowWithoutDisplay, ReturnsAtOnce) {
  for (const char *display : {"", ":987"}) {
    TempDir dir;
    WriteFile(dir / "app.ini", kStrings);
    App app(dir, display, {"10@0", "quit@1000", "end@1000"});
    int rv = -2, at_ms = 0;
    ASSERT_TRUE(app.WaitForRun(&rv, &at_ms));
    EXPECT_EQ(rv, -1) << "DISPLAY=" << display;
    EXPECT_LT(at_ms, 400);
    EXPECT_EQ(app.Wait(), 0);
  }
}

}  // namespace
