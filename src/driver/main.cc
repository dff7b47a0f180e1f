#include "driver/entry_point.h"

int main(int argc, char **argv) { return UpdaterMain(argc, argv); }
