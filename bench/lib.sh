# Shell helpers shared by the benchmark scripts; sourced, not run.

# A kestrixd that a benchmark starts keeps its storage id in the benchmark's
# build directory (each script sets build before sourcing this), as one host
# keeps its own across runs, and never in the machine's /var/lib/kestrix.
export STATE_DIRECTORY=${build:?bench/lib.sh needs build set}/kestrixd-state

# pinned_example_rules FILE: writes the example rules with this host as
# their "fileserver" (they leave HostName to the system) to FILE, for
# benchmarks whose expected answers are that host's.
pinned_example_rules() {
  local example
  example=$(dirname "${BASH_SOURCE[0]}")/../kestrix/server/examples/rules.conf
  sed 's/^# HostName = fileserver$/HostName = fileserver/' "$example" >"$1"
  grep -qx 'HostName = fileserver' "$1" || die "$example has no '# HostName = fileserver' line"
}

# Stops what a script started (by its own process ids), waiting a bounded
# time before forcing it.
stop_pid() {
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Stops the script because the measurement itself failed (exit status 2).
die() {
  echo "$(basename "$0"): $*" >&2
  exit 2
}

# True inside the namespace tools/netns-run makes: only lo, with multicast
# routed to it.
in_private_namespace() {
  [ -z "$(ip -o link show | grep -v ' lo:' || true)" ] &&
    ip route show 224.0.0.0/4 | grep -q 'dev lo'
}

# missing_command "COMMAND...": true when one of them (a name or a path) is
# not there.
missing_command() {
  local tool
  for tool in $1; do
    command -v "$tool" >/dev/null || return 0
  done
  return 1
}

# install_missing "COMMAND..." PACKAGE...: installs the packages with
# apt-get when one of the commands is missing.
install_missing() {
  missing_command "$1" || return 0
  shift
  export DEBIAN_FRONTEND=noninteractive
  timeout 300 apt-get update -qq || die "apt-get update failed"
  timeout 900 apt-get install -y -qq "$@" >/dev/null || die "installing $* failed"
}

# wait_for_kestrixd PID LOG: waits until the kestrixd started as PID says
# in LOG that it serves; dies when it ends or takes 10 s.
wait_for_kestrixd() {
  local pid=$1 log=$2 i
  for i in $(seq 100); do
    grep -q serving "$log" && return 0
    kill -0 "$pid" 2>/dev/null && [ "$i" -lt 100 ] || die "kestrixd did not start: $(cat "$log")"
    sleep 0.1
  done
}

# start_pinned_kestrixd NAME PORT: a work directory /tmp/NAME.XXXXXX ($work)
# with the pinned example rules in it, and a kestrixd serving them on PORT
# ($server_pid); returns once it serves. Both go away when the script exits.
start_pinned_kestrixd() {
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  server_pid=""
  trap 'stop_pid "$server_pid"; rm -rf "$work"' EXIT
  pinned_example_rules "$work/rules.conf"
  "$build/kestrix/server/kestrixd" -c "$work/rules.conf" -p "$2" >"$work/kestrixd.log" 2>&1 &
  server_pid=$!
  wait_for_kestrixd "$server_pid" "$work/kestrixd.log"
}

# start_redis PORT DIR: a redis-server on 127.0.0.1:PORT keeping nothing on
# disk, its log in DIR; sets redis_pid and returns once it answers PONG.
start_redis() {
  local port=$1 dir=$2 i
  redis-server --bind 127.0.0.1 --port "$port" --save "" --appendonly no \
    --daemonize no --dir "$dir" --logfile "$dir/redis.log" </dev/null &
  redis_pid=$!
  for i in $(seq 50); do
    [ "$(timeout 2 redis-cli -p "$port" ping 2>/dev/null)" = PONG ] && return 0
    [ "$i" -lt 50 ] || die "redis-server did not answer: $(cat "$dir/redis.log")"
    sleep 0.1
  done
}
