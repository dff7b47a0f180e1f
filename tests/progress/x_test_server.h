// SPDX-License-Identifier: MIT
// What the window tests need of a real X server: a private Xvfb on a free display, the output of
// the ordinary X tools run against it, and the close request that a window manager sends. Failures
// show as empty results; the tests assert on those.
#pragma once

#include <sys/types.h>

#include <string>

namespace testing_support {

constexpr int kScreenWidth = 800;
constexpr int kScreenHeight = 600;

// An Xvfb server of kScreenWidth x kScreenHeight started on a free display, stopped when the
// object goes. display() is ":N", or empty when the server did not start.
class Xvfb {
 public:
  Xvfb();
  ~Xvfb();
  Xvfb(const Xvfb &) = delete;
  Xvfb &operator=(const Xvfb &) = delete;
  const std::string &display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Standard output of `command` run through /bin/sh with DISPLAY=`display`, at most 20 seconds.
std::string CaptureX(const std::string &display, const std::string &command);

// Decimal id of the window titled exactly `title`, waiting up to `seconds` for it to be mapped;
// empty when none appears.
std::string FindWindow(const std::string &display, const std::string &title, int seconds);

// The window's map state as xwininfo reports it ("IsViewable", "IsUnMapped", ...); empty when the
// window does not exist.
std::string MapState(const std::string &display, const std::string &id);

// Sends `window` a WM_PROTOCOLS client message with WM_DELETE_WINDOW, as a window manager does
// for its close button. Returns false when the display cannot be opened or nothing was sent.
bool SendCloseRequest(const std::string &display, unsigned long window);

}  // namespace testing_support
