#!/usr/bin/env bash
# Cost of kestrix_translate_path against kestrixd with the example rules,
# measured beside tools that do about the same work:
#  - one path per run: median wall time of the command and of
#    `redis-cli ping` against a local redis-server (hyperfine, side by side);
#    aim: the command takes at most 1.0x redis-cli's time;
#  - a file of 1,000,000 paths under /data/ (about 60 bytes each) translated
#    towards edit01: best of 3 wall times of the command and of a sed that
#    rewrites the same prefix (aim: at most 2x sed's time), and the command's
#    peak resident memory (aim: at most 4x the file's size).
# Prints the figures and one PASS or MISS line per aim.
#
#   bench/translatePath.sh
#
# Environment: TP_BUILD_DIR (default build-bench-tp), TP_RUNS (hyperfine
# runs per command, at least 30, default 50), TP_PATHS (paths in the file,
# default 1000000; other counts are for trying the script out).
#
# Outside a private network namespace it installs what is missing (needs the
# host's package access) and builds, then runs itself again under
# tools/netns-run, where all traffic stays on loopback. Exit status: 0 when
# every aim is met, 1 when one is missed, 2 or more when the measurement
# itself failed or the command's output was wrong.
set -euo pipefail
# Any unexpected failure is a failed measurement, never a missed aim.
trap 'exit 2' ERR

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TP_BUILD_DIR:-$repo/build-bench-tp}
runs=${TP_RUNS:-50}
paths=${TP_PATHS:-1000000}
command=$build/kestrix/tools/translate_path/kestrix_translate_path
server=$build/kestrix/server/kestrixd

# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

case $runs in '' | *[!0-9]*) die "TP_RUNS must be a number" ;; esac
[ "$runs" -ge 30 ] || die "TP_RUNS must be at least 30"
case $paths in '' | *[!0-9]* | 0) die "TP_PATHS must be a positive number" ;; esac


build_programs() {
  mkdir -p "$build"
  timeout 300 cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF \
    >"$build/configure.log" 2>&1 || die "configuring $build failed (see $build/configure.log)"
  timeout 1800 cmake --build "$build" -j2 --target kestrix_translate_path kestrixd ||
    die "building kestrix_translate_path and kestrixd failed"
}

tools="hyperfine redis-server redis-cli python3 /usr/bin/time"

if ! in_private_namespace; then
  install_missing "$tools" hyperfine redis-server redis-tools time
  build_programs
  TP_PREPARED=1 exec "$repo/tools/netns-run" bash "${BASH_SOURCE[0]}" "$@"
fi

# ---- inside the namespace: loopback only from here on ---------------------

missing_command "$tools" && die "hyperfine, redis-server, redis-cli, python3 or /usr/bin/time is missing;" \
  "run this script outside a network namespace so it can install them"
[ "${TP_PREPARED:-}" = 1 ] || build_programs
[ -x "$command" ] || die "$command is missing"
[ -x "$server" ] || die "$server is missing"

work=$(mktemp -d /tmp/translatePath.XXXXXX)
server_pid=""
redis_pid=""

cleanup() {
  stop_pid "$server_pid"
  stop_pid "$redis_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 3' INT TERM HUP

free_port() {
  timeout 10 python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

port=$(free_port) || die "no free loopback port"
pinned_example_rules "$work/rules.conf"
"$server" -c "$work/rules.conf" -p "$port" >"$work/kestrixd.log" 2>&1 </dev/null &
server_pid=$!
wait_for_kestrixd "$server_pid" "$work/kestrixd.log"

rport=$(free_port) || die "no free loopback port"
start_redis "$rport" "$work"
echo "kestrixd on 127.0.0.1:$port, redis-server on 127.0.0.1:$rport"

# ---- one path per run -------------------------------------------------------

single=(-h "127.0.0.1:$port" -p /data/movies/shot010/plate.0001.exr -H edit01)
answer=$(timeout 30 "$command" "${single[@]}") || die "the command failed: $answer"
[ "$answer" = 'M:\shot010\plate.0001.exr' ] || die "unexpected translation: $answer"

echo
echo "== one path per run: hyperfine, 5 warm-up runs, $runs runs each"
timeout 900 hyperfine -N --style basic --warmup 5 --runs "$runs" \
  --export-json "$work/single.json" \
  -n kestrix_translate_path "$command ${single[*]}" \
  -n redis-cli "redis-cli -p $rport ping" || die "hyperfine failed"
read -r median_command median_redis < <(python3 -c 'import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
print(r["kestrix_translate_path"], r["redis-cli"])' "$work/single.json") ||
  die "cannot read the hyperfine results"

# ---- a file of paths --------------------------------------------------------

file=$work/paths.txt
# /data/comp/shot000123/v003/renders/shot000123_beauty.0042.exr: 61 bytes
timeout 120 awk -v n="$paths" 'BEGIN {
  for (i = 0; i < n; i++) {
    shot = sprintf("shot%06d", int(i / 100))
    printf "/data/comp/%s/v003/renders/%s_beauty.%04d.exr\n", shot, shot, i % 100 + 1
  }
}' >"$file" || die "cannot write $file"
size=$(stat -c %s "$file")
# What the rules make of them: D:\data for /data, Windows separators.
timeout 120 sed 's|^/data/|D:\\data\\|; s|/|\\|g' "$file" >"$work/expected.txt" ||
  die "cannot write the expected translations"
first=$(head -n 1 "$file")
answer=$(timeout 30 "$command" -h "127.0.0.1:$port" -p "$first" -H edit01) ||
  die "the command failed on $first: $answer"
[ "$answer" = "$(head -n 1 "$work/expected.txt")" ] ||
  die "$first translates to '$answer', not $(head -n 1 "$work/expected.txt")"

# Wall time of one run in seconds; stdout goes to $1.
timed() {
  local out=$1 start end
  shift
  start=$(date +%s%N)
  timeout 600 "$@" >"$out" || die "'$*' failed or took over 600 s"
  end=$(date +%s%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", (b - a) / 1e9 }'
}

echo
echo "== $paths paths ($size bytes): best of 3 runs each, alternating"
best_command="" best_sed=""
for round in 1 2 3; do
  a=$(timed "$work/out.txt" "$command" -h "127.0.0.1:$port" -f "$file" -H edit01)
  b=$(timed "$work/out2.txt" sed 's|^/data/|D:\\data\\|' "$file")
  printf 'round %d: kestrix_translate_path %s s  sed %s s\n' "$round" "$a" "$b"
  best_command=$(awk -v x="$a" -v y="$best_command" 'BEGIN { print (y == "" || x < y) ? x : y }')
  best_sed=$(awk -v x="$b" -v y="$best_sed" 'BEGIN { print (y == "" || x < y) ? x : y }')
done

lines=$(wc -l <"$work/out.txt")
output_ok=1
if [ "$lines" -ne "$paths" ]; then
  echo "CHECK FAIL: the command printed $lines lines, not $paths"
  output_ok=0
elif ! cmp -s "$work/out.txt" "$work/expected.txt"; then
  echo "CHECK FAIL: the command's output differs from the expected translations:"
  cmp "$work/out.txt" "$work/expected.txt" || true
  output_ok=0
else
  echo "CHECK ok: $lines lines, each the expected translation"
fi

timeout 600 /usr/bin/time -v -o "$work/time.txt" \
  "$command" -h "127.0.0.1:$port" -f "$file" -H edit01 >"$work/out.txt" ||
  die "the command failed under /usr/bin/time"
peak_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
[ -n "$peak_kb" ] || die "/usr/bin/time gave no peak memory"
server_kb=$(awk '/^VmHWM:/ { print $2 }' "/proc/$server_pid/status" 2>/dev/null || true)

# ---- figures ----------------------------------------------------------------

echo
status=0
awk -v mc="$median_command" -v mr="$median_redis" -v size="$size" -v n="$paths" \
  -v tc="$best_command" -v ts="$best_sed" -v kb="$peak_kb" -v skb="${server_kb:-0}" \
  -v ok="$output_ok" '
BEGIN {
  q1 = mc / mr; q2 = tc / ts; q3 = kb * 1024 / size
  printf "one path, median wall time:  kestrix_translate_path %.2f ms  redis-cli ping %.2f ms" \
    "  ratio %.2fx\n", mc * 1000, mr * 1000, q1
  printf "%d paths, file %d bytes (%.1f MB)\n", n, size, size / 1e6
  printf "  best wall time:  kestrix_translate_path %.3f s  sed %.3f s  ratio %.2fx\n", tc, ts, q2
  printf "  peak resident memory of kestrix_translate_path: %d kB = %.2fx the file size\n", kb, q3
  if (skb > 0) printf "  (kestrixd peak resident memory: %d kB = %.2fx the file size)\n", skb,
    skb * 1024 / size
  printf "\n"
  m1 = q1 <= 1.0; m2 = q2 <= 2.0; m3 = q3 <= 4.0
  printf "%s one path: %.2fx redis-cli ping (aim: at most 1.0x)\n", m1 ? "PASS" : "MISS", q1
  printf "%s path file: %.2fx sed (aim: at most 2x)\n", m2 ? "PASS" : "MISS", q2
  printf "%s path file: peak memory %.2fx the file size (aim: at most 4x)\n", m3 ? "PASS" : "MISS", q3
  if (!ok) { print "FAIL the command'"'"'s output was wrong (see CHECK above)"; exit 2 }
  exit (m1 && m2 && m3) ? 0 : 1
}' || status=$?
exit "$status"
