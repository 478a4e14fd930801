#!/usr/bin/env bash
# Runs every fault case of this folder, one after another, and says which
# held. Each case makes its own network and process namespace (root, or
# unprivileged user namespaces) and runs the programs of build/bin (or of
# $TOV_BIN_DIR). Builds them first when they are missing. Each case prints the
# seed of its random choices; --seed S gives every case that seed, so that a
# failing run can be repeated.
#
#   tests/faults/run.sh [--seed S] [case ...]      (all cases when none is named)
set -uo pipefail
if [ "${1:-}" = "--seed" ]; then
  [ $# -ge 2 ] || { echo "usage: $0 [--seed S] [case ...]" >&2; exit 2; }
  export TOV_FAULT_SEED=$2
  shift 2
fi
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
    case $(basename "$f") in faultlib.py | faultlib_test.py) ;; *) cases+=("$(basename "$f" .py)") ;; esac
  done
fi
failed=0
for c in "${cases[@]}"; do
  echo "== $c"
  if python3 "$here/$c.py"; then echo "== $c held"; else echo "== $c FAILED"; failed=1; fi
done
exit $failed
