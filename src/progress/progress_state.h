// SPDX-License-Identifier: MIT
// The two values through which the update worker tells the progress window how far it has got and
// that it is over. Written only by the worker, read only by the main thread; each is atomic.
#pragma once

#include <atomic>

extern std::atomic<float> progress_value;  // percent, 0 to 100; only grows during a run
extern std::atomic<int> quit_requested;    // 0, then 1 once the update is over

// Stores `percent` in progress_value.
void ReportProgressUI(float percent);
// Sets quit_requested to 1.
void QuitProgressUI();
