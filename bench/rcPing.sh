#!/usr/bin/env bash
# Round-trip rate of the remote-call engine against its server context,
# measured side by side with a local redis-server under redis-benchmark's
# inline PING, with 1, 50 and 1,000 connections; and the rate of one
# connection while 1,000 idle connections (connected, never sending) are
# open, against its rate with none, for both servers. Prints a table of
# rates, the ratios and whether the aims are met: ours / redis at least
# 1.0x with one connection and at least 0.8x with 50 and with 1,000; with
# 1,000 idle connections at least 0.8x of the rate without them.
#
#   bench/rcPing.sh
#
# Environment: RCPING_SECONDS (length of each measurement, default 3),
# RCPING_ROUNDS (rounds of the measurements, default 5; the table shows
# the median of each), RCPING_BUILD_DIR (default build-bench), RCPING_PIN=1
# (run both ends of the one-connection measurements on CPU 0). On a small
# virtual machine a one-connection rate depends mostly on whether the
# scheduler puts client and server on the same CPU, where a wake-up is
# cheap, or on two, where each costs a cross-CPU interrupt; pinning takes
# that chance out of the comparison.
#
# Outside a private network namespace it first builds the program and
# installs redis-server and redis-tools if missing (both need the host's
# package access), then runs itself again under tools/netns-run, where all
# traffic stays on loopback. Exit status: 0 when every aim is met, 1 when
# one is missed (calls that fail or connections that are never served count
# as a miss), 2 or more when the measurement itself failed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${RCPING_BUILD_DIR:-$repo/build-bench}
seconds=${RCPING_SECONDS:-3}
rounds=${RCPING_ROUNDS:-5}
pin=${RCPING_PIN:-0}
modules="common/base/loggerBase;common/base/osal;common/base/threads;common/base/fileUtil;common/base/ipc;common/base/tcp;common/base/network;common/base/rcApi;bench"
program=$build/bench/rcPing_bench

# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

case $seconds in '' | *[!0-9]* | 0) die "RCPING_SECONDS must be a positive number" ;; esac
case $rounds in '' | *[!0-9]* | 0) die "RCPING_ROUNDS must be a positive number" ;; esac
case $pin in 0 | 1) ;; *) die "RCPING_PIN must be 0 or 1" ;; esac


# Builds with the bench directory's own rule when it knows the program;
# otherwise links the program against the module libraries of the same
# build, so the benchmark does not hang on how that file lists programs.
build_program() {
  mkdir -p "$build"
  cmake -S "$repo" -B "$build" -DKESTRIX_BENCH=ON -DKESTRIX_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=Release -DKESTRIX_MODULES="$modules" >"$build/configure.log" 2>&1 ||
    die "configuring $build failed (see $build/configure.log)"
  local targets
  targets=$(cmake --build "$build" --target help 2>/dev/null || true)
  if grep -q '[ .]rcPing_bench$' <<<"$targets"; then
    cmake --build "$build" -j2 --target rcPing_bench || die "building rcPing_bench failed"
    return
  fi
  cmake --build "$build" -j2 --target rcApi || die "building rcApi failed"
  local libs=$build/common/base
  local archives=("$libs/rcApi/librcApi.a" "$libs/network/libnetwork.a" "$libs/tcp/libtcp.a"
    "$libs/osal/libosal.a" "$libs/loggerBase/libloggerBase.a")
  local stale=0 file
  [ -x "$program" ] || stale=1
  for file in "$repo/bench/rcPing_bench.cpp" "${archives[@]}"; do
    [ "$file" -nt "$program" ] && stale=1
  done
  [ "$stale" -eq 0 ] && return
  mkdir -p "$(dirname "$program")"
  echo "rcPing.sh: bench/CMakeLists.txt has no rcPing_bench target; linking it directly" >&2
  "${CXX:-c++}" -std=c++20 -O2 -DNDEBUG -Wall -Wextra -Wpedantic -I"$repo" \
    "$repo/bench/rcPing_bench.cpp" -o "$program" \
    -Wl,--whole-archive "${archives[@]}" -Wl,--no-whole-archive -pthread ||
    die "linking rcPing_bench failed"
}

if ! in_private_namespace; then
  build_program
  install_missing "redis-server redis-benchmark redis-cli" redis-server redis-tools
  RCPING_PREPARED=1 exec "$repo/tools/netns-run" bash "${BASH_SOURCE[0]}" "$@"
fi

# ---- inside the namespace: loopback only from here on ---------------------

[ "${RCPING_PREPARED:-}" = 1 ] || build_program
for tool in redis-server redis-benchmark redis-cli; do
  command -v "$tool" >/dev/null ||
    die "$tool is missing; run this script outside a network namespace so it can install it"
done
[ -x "$program" ] || die "$program is missing"
# A thousand connections at each end, and redis sizes its client limit by
# the descriptor limit it starts with.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
[ "$(ulimit -n)" = unlimited ] || [ "$(ulimit -n)" -ge 1100 ] ||
  die "1,000 connections need a descriptor limit of at least 1100 (hard limit: $(ulimit -Hn))"

work=$(mktemp -d /tmp/rcPing.XXXXXX)
redis_pid=""
server_pid=""
idle_pid=""
redis_port=16379

cleanup() {
  exec 7>&- # the server's standard input: closing it stops the server
  stop_pid "$idle_pid"
  stop_pid "$server_pid"
  stop_pid "$redis_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 3' INT TERM

# redis without persistence, on loopback only.
redis-server --bind 127.0.0.1 --port "$redis_port" --save '' --appendonly no \
  --daemonize no --dir "$work" --logfile "$work/redis.log" </dev/null &
redis_pid=$!
for i in $(seq 50); do
  [ "$(timeout 2 redis-cli -h 127.0.0.1 -p "$redis_port" ping 2>/dev/null)" = PONG ] && break
  [ "$i" -eq 50 ] && die "redis-server did not answer (see its log below)
$(cat "$work/redis.log")"
  sleep 0.1
done

# The rcPing server reads its standard input from a pipe this script holds
# open; closing it (or this script dying) stops the server.
mkfifo "$work/server.in"
"$program" server <"$work/server.in" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
exec 7>"$work/server.in"
port=""
for i in $(seq 100); do
  port=$(head -n 1 "$work/server.out" 2>/dev/null || true)
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || die "rcPing server ended: $(cat "$work/server.err")"
  sleep 0.1
done
case $port in '' | *[!0-9]*) die "rcPing server gave no port" ;; esac

# The command prefix of the client tools: taskset while the servers are
# pinned.
client_prefix=()

# Pins both servers (every thread) to CPU 0 for the one-connection
# measurements, or gives them every CPU again.
pin_servers() {
  [ "$pin" = 1 ] || return 0
  local cpus=$1
  taskset -a -p -c "$cpus" "$server_pid" >/dev/null || die "cannot pin the rcPing server"
  taskset -a -p -c "$cpus" "$redis_pid" >/dev/null || die "cannot pin redis-server"
  if [ "$cpus" = 0 ]; then client_prefix=(taskset -c 0); else client_prefix=(); fi
}
all_cpus="0-$(($(nproc) - 1))"

# The client's rate; when some of its calls failed or some connections were
# never served it still prints one, and the measurement is noted in
# $work/unserved so that its row misses the aim.
ours() {
  local out status=0
  out=$(timeout $((seconds + 60)) "${client_prefix[@]}" "$program" client "$port" "$1" "$seconds" 2>"$work/client.err") ||
    status=$?
  awk '/^rcPing:/ { print $2; found = 1 } END { exit !found }' <<<"$out" ||
    die "rcPing client with $1 connections failed: $(cat "$work/client.err")"
  [ "$status" -eq 0 ] || echo "$2" >>"$work/unserved"
}

# Holds 1,000 idle connections to a port until stop_idle.
start_idle() {
  local i
  "$program" idle "$1" 1000 >"$work/idle.out" 2>"$work/idle.err" &
  idle_pid=$!
  for i in $(seq 300); do
    grep -q '^idle:' "$work/idle.out" 2>/dev/null && return 0
    kill -0 "$idle_pid" 2>/dev/null || die "idle connections to port $1 failed: $(cat "$work/idle.err")"
    sleep 0.1
  done
  die "idle connections to port $1 were not all open after 30 s"
}
stop_idle() {
  stop_pid "$idle_pid"
  idle_pid=""
}

redis_rate() {
  local clients=$1 requests=$2 out
  out=$(timeout 120 "${client_prefix[@]}" redis-benchmark -h 127.0.0.1 -p "$redis_port" -t ping_inline -P 1 \
    -c "$clients" -n "$requests" -q 2>&1) || die "redis-benchmark -c $clients failed: $out"
  tr '\r' '\n' <<<"$out" | awk '/requests per second/ { rate = $2 } END { if (rate == "") exit 1; print rate }' ||
    die "redis-benchmark printed no rate: $out"
}

# Enough requests for about $seconds at the rate a short first run shows.
redis_requests() {
  local clients=$1 rate
  rate=$(redis_rate "$clients" 20000)
  awk -v r="$rate" -v s="$seconds" 'BEGIN { n = int(r * s); print (n < 20000 ? 20000 : n) }'
}

median() {
  tr ' ' '\n' <<<"$*" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

echo "rcPing server on port $port, redis-server on port $redis_port;" \
  "$rounds round(s) of ${seconds} s per measurement" \
  "$([ "$pin" = 1 ] && echo "(one-connection runs pinned to CPU 0)")"
pin_servers 0
n1=$(redis_requests 1)
pin_servers "$all_cpus"
n50=$(redis_requests 50)
n1000=$(redis_requests 1000)
touch "$work/unserved"
declare -A runs
for round in $(seq "$rounds"); do
  pin_servers 0
  o1=$(ours 1 o1)
  r1=$(redis_rate 1 "$n1")
  start_idle "$port"
  oi=$(ours 1 oi)
  stop_idle
  start_idle "$redis_port"
  ri=$(redis_rate 1 "$n1")
  stop_idle
  pin_servers "$all_cpus"
  o50=$(ours 50 o50)
  r50=$(redis_rate 50 "$n50")
  o1000=$(ours 1000 o1000)
  r1000=$(redis_rate 1000 "$n1000")
  printf 'round %d: rcPing/redis 1: %s/%s  1 with 1000 idle: %s/%s  50: %s/%s  1000: %s/%s\n' \
    "$round" "$o1" "$r1" "$oi" "$ri" "$o50" "$r50" "$o1000" "$r1000"
  for name in o1 r1 oi ri o50 r50 o1000 r1000; do runs[$name]+=" ${!name}"; done
done

args=()
for name in o1 r1 oi ri o50 r50 o1000 r1000; do
  args+=(-v "$name=$(median "${runs[$name]}")")
done
args+=(-v "unserved=$(sort -u "$work/unserved" | tr '\n' ' ')")

awk "${args[@]}" '
function failed(name) { return index(" " unserved, " " name " ") != 0 }
function note(name) { return failed(name) ? " (calls failed or clients unserved)" : "" }
function ratio(a, b) { return b > 0 ? a / b : 0 }
function row(label, o, r, aim, name,   q, ok) {
  q = ratio(o, r)
  ok = q >= aim && !failed(name)
  printf "%-26s %18.0f %18.0f %7.2fx %5.1fx  %s%s\n", label, o, r, q, aim, (ok ? "yes" : "no"),
    note(name)
  return ok
}
BEGIN {
  printf "\n%-26s %18s %18s %8s %6s  %s\n", "connections", "rcPing (calls/s)", "redis (req/s)",
    "ratio", "aim", "met"
  met = row("1", o1, r1, 1.0, "o1")
  met = row("50", o50, r50, 0.8, "o50") && met
  met = row("1000", o1000, r1000, 0.8, "o1000") && met
  printf "\n%-26s %18s %18s\n", "one active connection", "rcPing (calls/s)", "redis (req/s)"
  printf "%-26s %18.0f %18.0f\n", "no idle connections", o1, r1
  printf "%-26s %18.0f %18.0f\n", "1000 idle connections", oi, ri
  qi = ratio(oi, o1)
  ok = qi >= 0.8 && !failed("oi") && !failed("o1")
  printf "%-26s %17.2fx %17.2fx   aim %.1fx for rcPing: %s%s\n", "ratio (idle / none)", qi,
    ratio(ri, r1), 0.8, (ok ? "met" : "missed"), note("oi")
  met = ok && met
  printf "\naims %s\n", (met ? "met" : "missed")
  exit (met ? 0 : 1)
}'
