#!/usr/bin/env bash
# Round-trip rate of the remote-call engine against its server context,
# measured side by side with a local redis-server under redis-benchmark's
# inline PING, with one connection and with 50. Prints a table of rates,
# the two ratios (ours / redis) and whether the aims are met: at least 1.0x
# with one connection and at least 0.8x with 50.
#
#   bench/rcPing.sh
#
# Environment: RCPING_SECONDS (length of each measurement, default 3),
# RCPING_ROUNDS (rounds of the four measurements, default 5; the table shows
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
# traffic stays on loopback. Exit status: 0 when both aims are met, 1 when
# one is missed, 2 or more when the measurement itself failed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${RCPING_BUILD_DIR:-$repo/build-bench}
seconds=${RCPING_SECONDS:-3}
rounds=${RCPING_ROUNDS:-5}
pin=${RCPING_PIN:-0}
modules="common/base/loggerBase;common/base/osal;common/base/tcp;common/base/network;common/base/rcApi;bench"
program=$build/bench/rcPing_bench

die() {
  echo "rcPing.sh: $*" >&2
  exit 2
}

case $seconds in '' | *[!0-9]* | 0) die "RCPING_SECONDS must be a positive number" ;; esac
case $rounds in '' | *[!0-9]* | 0) die "RCPING_ROUNDS must be a positive number" ;; esac
case $pin in 0 | 1) ;; *) die "RCPING_PIN must be 0 or 1" ;; esac

# The same test tools/netns-run makes: only lo, multicast routed to it.
in_private_namespace() {
  [ -z "$(ip -o link show | grep -v ' lo:' || true)" ] &&
    ip route show 224.0.0.0/4 | grep -q 'dev lo'
}

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
  if ! command -v redis-server >/dev/null || ! command -v redis-benchmark >/dev/null ||
    ! command -v redis-cli >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    timeout 300 apt-get update -qq || die "apt-get update failed"
    timeout 600 apt-get install -y -qq redis-server redis-tools >/dev/null ||
      die "installing redis-server and redis-tools failed"
  fi
  RCPING_PREPARED=1 exec "$repo/tools/netns-run" bash "${BASH_SOURCE[0]}" "$@"
fi

# ---- inside the namespace: loopback only from here on ---------------------

[ "${RCPING_PREPARED:-}" = 1 ] || build_program
for tool in redis-server redis-benchmark redis-cli; do
  command -v "$tool" >/dev/null ||
    die "$tool is missing; run this script outside a network namespace so it can install it"
done
[ -x "$program" ] || die "$program is missing"

work=$(mktemp -d /tmp/rcPing.XXXXXX)
redis_pid=""
server_pid=""
redis_port=16379

# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"
cleanup() {
  exec 7>&- # the server's standard input: closing it stops the server
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

ours() {
  local out
  out=$(timeout $((seconds + 60)) "${client_prefix[@]}" "$program" client "$port" "$1" "$seconds" 2>"$work/client.err") ||
    die "rcPing client with $1 connections failed: $(cat "$work/client.err")"
  awk '/^rcPing:/ { print $2; found = 1 } END { exit !found }' <<<"$out" ||
    die "rcPing client printed no rate"
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
ours1="" ours50="" redis1="" redis50=""
for round in $(seq "$rounds"); do
  pin_servers 0
  a=$(ours 1)
  b=$(redis_rate 1 "$n1")
  pin_servers "$all_cpus"
  c=$(ours 50)
  d=$(redis_rate 50 "$n50")
  printf 'round %d: rcPing 1: %s  redis 1: %s  rcPing 50: %s  redis 50: %s\n' \
    "$round" "$a" "$b" "$c" "$d"
  ours1+=" $a" redis1+=" $b" ours50+=" $c" redis50+=" $d"
done

m_ours1=$(median "$ours1")
m_redis1=$(median "$redis1")
m_ours50=$(median "$ours50")
m_redis50=$(median "$redis50")

awk -v o1="$m_ours1" -v r1="$m_redis1" -v o50="$m_ours50" -v r50="$m_redis50" '
BEGIN {
  q1 = o1 / r1; q50 = o50 / r50
  printf "\n%-13s %18s %18s %8s %6s  %s\n", "connections", "rcPing (calls/s)", "redis (req/s)",
    "ratio", "aim", "met"
  printf "%-13d %18.0f %18.0f %7.2fx %5.1fx  %s\n", 1, o1, r1, q1, 1.0, (q1 >= 1.0 ? "yes" : "no")
  printf "%-13d %18.0f %18.0f %7.2fx %5.1fx  %s\n", 50, o50, r50, q50, 0.8, (q50 >= 0.8 ? "yes" : "no")
  met = q1 >= 1.0 && q50 >= 0.8
  printf "\naims %s\n", (met ? "met" : "missed")
  exit (met ? 0 : 1)
}'
