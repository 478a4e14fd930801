#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs every test and then the
# crawler's test programs whole, then builds into build-asan/ with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test but the
# fault suite again, then builds into build-tsan/ with ThreadSanitizer and runs
# the unit, link and engine tests once more. Exits non-zero on the first
# failure; a ctest call that matches no test is one.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/install-deps.sh"

jobs=$(nproc)
build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G "Unix Makefiles" "$@"
  cmake --build "$dir" -j "$jobs"
}

build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest -j "$jobs" --no-tests=error --output-on-failure --timeout 1200)
# The crawler's test programs again, each whole in one process as a developer
# runs them: what one case leaves to the next (the engine state its fixture
# resets) shows only this way. One after another, so none starves another.
scripts/run_test_programs.py --build build --label '^crawler$'
# The fault suite (label fault) runs the real programs for minutes; it runs
# once, above, with the plain build.
build build-asan -DCMAKE_BUILD_TYPE=Debug -DTOV_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest -j "$jobs" --no-tests=error --output-on-failure --timeout 600 -LE '^fault$')

# ThreadSanitizer: the tests of the five areas, not the end-to-end tests nor
# the fuzz replays; the labels are explained in tests/CMakeLists.txt. A report
# ends its process; one from a helper process that a test outlives still fails
# the stage through the test log.
cmake -S . -B build-tsan -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Debug -DTOV_TSAN=ON
cmake --build build-tsan -j "$jobs"
tsan_ctest() {
  (cd build-tsan && ctest -j "$jobs" --no-tests=error --output-on-failure "$@" &&
    ! grep -m1 "WARNING: ThreadSanitizer" Testing/Temporary/LastTest.log)
}
tsan_options="halt_on_error=1 second_deadlock_stack=1"
TSAN_OPTIONS="$tsan_options" tsan_ctest -L '^(platform|common|toolkit|crawler|monitor)$' -LE '^(qt-helper|qt-threads)$'
TSAN_OPTIONS="$tsan_options suppressions=$PWD/scripts/tsan-qt-helper.supp" tsan_ctest -L '^qt-helper$'
echo "All tests passed."
