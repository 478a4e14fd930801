#!/usr/bin/env bash
# Screenshot of the monitor's main window under Xvfb, with the link test
# program playing a connected crawler: docs/tovwatch.png by default.
#   scripts/screenshot-tovwatch.sh [bin dir] [output png]
# Needs xvfb-run and ImageMagick's import.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$root/build/bin}" && pwd)
out=$(realpath -m "${2:-$root/docs/tovwatch.png}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A copy of the monitor with a crawler program beside it that does nothing.
cp "$bin/Tovwatch" "$work/Tovwatch"
printf '#!/bin/sh\nexit 0\n' > "$work/Tovfetch"
chmod +x "$work/Tovfetch"
mkdir "$work/run"
python3 -c "
import struct, sys
record = bytearray(184)
struct.pack_into('<i', record, 140, 30)  # MaxCrawlers
open(sys.argv[1], 'wb').write(record)
" "$work/run/Config.bin"

cd "$work/run"
export TOV_IPC_DIR="$work/ipc"
xvfb-run -a -s "-screen 0 400x720x24" sh -c '
  sleep 6 | "$1/link_peer" client 11 "Tovfetch (v 0.82)" > /dev/null &
  sleep 0.5
  "$2" & monitor=$!
  sleep 2.5
  import -window root -crop 266x661+0+0 +repage "$3"
  kill -TERM $monitor
  wait $monitor
' sh "$bin" "$work/Tovwatch" "$out"
echo "wrote $out"
