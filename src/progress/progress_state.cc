// SPDX-License-Identifier: MIT
#include "progress/progress_state.h"

std::atomic<float> progress_value{0.0f};
std::atomic<int> quit_requested{0};

void ReportProgressUI(float percent) { progress_value.store(percent); }

void QuitProgressUI() { quit_requested.store(1); }
