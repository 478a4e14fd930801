#!/usr/bin/env bash
# Runs every fault case of this folder, one after another, and says which
# held. Each case makes its own network and process namespace (root, or
# unprivileged user namespaces) and runs the programs of build/bin (or of
# $TOV_BIN_DIR). Builds them first when they are missing.
#
#   tests/faults/run.sh [case ...]      (all cases when none is named)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=${TOV_BIN_DIR:-$root/build/bin}
if [ ! -x "$bin/Tovwatch" ] || [ ! -x "$bin/Tovfetch" ] || [ ! -x "$bin/Tovthumb" ]; then
  "$root/scripts/install-deps.sh"
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$root/build" -j "$(nproc)" --target Tovwatch Tovfetch Tovthumb
fi
export TOV_BIN_DIR=$bin
cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
  for f in "$here"/*.py; do
    [ "$(basename "$f")" = faultlib.py ] || cases+=("$(basename "$f" .py)")
  done
fi
failed=0
for c in "${cases[@]}"; do
  echo "== $c"
  if python3 "$here/$c.py"; then echo "== $c held"; else echo "== $c FAILED"; failed=1; fi
done
exit $failed
