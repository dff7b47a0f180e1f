// SPDX-License-Identifier: MIT
// The progress window shown on the main thread during an in-place update. Nothing in the update
// depends on it: every failure only means that no window is shown.
#pragma once

extern const char *program_path;  // argv[0] as given; base of the ".ini" and ".png" resource names
extern int display_available;     // whether the toolkit could be initialised with a display

// Records the program path and initialises the toolkit when a display is available; may remove the
// toolkit's own options from the argument vector. Always returns 0.
int SetupProgressUI(int *argc, char ***argv);

// Shows the window until QuitProgressUI; returns -1 when no window could be built, 0 otherwise.
int RunProgressUI();
