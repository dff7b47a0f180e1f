#include "progress/x_test_server.h"

// Xlib's macros (None, Status, Bool) clash with the test framework's names, so Xlib stays here.
#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

namespace testing_support {

Xvfb::Xvfb() {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(fds[0]);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    // The server picks a free display itself and writes its number to this descriptor once it
    // accepts connections.
    std::string fd = std::to_string(fds[1]);
    std::string screen = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
           "tcp", static_cast<char *>(nullptr));
    _exit(127);
  }
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
  std::string out;
  // Every tool gets a time limit: some wait for ever on a window that has gone.
  FILE *pipe =
      popen(("DISPLAY=" + display + " timeout 20 " + command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
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
