#!/usr/bin/env bash
# Runs every benchmark once and writes the report docs/benchmarks.md, with the
# raw output of each benchmark in docs/benchmarks/<name>.txt.
#
#   scripts/bench.sh            all of them (about 9 minutes on 8 cores)
#   scripts/bench.sh NAME...    only these (say crawl_bench); the report is
#                               written again from every raw output kept
#
# Installs what is missing of the build's packages, and the page corpus
# python3.11-doc only when a benchmark that needs it is to run (saying which,
# first), brings the benchmarks in build/ up to date and runs them one after
# another, so that none disturbs another. Each raw output records the machine
# it was measured on. Other work on the machine does disturb them: run it on a
# quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."

# name and arguments, in the order they run; the settings keep the whole run
# to about 9 minutes.
benches=(
  "xml_parse_bench"
  "compression_bench"
  "side_file_bench"
  "clean_html_bench"
  "tov_link_bench"
  "thumbnail_bench --renders 10000"
  "thumbnail_worst_pages"
  "monitor_cpu_bench --seconds 45"
  "crawl_bench --pages 20000 --fast-pages 100000 --thumb-pages 1000 --rounds 5"
)

# The benchmarks that give no figures without the page corpus; the others
# need none (compression_bench takes it when it is there, else pages of its
# own).
corpus_package=python3.11-doc
needs_corpus=(clean_html_bench thumbnail_bench)

wanted=("$@")
for w in "${wanted[@]}"; do
  known=0
  for b in "${benches[@]}"; do [ "${b%% *}" = "$w" ] && known=1; done
  if [ $known = 0 ]; then
    echo "unknown benchmark: $w (known: $(for b in "${benches[@]}"; do printf '%s ' "${b%% *}"; done))" >&2
    exit 2
  fi
done

selected() {
  [ ${#wanted[@]} -eq 0 ] || [[ " ${wanted[*]} " == *" $1 "* ]]
}

scripts/install-deps.sh
corpus_users=()
for n in "${needs_corpus[@]}"; do selected "$n" && corpus_users+=("$n"); done
if [ ${#corpus_users[@]} -gt 0 ] &&
  ! dpkg-query -W -f='${Status}' "$corpus_package" 2>/dev/null | grep -q "install ok installed"; then
  echo "The page corpus $corpus_package is needed by ${corpus_users[*]} and missing: installing it with" \
    "apt-get, which may also upgrade the python3.11 packages it belongs with"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "$corpus_package"
fi

[ -f build/CMakeCache.txt ] || cmake -S . -B build -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets=(Tovthumb Tovwatch)
for b in "${benches[@]}"; do targets+=("${b%% *}"); done
source=$(git describe --always --dirty 2>/dev/null || echo unknown)
machine=$(python3 scripts/bench_report.py --machine)
cmake --build build -j "$(nproc)" --target "${targets[@]}"

out=docs/benchmarks
mkdir -p "$out"
for b in "${benches[@]}"; do
  name=${b%% *}
  selected "$name" || continue
  read -r -a cmd <<<"$b"
  echo "== $b"
  start=$(date +%s)
  {
    echo "# command: build/bin/$b"
    echo "# started: $(date -u '+%Y-%m-%d %H:%M:%S UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "# source: $source"
    echo "# machine: $machine"
  } >"$out/$name.txt"
  status=0
  "build/bin/${cmd[0]}" "${cmd[@]:1}" >>"$out/$name.txt" 2>&1 || status=$?
  echo "# finished after $(($(date +%s) - start)) s, exit status $status" >>"$out/$name.txt"
  grep -v '^# ' "$out/$name.txt" || true
done

python3 scripts/bench_report.py "$out" docs/benchmarks.md
echo "Report: docs/benchmarks.md"
