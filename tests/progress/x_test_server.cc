// SPDX-License-Identifier: MIT
#include "progress/x_test_server.h"

// Xlib's macros (None, Status, Bool) clash with the test framework's names, so Xlib stays here.
#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "support/test_support.h"

namespace testing_support {

Xvfb::Xvfb() {
  int fds[2];
  if (pipe(fds) != 0) return;
  // The server picks a free display itself and writes its number to the pipe, which it inherits,
  // once it accepts connections.
  ProcessOptions options;
  options.stdout_path = "/dev/null";
  options.stderr_path = "/dev/null";
  const std::string screen =
      std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
  pid_ = StartProcess(
      {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten", "tcp"},
      options);
  close(fds[1]);
  std::string number;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

Xvfb::~Xvfb() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::string CaptureX(const std::string &display, const std::string &command) {
  // Every tool gets a time limit: some wait for ever on a window that has gone.
  return RunShell("DISPLAY=" + display + " timeout 20 " + command + " 2>/dev/null").text;
}

std::string FindWindow(const std::string &display, const std::string &title, int seconds) {
  std::string out =
      CaptureX(display, "timeout " + std::to_string(seconds) +
                            " xdotool search --sync --onlyvisible --name '^" + title + "$'");
  return out.substr(0, out.find('\n'));
}

std::string MapState(const std::string &display, const std::string &id) {
  std::smatch m;
  std::string info = CaptureX(display, "xwininfo -id " + id);
  return std::regex_search(info, m, std::regex("Map State: (\\w+)")) ? m[1].str() : "";
}

bool SendCloseRequest(const std::string &display, unsigned long window) {
  Display *x = XOpenDisplay(display.c_str());
  if (!x) return false;
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  Status sent = XSendEvent(x, window, False, NoEventMask, &event);
  XSync(x, False);
  XCloseDisplay(x);
  return sent != 0;
}

}  // namespace testing_support
