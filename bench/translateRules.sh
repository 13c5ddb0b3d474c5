#!/usr/bin/env bash
# What kestrixd's "TranslatePaths" costs as its rules grow, and what one huge
# request costs its other clients, side by side in one run:
#  - 10,000 paths against 10 and against 10,000 host translations (best of
#    TR_RUNS requests each); aim: the larger rule set takes at most 2x;
#  - "_ping" round trips (median and max) of a second client, every 2 ms,
#    while one client's request of 1,000,000 paths is sent and translated;
#    aim: the max under 50 ms.
# Prints the figures and one PASS or MISS line per aim.
#
#   bench/translateRules.sh
#
# Environment: TR_BUILD_DIR (default build-bench-tr), TR_RUNS (default 5),
# TR_BIG_PATHS (default 1000000), TR_KESTRIXD (another kestrixd binary to
# measure, e.g. an older build's; the benchmark program still comes from
# TR_BUILD_DIR).
#
# Outside a private network namespace it builds, then runs itself again
# under tools/netns-run, where all traffic stays on loopback. Exit status: 0
# when every aim is met, 1 when one is missed, 2 or more when the
# measurement itself failed or a reply was wrong.
set -euo pipefail
trap 'exit 2' ERR

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TR_BUILD_DIR:-$repo/build-bench-tr}
runs=${TR_RUNS:-5}
big=${TR_BIG_PATHS:-1000000}
program=$build/bench/translateRules_bench
server=${TR_KESTRIXD:-$build/kestrix/server/kestrixd}

# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

case $runs in '' | *[!0-9]* | 0) die "TR_RUNS must be a positive number" ;; esac
case $big in '' | *[!0-9]* | 0) die "TR_BIG_PATHS must be a positive number" ;; esac

build_programs() {
  mkdir -p "$build"
  timeout 300 cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_BENCH=ON \
    -DKESTRIX_TESTS=OFF >"$build/configure.log" 2>&1 ||
    die "configuring $build failed (see $build/configure.log)"
  timeout 1800 cmake --build "$build" -j2 --target translateRules_bench kestrixd ||
    die "building translateRules_bench and kestrixd failed"
}

if ! in_private_namespace; then
  build_programs
  TR_PREPARED=1 exec "$repo/tools/netns-run" bash "${BASH_SOURCE[0]}" "$@"
fi

# ---- inside the namespace: loopback only from here on ---------------------

[ "${TR_PREPARED:-}" = 1 ] || build_programs
[ -x "$program" ] || die "$program is missing"
[ -x "$server" ] || die "$server is missing"

work=$(mktemp -d /tmp/translateRules.XXXXXX)
small_pid=""
large_pid=""
cleanup() {
  stop_pid "$small_pid"
  stop_pid "$large_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 3' INT TERM HUP

# rules COUNT: fs's /data/pNNNNN is e1's /mnt/pNNNNN, for NNNNN below COUNT.
rules() {
  awk -v n="$1" 'BEGIN {
    print "[Server]\nHostName = fs"
    for (i = 0; i < n; i++)
      printf "[HostTranslation r%d]\nsrcHost = fs\nsrcPath = /data/p%05d\n" \
        "dstHost = e1\ndstPath = /mnt/p%05d\n", i, i, i
  }'
}

# start COUNT PORT: a kestrixd with COUNT rules; prints its process id.
start() {
  rules "$1" >"$work/rules$1.conf"
  "$server" -c "$work/rules$1.conf" -p "$2" >"$work/kestrixd$1.log" 2>&1 </dev/null &
  wait_for_kestrixd $! "$work/kestrixd$1.log"
  echo $!
}

small_pid=$(start 10 7601)
large_pid=$(start 10000 7602)
echo "kestrixd: $server"

field() { awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }'; }

measure() {
  local out
  out=$(timeout 900 "$program" "$@") || die "translateRules_bench $* failed"
  echo "$out"
}

echo "== 10,000 paths, best of $runs requests"
t10=$(measure time 7601 10000 10 "$runs" | field time:)
t10k=$(measure time 7602 10000 10000 "$runs" | field time:)
printf '10 rules: %s s  10,000 rules: %s s\n' "$t10" "$t10k"

echo "== _ping every 2 ms during a request of $big paths (10 rules)"
line=$(measure ping 7601 "$big" 10 | grep '^ping:') ||
  die "translateRules_bench printed no ping line"
echo "$line"
read -r _ count median max _ seconds <<<"$line"

echo
awk -v a="$t10" -v b="$t10k" -v n="$count" -v med="$median" -v mx="$max" -v s="$seconds" \
  -v big="$big" '
BEGIN {
  q = b / a
  printf "10,000 paths: 10 rules %.2f ms, 10,000 rules %.2f ms, ratio %.2fx\n", a * 1000,
    b * 1000, q
  printf "_ping during %d paths (%.2f s): %d pings, median %.2f ms, max %.2f ms\n", big, s, n,
    med, mx
  m1 = q <= 2.0; m2 = mx < 50
  printf "%s rules: %.2fx from 10 to 10,000 rules (aim: at most 2x)\n", m1 ? "PASS" : "MISS", q
  printf "%s ping: max %.2f ms during a huge request (aim: under 50 ms)\n", m2 ? "PASS" : "MISS", mx
  exit (m1 && m2) ? 0 : 1
}'
