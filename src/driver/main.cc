// SPDX-License-Identifier: MIT
// The updater program. Whether every archive must be signed is the build's setting
// (-DUPDATER_REQUIRE_SIGNATURE=ON).
#include "driver/entry_point.h"

#ifndef UPDATER_REQUIRE_SIGNATURE
#define UPDATER_REQUIRE_SIGNATURE 0
#endif

int main(int argc, char **argv) { return UpdaterMain(argc, argv, UPDATER_REQUIRE_SIGNATURE != 0); }
