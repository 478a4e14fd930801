#!/usr/bin/env bash
# Screenshot of the monitor's Options dialog under Xvfb, opened from the Tools
# menu of a running Tovwatch: docs/options.png by default.
#   scripts/screenshot-options.sh [bin dir] [output png] [page]
# page: the tab to show, 0 to 3 (0, UserInfo, by default).
# Needs xvfb-run, xdotool and ImageMagick's import.
set -euo pipefail
. "$(dirname "$0")/screenshot-setup.sh" "${1:-}" "${2:-}" docs/options.png
page=${3:-0}
python3 "$root/scripts/records/config_record.py" "$work/run/Config.bin" \
  UserName=alice UserPassword=secret StartAtStart=1 CrawlWhenUse=2 CrawlWhenIdle=10 IdleTimeToChange=300 \
  MaxCrawlers=20 DedicatedServerName=box1 TeamName=Spiders

cd "$work/run"
export TOV_IPC_DIR="$work/ipc"
xvfb-run -a -s "-screen 0 800x720x24" sh -c '
  "$1" & monitor=$!
  sleep 2.5
  # Tools, then its first item, Options (the main window stands at 0,0).
  xdotool mousemove 52 12 click 1
  sleep 0.7
  xdotool mousemove 80 38 click 1
  sleep 1.5
  id=$(xdotool search --name "^Options\$" | head -n 1)
  if [ "$3" != 0 ]; then
    xdotool windowfocus "$id" key --window "$id" ctrl+Tab
    for i in $(seq 2 "$3"); do xdotool key --window "$id" ctrl+Tab; done
    sleep 0.5
  fi
  import -window "$id" "$2"
  kill -TERM $monitor
  wait $monitor || true
' sh "$work/Tovwatch" "$out" "$page"
echo "wrote $out"
