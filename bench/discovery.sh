#!/usr/bin/env bash
# Cost of discovery, measured beside reference figures of the same run:
#  - kestrix_translate_path naming a local kestrixd (example rules) by host
#    name, so discovery finds it before the translation, and the same with
#    -h 127.0.0.1:7549: median wall times (hyperfine) against `redis-cli ping`
#    on a local redis-server; aims: at most 1.0x and at most 0.6x;
#  - the command by host name again once kestrixd knows 4,000 servers of
#    other hosts (announced by bench/discovery_bench.cpp), against the same
#    with kestrixd knowing itself alone, each over the direct command of
#    its own hyperfine run: aim at most 2.0x;
#  - a scripted announcer of 1,000 servers (bench/discovery_bench.cpp):
#    kestrix_servers -w lists all 1,000, and resolve() by storage id of each
#    in the discovery client takes on average at most 1/10 of one "_ping"
#    round trip of the remote-call engine (bench/rcPing_bench.cpp, one
#    connection);
#  - exit: the command's wall time with a reachable server, with a host
#    name that does not resolve, with a database nobody serves and with no
#    server running at all (aim: those three fail within 2.2 s, the two
#    1-second search waits and a little), and the time from its last line
#    of output to its end in each case (aim: at most 0.2 s, no thread
#    time-out).
# Prints a table with the figures, ratios and whether each aim is met.
#
#   bench/discovery.sh
#
# Environment: DISC_BUILD_DIR (default build-bench-disc), DISC_RUNS
# (hyperfine runs per command, at least 10, default 30), DISC_SERVERS
# (announced servers, default 1000), DISC_KNOWN (servers kestrixd knows in
# the second row, at most 4000, default 4000).
#
# Outside a private network namespace it installs what is missing (needs the
# host's package access) and builds, then runs itself again under
# tools/netns-run --own (the discovery and node ports are fixed ones).
# Exit status: 0 when every aim is met, 1 when one is missed, 2 or more when
# the measurement itself failed.
set -euo pipefail
# Any unexpected failure is a failed measurement, never a missed aim.
trap 'exit 2' ERR

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${DISC_BUILD_DIR:-$repo/build-bench-disc}
runs=${DISC_RUNS:-30}
count=${DISC_SERVERS:-1000}
known=${DISC_KNOWN:-4000}
command=$build/kestrix/tools/translate_path/kestrix_translate_path
servers=$build/kestrix/tools/servers/kestrix_servers
server=$build/kestrix/server/kestrixd
bench=$build/bench/discovery_bench
ping=$build/bench/rcPing_bench

# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

case $runs in '' | *[!0-9]*) die "DISC_RUNS must be a number" ;; esac
[ "$runs" -ge 10 ] || die "DISC_RUNS must be at least 10"
case $count in '' | *[!0-9]* | 0) die "DISC_SERVERS must be a positive number" ;; esac
case $known in '' | *[!0-9]* | 0) die "DISC_KNOWN must be a positive number" ;; esac
[ "$known" -le 4000 ] || die "DISC_KNOWN must be at most 4000"


build_programs() {
  mkdir -p "$build"
  timeout 300 cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF \
    -DKESTRIX_BENCH=ON >"$build/configure.log" 2>&1 ||
    die "configuring $build failed (see $build/configure.log)"
  timeout 1800 cmake --build "$build" -j2 --target kestrix_translate_path kestrix_servers kestrixd \
    discovery_bench rcPing_bench >"$build/build.log" 2>&1 ||
    die "building failed (see $build/build.log)"
}


if [ "${DISC_PREPARED:-}" != 1 ] || ! in_private_namespace; then
  install_missing "hyperfine redis-server redis-cli python3" hyperfine redis-server redis-tools
  build_programs
  DISC_PREPARED=1 exec timeout 600 "$repo/tools/netns-run" --own bash "${BASH_SOURCE[0]}" "$@"
fi

# ---- inside the namespace: loopback only from here on ---------------------

for program in "$command" "$servers" "$server" "$bench" "$ping"; do
  [ -x "$program" ] || die "$program is missing"
done

work=$(mktemp -d /tmp/discovery.XXXXXX)
server_pid="" redis_pid="" ping_pid="" list_pid="" resolve_pid=""

cleanup() {
  stop_pid "$list_pid"
  stop_pid "$resolve_pid"
  stop_pid "$ping_pid"
  stop_pid "$server_pid"
  stop_pid "$redis_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 3' INT TERM HUP
rules=$work/rules.conf
pinned_example_rules "$rules"

start_kestrixd() {
  "$server" -c "$rules" >"$work/kestrixd.log" 2>&1 </dev/null &
  server_pid=$!
  wait_for_kestrixd "$server_pid" "$work/kestrixd.log"
}
start_kestrixd

rport=16379
start_redis "$rport" "$work"

host=$(hostname)
byname=(-h "$host" -p /data/x -H edit01)
direct=(-h 127.0.0.1:7549 -p /data/x -H edit01)
unreachable=(-h nosuchhost.invalid -p /data/x -H edit01)
nodatabase=(-h "$host:NOSUCHDB" -p /data/x -H edit01)
a=$(timeout 30 "$command" "${byname[@]}" 2>&1) || die "by host name '$host' the command failed: $a"
b=$(timeout 30 "$command" "${direct[@]}" 2>&1) || die "with -h 127.0.0.1:7549 the command failed: $b"
[ -n "$a" ] && [ "$a" = "$b" ] || die "by name '$a' and directly '$b' differ"
echo "kestrixd on port 7549, redis-server on $rport; /data/x for edit01 is $a"

# ---- 1. the command by host name and directly, beside redis-cli -----------

echo
echo "== hyperfine, 3 warm-up runs, $runs runs each"
timeout 300 hyperfine -N --style basic --warmup 3 --runs "$runs" --export-json "$work/single.json" \
  -n byname "$command ${byname[*]}" -n direct "$command ${direct[*]}" \
  -n redis "redis-cli -p $rport ping" >"$work/hyperfine.txt" 2>&1 ||
  die "hyperfine failed: $(cat "$work/hyperfine.txt")"
read -r med_byname med_direct med_redis < <(python3 -c 'import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
print(r["byname"], r["direct"], r["redis"])' "$work/single.json") ||
  die "cannot read the hyperfine results"

# ---- 1b. the same by host name with many servers known ---------------------

# kestrixd keeps what it hears; the command fetches its list at start.
timeout 60 "$bench" announce "$known" 2 >"$work/announce-known.out" 2>&1 ||
  die "the announcer failed: $(cat "$work/announce-known.out")"
listed_known=$(timeout 30 "$servers" 2>/dev/null | grep -c 'Bench server' || true)
[ "$listed_known" -eq "$known" ] || die "kestrixd lists $listed_known of $known announced servers"
timeout 300 hyperfine -N --style basic --warmup 3 --runs "$runs" --export-json "$work/known.json" \
  -n one "$command ${direct[*]}" -n many "$command ${byname[*]}" \
  >"$work/hyperfine-known.txt" 2>&1 || die "hyperfine failed: $(cat "$work/hyperfine-known.txt")"
# The row of one known server comes from the first run; the direct command
# in both runs scales the two to one pace.
read -r med_many med_direct2 < <(python3 -c 'import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
print(r["many"], r["one"])' "$work/known.json") || die "cannot read the hyperfine results"
stop_pid "$server_pid"
start_kestrixd  # knows itself alone again

# ---- 3. exit: wall time, and from the last line printed to the end ---------

# Runs the command 5 times; prints the median wall time, the longest time
# from its last output to its end, and how many runs exited 0.
exit_times() {
  timeout 120 python3 - "$@" <<'EOF'
import os, selectors, statistics, subprocess, sys, time
walls, tails, ok = [], [], 0
for _ in range(5):
    start = time.monotonic()
    p = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    last = start
    fd = p.stdout.fileno()
    while True:
        data = os.read(fd, 4096)
        if not data:
            break
        last = time.monotonic()
    status = p.wait()
    end = time.monotonic()
    walls.append(end - start)
    tails.append(end - last if last > start else 0.0)
    ok += status == 0
print(statistics.median(walls), max(tails), ok)
EOF
}
read -r exit_ok_wall exit_ok_tail exit_ok_count < <(exit_times "$command" "${byname[@]}") ||
  die "timing the reachable case failed"
read -r exit_no_wall exit_no_tail exit_no_count < <(exit_times "$command" "${unreachable[@]}") ||
  die "timing the unreachable case failed"
read -r exit_db_wall exit_db_tail exit_db_count < <(exit_times "$command" "${nodatabase[@]}") ||
  die "timing the unserved database failed"
timeout 10 "$command" "${unreachable[@]}" >"$work/unreachable.txt" 2>&1 || true
timeout 10 "$command" "${nodatabase[@]}" >"$work/nodatabase.txt" 2>&1 || true
stop_pid "$server_pid"
server_pid=""
# With no server at all the start-up search sits out both of its waits.
read -r exit_none_wall exit_none_tail exit_none_count < <(exit_times "$command" "${byname[@]}") ||
  die "timing the command without a server failed"
timeout 10 "$command" "${byname[@]}" >"$work/noserver.txt" 2>&1 || true

# ---- 2. a thousand announced servers ----------------------------------------

mkfifo "$work/ping.in"
"$ping" server <"$work/ping.in" >"$work/ping.out" 2>"$work/ping.err" &
ping_pid=$!
exec 7>"$work/ping.in"
pport=""
for i in $(seq 100); do
  pport=$(head -n 1 "$work/ping.out" 2>/dev/null || true)
  [ -n "$pport" ] && break
  kill -0 "$ping_pid" 2>/dev/null || die "rcPing server ended: $(cat "$work/ping.err")"
  sleep 0.1
done
case $pport in '' | *[!0-9]*) die "rcPing server gave no port" ;; esac
rates=""
for round in 1 2 3; do
  out=$(timeout 60 "$ping" client "$pport" 1 2 2>&1) || die "rcPing client failed: $out"
  rates+=" $(awk '/^rcPing:/ { print $2 }' <<<"$out")"
done
rate=$(tr ' ' '\n' <<<"$rates" | grep . | sort -g | sed -n 2p)
exec 7>&-
stop_pid "$ping_pid"
ping_pid=""

# Both listeners start before the announcer, which repeats itself so that
# neither depends on being ready for its first round.
"$servers" -w 9 >"$work/servers.out" 2>"$work/servers.err" </dev/null &
list_pid=$!
mkfifo "$work/resolve.in"
"$bench" resolve "$count" 20 <"$work/resolve.in" >"$work/resolve.out" 2>"$work/resolve.err" &
resolve_pid=$!
exec 8>"$work/resolve.in"
for i in $(seq 100); do
  grep -q '^ready' "$work/resolve.out" && break
  kill -0 "$resolve_pid" 2>/dev/null && [ "$i" -lt 100 ] ||
    die "discovery_bench resolve did not start: $(cat "$work/resolve.err")"
  sleep 0.1
done
sleep 1
timeout 60 "$bench" announce "$count" 3 >"$work/announce.out" 2>&1 ||
  die "the announcer failed: $(cat "$work/announce.out")"
exec 8>&-
resolve_status=0
wait "$resolve_pid" || resolve_status=$?
resolve_pid=""
wait "$list_pid" || true
list_pid=""
resolve_ns=$(awk '/^resolve:/ { print $2 }' "$work/resolve.out")
[ -n "$resolve_ns" ] || die "discovery_bench resolve gave no figure: $(cat "$work/resolve.err")"
resolve_line=$(grep '^resolve:' "$work/resolve.out")
listed=$(grep -o 'Bench server [0-9]*' "$work/servers.out" | sort -u | wc -l)

# ---- figures ----------------------------------------------------------------

echo
grep -E '^(Benchmark|  Time|  Range)' "$work/hyperfine.txt" || true
echo "rcPing one connection, 3 runs of 2 s: round trips/s$rates (median $rate)"
echo "discovery_bench $resolve_line"
echo "-h nosuchhost.invalid prints: $(head -c 300 "$work/unreachable.txt" | tr '\n' ' ')"
echo "-h $host without any server prints: $(head -c 300 "$work/noserver.txt" | tr '\n' ' ')"
echo "-h $host:NOSUCHDB prints: $(head -c 300 "$work/nodatabase.txt" | tr '\n' ' ')"
echo
awk -v b="$med_byname" -v d="$med_direct" -v r="$med_redis" -v rate="$rate" -v ns="$resolve_ns" \
  -v rs="$resolve_status" -v listed="$listed" -v n="$count" \
  -v ow="$exit_ok_wall" -v ot="$exit_ok_tail" -v oc="$exit_ok_count" \
  -v nw="$exit_no_wall" -v nt="$exit_no_tail" -v nc="$exit_no_count" \
  -v dw="$exit_db_wall" -v dt="$exit_db_tail" -v dc="$exit_db_count" \
  -v sw="$exit_none_wall" -v st="$exit_none_tail" -v sc="$exit_none_count" \
  -v mk="$med_many" -v d2="$med_direct2" -v nk="$known" '
function row(label, figure, ratio, aim, ok) {
  printf "%-46s %-26s %-10s %-16s %s\n", label, figure, ratio, aim, ok ? "yes" : "no"
  return ok
}
BEGIN {
  rt = 1e9 / rate
  printf "%-46s %-26s %-10s %-16s %s\n", "measurement", "figure", "ratio", "aim", "met"
  m = row("by host name, median wall (redis-cli ping)", sprintf("%.2f ms (%.2f ms)", b * 1e3, r * 1e3),
          sprintf("%.2fx", b / r), "<= 1.0x", b / r <= 1.0)
  m = row("-h 127.0.0.1:7549, median wall", sprintf("%.2f ms", d * 1e3), sprintf("%.2fx", d / r),
          "<= 0.6x", d / r <= 0.6) && m
  # Each by-name time over the direct command of its own run, so that a
  # change of pace of the machine between the two runs cancels out.
  k = (mk / d2) / (b / d)
  m = row(sprintf("by host name, %d known (1 known) median", nk),
          sprintf("%.2f ms (%.2f ms)", mk * 1e3, b * 1e3), sprintf("%.2fx", k), "<= 2.0x",
          k <= 2.0) && m
  printf "%-46s %-26s\n", "  direct beside each (many, one)", sprintf("%.2f ms, %.2f ms", d2 * 1e3, d * 1e3)
  m = row("kestrix_servers lists announced servers", sprintf("%d of %d", listed, n), "", "all",
          listed == n) && m
  m = row("resolve by storage id (one round trip)", sprintf("%.0f ns (%.0f ns)", ns, rt),
          sprintf("%.4fx", ns / rt), "<= 0.1x", ns / rt <= 0.1 && rs == 0) && m
  m = row("exit, reachable: median wall, 5 runs", sprintf("%.3f s, %d/5 exit 0", ow, oc), "", "exit 0",
          oc == 5) && m
  m = row("exit, reachable: last output to end (max)", sprintf("%.3f s", ot), "", "<= 0.2 s",
          ot <= 0.2) && m
  m = row("exit, nosuchhost.invalid: median wall, 5 runs", sprintf("%.3f s, %d/5 exit 0", nw, nc),
          "", "<= 2.2 s, fails", nw <= 2.2 && nc == 0) && m
  m = row("exit, nosuchhost.invalid: last output to end", sprintf("%.3f s", nt), "", "<= 0.2 s",
          nt <= 0.2) && m
  m = row("exit, host:NOSUCHDB: median wall, 5 runs", sprintf("%.3f s, %d/5 exit 0", dw, dc), "",
          "<= 2.2 s, fails", dw <= 2.2 && dc == 0) && m
  m = row("exit, host:NOSUCHDB: last output to end", sprintf("%.3f s", dt), "", "<= 0.2 s",
          dt <= 0.2) && m
  m = row("exit, no server running: median wall, 5 runs", sprintf("%.3f s, %d/5 exit 0", sw, sc), "",
          "<= 2.2 s, fails", sw <= 2.2 && sc == 0) && m
  m = row("exit, no server running: last output to end", sprintf("%.3f s", st), "", "<= 0.2 s",
          st <= 0.2) && m
  printf "\naims %s\n", m ? "met" : "missed"
  exit m ? 0 : 1
}' || exit $?
