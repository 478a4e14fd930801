#!/usr/bin/env bash
# Screenshot of the monitor's main window under Xvfb, with the link test
# program playing a connected crawler that reports pages for a few seconds, at
# a rate that changes, so the URL chart has something to show:
# docs/tovwatch.png by default.
#   scripts/screenshot-tovwatch.sh [bin dir] [output png]
# Needs xvfb-run and ImageMagick's import.
set -euo pipefail
. "$(dirname "$0")/screenshot-setup.sh" "${1:-}" "${2:-}" docs/tovwatch.png
python3 "$root/scripts/records/config_record.py" "$work/run/Config.bin" MaxCrawlers=30

cd "$work/run"
export TOV_IPC_DIR="$work/ipc"
xvfb-run -a -s "-screen 0 400x720x24" sh -c '
  # The link kinds a crawler reports with.
  KindUrlOk=8 KindUrlError=9 KindRobotsTxt=10 KindThreadCount=13
  reports() {
    sleep 1
    i=0
    while [ $i -lt 160 ]; do
      case $((i % 10)) in 3) kind=$KindUrlError ;; 7) kind=$KindRobotsTxt ;; *) kind=$KindUrlOk ;; esac
      echo "signal $kind"
      echo "signal $KindThreadCount 2"
      if [ $((i / 40 % 2)) = 0 ]; then sleep 0.04; else sleep 0.12; fi
      i=$((i + 1))
    done
    sleep 4
  }
  reports | "$1/link_peer" client 11 "Tovfetch (v 0.82)" > /dev/null &
  sleep 0.5
  "$2" & monitor=$!
  sleep 13
  import -window root -crop 266x661+0+0 +repage "$3"
  kill -TERM $monitor
  wait $monitor
' sh "$bin" "$work/Tovwatch" "$out"
echo "wrote $out"
