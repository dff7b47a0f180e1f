// Placeholder window layer: behaves as when no display is available.
#include "progress/progress_ui.h"

const char *program_path = nullptr;
int display_available = 0;

int SetupProgressUI(int *argc, char ***argv) {
  program_path = *argc > 0 ? (*argv)[0] : "";
  display_available = 0;
  return 0;
}

int RunProgressUI() { return -1; }
