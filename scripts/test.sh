#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs every test, then builds
# into build-asan/ with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# every test again. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/install-deps.sh"

jobs=$(nproc)
build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G "Unix Makefiles" "$@"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600)
}

build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build build-asan -DCMAKE_BUILD_TYPE=Debug -DTOV_SANITIZE=ON
echo "All tests passed."
