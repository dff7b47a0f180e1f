// SPDX-License-Identifier: MIT
// Runs the progress window as the updater does, with a worker thread that follows a schedule given
// on the command line instead of applying an update. Each argument is "PERCENT@MS" (report PERCENT
// at MS milliseconds after start), "quit@MS" (end the update) or "end@MS" (the worker returns).
// Prints "run=<result of RunProgressUI> at=<milliseconds>" when RunProgressUI returns.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "progress/progress_state.h"
#include "progress/progress_ui.h"

namespace {

struct Step {
  enum Kind { kReport, kQuit, kEnd } kind;
  float percent;
  int at_ms;
};

using Clock = std::chrono::steady_clock;
const Clock::time_point start = Clock::now();

int ElapsedMs() {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void RunSchedule(const std::vector<Step> &steps) {
  for (const Step &step : steps) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(step.at_ms));
    if (step.kind == Step::kReport) ReportProgressUI(step.percent);
    if (step.kind == Step::kQuit) QuitProgressUI();
  }
}

}  // namespace

int main(int argc, char **argv) {
  SetupProgressUI(&argc, &argv);
  std::vector<Step> steps;
  for (int i = 1; i < argc; ++i) {
    const char *at = strchr(argv[i], '@');
    if (!at) {
      fprintf(stderr, "bad step: %s\n", argv[i]);
      return 2;
    }
    std::string what(argv[i], static_cast<size_t>(at - argv[i]));
    int ms = atoi(at + 1);
    if (what == "quit") {
      steps.push_back({Step::kQuit, 0, ms});
    } else if (what == "end") {
      steps.push_back({Step::kEnd, 0, ms});
    } else {
      steps.push_back({Step::kReport, strtof(what.c_str(), nullptr), ms});
    }
  }
  std::thread worker(RunSchedule, steps);
  int rv = RunProgressUI();
  printf("run=%d at=%d\n", rv, ElapsedMs());
  fflush(stdout);
  worker.join();
  return 0;
}
