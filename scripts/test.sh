#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs the whole test suite twice: the normal build (build/), then the same
# suite built with AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer (build-asan/),
# where any sanitizer report, leaks included, fails the run. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
ctest --test-dir build --output-on-failure -j2

bash scripts/setup.sh build-asan -DUPDATER_SANITIZE=ON
# exitcode 66 keeps a sanitizer report apart from the updater's own exit status 1 in the end-to-end
# tests; libraries of the toolkit that keep their caches until exit are listed in lsan.supp.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:exitcode=66:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=66
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0:exitcode=66
ctest --test-dir build-asan --output-on-failure -j2
