#!/usr/bin/env bash
# Cost of the event monitor, with reference figures measured in the same run:
#  - one path per run: median wall time of kestrix_translate_path (which
#    now starts the monitor thread and makes an event connection) against
#    kestrixd with the example rules, with -h 127.0.0.1:7549 and by host
#    name (through discovery), beside `redis-cli ping` on a local
#    redis-server (hyperfine); aims: at most 0.6x and at most 1.0x;
#  - event latency: from the SIGHUP that reloads kestrixd's rewritten rules
#    file to the call of a handler registered for "kestrixd:rules" through
#    a server handle, median over EV_RELOADS reloads, beside the median
#    "_ping" round trip of the remote-call engine against its server context
#    (bench/rcPing_bench.cpp) timed between those reloads; aim: at most 10
#    round trips (a round trip after the same idle pause as a reload's is
#    shown beside it: each reload wakes sleeping processes);
#  - throughput: synchronous "NodeEvent" calls from one connection into one
#    monitor, each delivered to a subscribed handler, beside the engine's
#    one-connection "_ping" rate, alternating; aim: at least 0.5x, with
#    every call delivered.
# The wall times and the rates are taken in rounds, each command or rate
# once per round, and a ratio is the median of the rounds' ratios: on a
# small shared machine the load changes within seconds, and a ratio of
# neighbours keeps its changes out of the comparison.
# Prints the figures and one PASS or MISS line per aim.
#
#   bench/events.sh
#
# Environment: EV_BUILD_DIR (default build-bench-ev), EV_RUNS (hyperfine
# runs per command and round, at least 10, default 20), EV_RELOADS
# (measured reloads, default 50), EV_SECONDS (length of each rate
# measurement, default 1), EV_ROUNDS (rounds of the wall times and of the
# rates, default 5), EV_NICE (a niceness for everything the measurement
# runs, the reference tools included, e.g. -10 as root: compilers running
# beside it otherwise delay every wake-up by up to a time slice, which
# weighs on a program of several round trips far more than on one of one).
#
# Outside a private network namespace it installs what is missing (needs the
# host's package access) and builds, then runs itself again under
# tools/netns-run --own (kestrixd's port and the discovery port are fixed
# ones). Exit status: 0 when every aim is met, 1 when one is missed (an
# event that never arrives counts as a miss), 2 or more when the
# measurement itself failed.
set -euo pipefail
# Any unexpected failure is a failed measurement, never a missed aim.
trap 'exit 2' ERR

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${EV_BUILD_DIR:-$repo/build-bench-ev}
runs=${EV_RUNS:-20}
reloads=${EV_RELOADS:-50}
seconds=${EV_SECONDS:-1}
rounds=${EV_ROUNDS:-5}
command=$build/kestrix/tools/translate_path/kestrix_translate_path
server=$build/kestrix/server/kestrixd
bench=$build/bench/events_bench
ping=$build/bench/rcPing_bench

# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

case $runs in '' | *[!0-9]*) die "EV_RUNS must be a number" ;; esac
[ "$runs" -ge 10 ] || die "EV_RUNS must be at least 10"
case ${EV_NICE:-0} in
  -[0-9] | -1[0-9] | -20 | [0-9] | 1[0-9]) ;;
  *) die "EV_NICE must be a niceness" ;;
esac
for name in reloads seconds rounds; do
  case ${!name} in '' | *[!0-9]* | 0) die "EV_${name^^} must be a positive number" ;; esac
done

build_programs() {
  mkdir -p "$build"
  timeout 300 cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF \
    -DKESTRIX_BENCH=ON >"$build/configure.log" 2>&1 ||
    die "configuring $build failed (see $build/configure.log)"
  timeout 1800 cmake --build "$build" -j2 --target kestrix_translate_path kestrixd \
    events_bench rcPing_bench >"$build/build.log" 2>&1 ||
    die "building failed (see $build/build.log)"
}

tools="hyperfine redis-server redis-cli python3"

if [ "${EV_PREPARED:-}" != 1 ] || ! in_private_namespace; then
  install_missing "$tools" hyperfine redis-server redis-tools python3
  build_programs
  niceness=()
  [ -z "${EV_NICE:-}" ] || niceness=(nice -n "$EV_NICE")
  EV_PREPARED=1 exec "${niceness[@]}" timeout 1800 "$repo/tools/netns-run" --own \
    bash "${BASH_SOURCE[0]}" "$@"
fi

# ---- inside the namespace: loopback only from here on ---------------------

missing_command "$tools" && die "hyperfine, redis-server, redis-cli or python3 is missing"
for program in "$command" "$server" "$bench" "$ping"; do
  [ -x "$program" ] || die "$program is missing"
done

work=$(mktemp -d /tmp/events.XXXXXX)
server_pid="" redis_pid="" ping_pid="" monitor_pid=""

cleanup() {
  exec 7>&- 8>&- # the standard inputs of the rcPing server and the monitor
  stop_pid "$monitor_pid"
  stop_pid "$ping_pid"
  stop_pid "$server_pid"
  stop_pid "$redis_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 3' INT TERM HUP

# The reloads rewrite the rules file: kestrixd reads a copy.
pinned_example_rules "$work/rules.conf"
"$server" -c "$work/rules.conf" >"$work/kestrixd.log" 2>&1 </dev/null &
server_pid=$!
wait_for_kestrixd "$server_pid" "$work/kestrixd.log"

rport=16379
start_redis "$rport" "$work"

# The rcPing server reads its standard input from a pipe this script holds
# open; closing it (or this script dying) stops the server.
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

host=$(hostname)
byname=(-h "$host" -p /data/movies/shot010/plate.0001.exr -H edit01)
direct=(-h 127.0.0.1:7549 -p /data/movies/shot010/plate.0001.exr -H edit01)
a=$(timeout 30 "$command" "${byname[@]}" 2>&1) || die "by host name '$host' the command failed: $a"
b=$(timeout 30 "$command" "${direct[@]}" 2>&1) ||
  die "with -h 127.0.0.1:7549 the command failed: $b"
[ "$b" = 'M:\shot010\plate.0001.exr' ] || die "unexpected translation: $b"
[ "$a" = "$b" ] || die "by name '$a' and directly '$b' differ"
echo "kestrixd on port 7549, redis-server on $rport, rcPing server on $pport; niceness $(nice)"

# ---- 1. one path per run ------------------------------------------------------

median() {
  tr ' ' '\n' <<<"$*" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

echo
echo "== one path per run: $rounds rounds of hyperfine, 3 warm-up runs and $runs runs each"
times_direct="" times_byname="" times_redis="" q_direct="" q_byname=""
for round in $(seq "$rounds"); do
  timeout 900 hyperfine -N --style none --warmup 3 --runs "$runs" \
    --export-json "$work/single.json" \
    -n direct "$command ${direct[*]}" -n byname "$command ${byname[*]}" \
    -n redis-cli "redis-cli -p $rport ping" >"$work/hyperfine.txt" 2>&1 ||
    die "hyperfine failed: $(cat "$work/hyperfine.txt")"
  read -r d n r < <(python3 -c 'import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
print(r["direct"], r["byname"], r["redis-cli"])' "$work/single.json") ||
    die "cannot read the hyperfine results"
  awk -v i="$round" -v d="$d" -v n="$n" -v r="$r" 'BEGIN {
    printf "round %d: medians  -h 127.0.0.1:7549 %.2f ms  by host name %.2f ms" \
      "  redis-cli ping %.2f ms\n", i, d * 1e3, n * 1e3, r * 1e3
  }'
  times_direct+=" $d" times_byname+=" $n" times_redis+=" $r"
  q_direct+=" $(awk -v a="$d" -v b="$r" 'BEGIN { print a / b }')"
  q_byname+=" $(awk -v a="$n" -v b="$r" 'BEGIN { print a / b }')"
done
med_direct=$(median "$times_direct") med_byname=$(median "$times_byname")
med_redis=$(median "$times_redis")
ratio_direct=$(median "$q_direct") ratio_byname=$(median "$q_byname")

# ---- 2. event latency -------------------------------------------------------

echo
echo "== event latency: $reloads reloads of kestrixd, _ping round trips between them"
latency_status=0
timeout $((reloads * 6 + 60)) "$bench" latency 127.0.0.1:7549 "$server_pid" "$work/rules.conf" \
  "$reloads" "$pport" >"$work/latency.out" 2>"$work/latency.err" || latency_status=$?
cat "$work/latency.out"
[ "$latency_status" -le 1 ] ||
  die "events_bench latency failed ($latency_status): $(cat "$work/latency.err")"
[ -s "$work/latency.err" ] && sed 's/^/  /' "$work/latency.err" | head -5
latency_us=$(awk '/^latency:/ { print $2 }' "$work/latency.out")
roundtrip_us=$(awk '/^roundtrip:/ { print $2 }' "$work/latency.out")
idle_us=$(awk '/^idle roundtrip:/ { print $3 }' "$work/latency.out")
no_event=$(sed -n 's/^refused: //p' "$work/latency.out")
[ -n "$no_event" ] || no_event="kestrixd sent no event on reload"

# ---- 3. throughput ----------------------------------------------------------

echo
echo "== throughput: $rounds rounds of ${seconds} s, one connection each, alternating"
mkfifo "$work/monitor.in"
"$bench" monitor <"$work/monitor.in" >"$work/monitor.out" 2>"$work/monitor.err" &
monitor_pid=$!
exec 8>"$work/monitor.in"
mport="" mconn=""
for i in $(seq 100); do
  read -r _ mport mconn < <(grep '^monitor:' "$work/monitor.out" 2>/dev/null || true) || true
  [ -n "$mport" ] && break
  kill -0 "$monitor_pid" 2>/dev/null || die "events_bench monitor ended: $(cat "$work/monitor.err")"
  sleep 0.1
done
case $mport$mconn in '' | *[!0-9]*) die "events_bench monitor gave no port and connection" ;; esac

ping_rates="" event_rates="" q_events="" sent=0 send_failed=0
for round in $(seq "$rounds"); do
  out=$(timeout $((seconds + 60)) "$ping" client "$pport" 1 "$seconds" 2>&1) ||
    die "rcPing client failed: $out"
  p=$(awk '/^rcPing:/ { print $2 }' <<<"$out")
  status=0
  out=$(timeout $((seconds + 60)) "$bench" send "$mport" "$mconn" "$seconds" 2>&1) || status=$?
  [ "$status" -le 1 ] || die "events_bench send failed: $out"
  [ "$status" -eq 0 ] || send_failed=1
  e=$(awk '/^events:/ { print $2 }' <<<"$out")
  n=$(awk '/^sent:/ { print $2 }' <<<"$out")
  [ -n "$p" ] && [ -n "$e" ] && [ -n "$n" ] || die "a rate is missing: $out"
  sent=$((sent + n))
  printf 'round %d: _ping %s round trips/s  NodeEvent %s calls/s\n' "$round" "$p" "$e"
  ping_rates+=" $p"
  event_rates+=" $e"
  q_events+=" $(awk -v a="$e" -v b="$p" 'BEGIN { print a / b }')"
done
exec 8>&-
for i in $(seq 100); do
  grep -q '^delivered:' "$work/monitor.out" && break
  kill -0 "$monitor_pid" 2>/dev/null || break
  sleep 0.1
done
delivered=$(awk '/^delivered:/ { print $2 }' "$work/monitor.out")
[ -n "$delivered" ] || die "events_bench monitor gave no count: $(cat "$work/monitor.err")"
stop_pid "$monitor_pid"
monitor_pid=""
echo "NodeEvent calls answered: $sent, handler calls: $delivered"
ping_rate=$(median "$ping_rates")
event_rate=$(median "$event_rates")
ratio_events=$(median "$q_events")

# ---- figures ----------------------------------------------------------------

echo
status=0
awk -v md="$med_direct" -v mb="$med_byname" -v mr="$med_redis" -v q1="$ratio_direct" \
  -v q2="$ratio_byname" -v q4="$ratio_events" -v lat="${latency_us:-}" \
  -v rt="${roundtrip_us:-0}" -v it="${idle_us:-0}" -v ls="$latency_status" -v why="$no_event" \
  -v er="$event_rate" -v pr="$ping_rate" \
  -v sent="$sent" -v got="$delivered" -v sf="$send_failed" '
BEGIN {
  printf "one path, median wall time:  -h 127.0.0.1:7549 %.2f ms  by host name %.2f ms" \
    "  redis-cli ping %.2f ms\n", md * 1e3, mb * 1e3, mr * 1e3
  if (lat != "")
    printf "event latency, median: %.1f us = %.2f round trips of %.1f us" \
      " (%.2f of %.1f us after the same idle pause)\n", lat, lat / rt, rt, lat / it, it
  else
    printf "event latency: none measured (%s)\n", why
  printf "NodeEvent rate, median: %.0f calls/s; _ping rate, median: %.0f round trips/s\n", er, pr
  # Whether two processes share a CPU decides a round trip more than
  # anything: the rate of fresh processes may have them on two.
  if (lat != "" && pr > 0)
    printf "(at the _ping rate of fresh processes a round trip is %.1f us: the latency is %.2f)\n",
      1e6 / pr, lat * pr / 1e6
  printf "(ratios below: medians of the rounds'"'"' ratios)\n"
  printf "\n"
  m1 = q1 <= 0.6; m2 = q2 <= 1.0
  m3 = lat != "" && ls == 0 && lat / rt <= 10
  m4 = q4 >= 0.5 && sent == got && !sf
  printf "%s one path, -h 127.0.0.1:7549: %.2fx redis-cli ping (aim: at most 0.6x)\n",
    m1 ? "PASS" : "MISS", q1
  printf "%s one path, by host name: %.2fx redis-cli ping (aim: at most 1.0x)\n",
    m2 ? "PASS" : "MISS", q2
  if (lat != "")
    printf "%s event latency: %.2f round trips%s (aim: at most 10)\n", m3 ? "PASS" : "MISS",
      lat / rt, ls == 0 ? "" : ", some events missing or doubled"
  else
    printf "MISS event latency: %s (aim: at most 10 round trips)\n", why
  printf "%s throughput: %.2fx the _ping rate, %d of %d events delivered%s (aim: at least 0.5x," \
    " all delivered)\n", m4 ? "PASS" : "MISS", q4, got, sent, sf ? ", calls failed" : ""
  exit (m1 && m2 && m3 && m4) ? 0 : 1
}' || status=$?
exit "$status"
