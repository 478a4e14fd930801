# Sourced by the screenshot scripts: $root, $bin and $out from the arguments,
# and in a fresh $work (removed on exit) a copy of the monitor with a crawler
# program beside it that does nothing, and the folder run/ to start it in.
#   . screenshot-setup.sh <bin dir or ""> <output png or ""> <default png>
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$(cd "${1:-$root/build/bin}" && pwd)
out=$(realpath -m "${2:-$root/$3}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$bin/Tovwatch" "$work/Tovwatch"
printf '#!/bin/sh\nexit 0\n' > "$work/Tovfetch"
chmod +x "$work/Tovfetch"
mkdir "$work/run"
