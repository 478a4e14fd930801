#!/usr/bin/env bash
# The two programs doing their job against local stand-ins: builds what is
# missing, prepares a work directory, and in a private network and process
# namespace starts the stand-in URL server (127.0.0.1:8080), web site
# (127.0.0.2:80) and storage server (127.0.0.3:8080), then runs `Tovwatch -b`,
# which starts Tovfetch, switches it to its idle thread count once the user has
# left the machine alone for a second, and lets it crawl. After the set time it
# ends the monitor (which tells the crawler to shut down in order), then the
# stand-ins, and prints what was crawled and delivered.
#
#   scripts/demo.sh [--seconds N] [--pages N] [--dir DIR] [--idle-after S]
#
#   --seconds N     how long the monitor runs (60)
#   --pages N       how many pages the URL server hands out (2000); some are
#                   missing on the site, some are robots.txt files, some ask
#                   for a thumbnail
#   --dir DIR       the work directory (a new one under /tmp); kept afterwards
#   --idle-after S  the settings' idle time to change, in seconds (0)
#
# Nothing leaves the machine: the namespace has only loopback. Needs root or
# unprivileged user namespaces (unshare --map-root-user). The monitor's link
# objects live in the work directory, so a participant's own monitor and
# crawler, if running, are neither seen nor touched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = "--inside" ]; then
  shift
  work=$1 seconds=$2 bin=$3
  ip link set lo up
  cd "$work"
  mkdir -p url-server web-site storage
  standins="$root/tests/standins"
  pids=()
  python3 "$standins/url_server.py" --dir url-server --pages pages.txt --storage 127.0.0.3 --idle-sleep 30 &
  pids+=($!)
  python3 "$standins/web_site.py" --dir web-site --addr 127.0.0.2 &
  pids+=($!)
  python3 "$standins/storage_server.py" --dir storage --addr 127.0.0.3 &
  pids+=($!)
  for d in url-server web-site storage; do
    for _ in $(seq 100); do [ -e "$d/ready" ] && break; sleep 0.1; done
    [ -e "$d/ready" ] || { echo "the stand-in in $d did not start" >&2; exit 1; }
  done

  # No window: the offscreen platform. The idle time still comes from the
  # desktop ($DISPLAY, the session bus), else from the terminals.
  TOV_IPC_DIR="$work/ipc" QT_QPA_PLATFORM=offscreen "$bin/Tovwatch" -b > tovwatch.out 2>&1 &
  monitor=$!
  echo "Tovwatch runs for $seconds s (work directory $work)"
  for ((t = 10; t <= seconds; t += 10)); do
    sleep 10
    echo "after $t s:$(python3 "$root/scripts/demo_report.py" "$work" --brief)"
  done
  sleep $((seconds % 10))

  crawlers() { grep -l '(Tovfetch) [^ZX]' /proc/[0-9]*/stat 2>/dev/null | wc -l; }
  kill -TERM "$monitor"
  wait "$monitor" || true
  # The crawler waits up to 20 s for each of its threads, sends and exchanges.
  for _ in $(seq 700); do [ "$(crawlers)" = 0 ] && break; sleep 0.1; done
  [ "$(crawlers)" = 0 ] || echo "Tovfetch had not ended after 70 s; it is ended with the namespace" >&2
  kill -TERM "${pids[@]}"
  wait "${pids[@]}" || true
  exit 0
fi

seconds=60 pages=2000 work="" idle_after=0
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --pages) pages=$2; shift 2 ;;
    --dir) work=$2; shift 2 ;;
    --idle-after) idle_after=$2; shift 2 ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done

# Build what is missing (a fresh machine gets the packages and a build first).
bin="$root/build/bin"
if [ ! -x "$bin/Tovwatch" ] || [ ! -x "$bin/Tovfetch" ] || [ ! -x "$bin/Tovthumb" ]; then
  "$root/scripts/install-deps.sh"
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$root/build" -j 4 --target Tovwatch Tovfetch Tovthumb
fi

[ -n "$work" ] || work=$(mktemp -d /tmp/tovrane-demo.XXXXXX)
mkdir -p "$work"
work=$(cd "$work" && pwd)
"$root/scripts/prepare-workdir.sh" "$work" > /dev/null
# 2 threads while the user works, 10 once idle for more than idle_after seconds.
python3 "$root/scripts/records/config_record.py" "$work/Config.bin" \
  CrawlWhenUse=2 CrawlWhenIdle=10 IdleTimeToChange="$idle_after" MaxCrawlers=20
python3 - "$work/pages.txt" "$pages" <<'PY'
import sys
path, count = sys.argv[1], int(sys.argv[2])
site = "http://127.0.0.2:80"
with open(path, "w") as f:
    for i in range(count):
        if i % 20 == 7:
            f.write("%s/missing?p=%d\n" % (site, i))
        elif i % 20 == 13:
            f.write("%s/robots.txt?p=%d\trobottxt\n" % (site, i))
        elif i % 20 == 17:
            f.write("%s/page.html?p=%d\t\t\t\t\tTRUE\n" % (site, i))
        else:
            f.write("%s/gen/20.html?p=%d\n" % (site, i))
PY

unshare_args=(--net --pid --fork --mount-proc)
[ "$(id -u)" = 0 ] || unshare_args+=(--map-root-user)
if ! unshare "${unshare_args[@]}" true 2>/dev/null; then
  echo "cannot make a private network namespace here: run as root, or allow user namespaces" >&2
  exit 1
fi
unshare "${unshare_args[@]}" bash "$0" --inside "$work" "$seconds" "$bin"
echo
python3 "$root/scripts/demo_report.py" "$work"
