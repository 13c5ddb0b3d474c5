#!/usr/bin/env bash
# Peak memory of kestrix_translate_path for a large reply, against a fake
# server that answers the login, "GetDaemonInfo" and "TranslatePaths" (one
# path asked, a reply of many short comma-separated paths given back):
#  - a reply of RM_MIB MiB (default 200) of 11-byte pieces: the command's
#    peak resident memory against the reply's size (aim: at most 3x the
#    reply plus 32 MiB), and its output checked;
#  - a reply of RM_MIB MiB of nothing but commas (as many empty paths), the
#    hostile case for an index of entries: the same aim;
#  - a reply that never ends its line: the command must fail with
#    "Reply too large" (KESTRIX_MAX_REPLY_BYTES, default 256 MiB) within
#    30 s, its peak memory at most the limit plus 32 MiB.
# Prints the figures and one PASS or MISS line per aim.
#
#   bench/replyMemory.sh
#
# Environment: RM_BUILD_DIR (default build-bench-reply), RM_MIB.
#
# Outside a private network namespace it installs what is missing (needs the
# host's package access) and builds, then runs itself again under
# tools/netns-run, where all traffic stays on loopback. Exit status: 0 when
# every aim is met, 1 when one is missed, 2 or more when the measurement
# itself failed.
set -euo pipefail
trap 'exit 2' ERR

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${RM_BUILD_DIR:-$repo/build-bench-reply}
mib=${RM_MIB:-200}
command=$build/kestrix/tools/translate_path/kestrix_translate_path
limit=$((256 << 20))

# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

case $mib in '' | *[!0-9]* | 0) die "RM_MIB must be a positive number" ;; esac
[ "$mib" -lt 256 ] || die "RM_MIB must stay below the 256 MiB reply limit"

build_programs() {
  mkdir -p "$build"
  timeout 300 cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF \
    >"$build/configure.log" 2>&1 || die "configuring $build failed (see $build/configure.log)"
  timeout 1800 cmake --build "$build" -j2 --target kestrix_translate_path ||
    die "building kestrix_translate_path failed"
}

tools="python3 /usr/bin/time"

if ! in_private_namespace; then
  install_missing "$tools" python3 time
  build_programs
  RM_PREPARED=1 exec "$repo/tools/netns-run" bash "${BASH_SOURCE[0]}" "$@"
fi

# ---- inside the namespace: loopback only from here on ---------------------

missing_command "$tools" && die "python3 or /usr/bin/time is missing;" \
  "run this script outside a network namespace so it can install them"
[ "${RM_PREPARED:-}" = 1 ] || build_programs
[ -x "$command" ] || die "$command is missing"

work=$(mktemp -d /tmp/replyMemory.XXXXXX)
server_pid=""
cleanup() {
  stop_pid "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 3' INT TERM HUP

# The fake server: MODE "paths" answers with BYTES of "/p/NNNNNNN" pieces;
# "endless" with "ok " and BYTES of one unended line. Async calls get no
# answer, other sync calls "ok ". It prints "ready PORT SIZE PIECES LAST".
cat >"$work/server.py" <<'EOF'
import socket, sys, threading
mode, size = sys.argv[1], int(sys.argv[2])
pieces = size // 11
body = b""
if mode == "paths":
    body = b"ok " + ",".join("/p/%07d" % i for i in range(pieces)).encode() + b"\n"
elif mode == "commas":
    pieces, body = size + 1, b"ok " + b"," * size + b"\n"
def serve(c):
    f = c.makefile("rb")
    try:
        for line in f:
            words = line.split(b" ", 3)
            if words[0] != b"sync" or len(words) < 3:
                continue
            if words[2] == b"GetDaemonInfo":
                c.sendall(b"ok DisplayName 4 fakeHostName 4 fake\n")
            elif words[2] != b"TranslatePaths":
                c.sendall(b"ok \n")
            elif mode != "endless":
                c.sendall(body)
            else:
                c.sendall(b"ok ")
                chunk = b"a" * (1 << 20)
                for _ in range(size >> 20):
                    c.sendall(chunk)
    except OSError:
        pass
    c.close()
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
last = "/p/%07d" % (pieces - 1) if mode == "paths" else "-"
print("ready", s.getsockname()[1], len(body) - 4, pieces, last, flush=True)
while True:
    threading.Thread(target=serve, args=(s.accept()[0],), daemon=True).start()
EOF

# start_server MODE BYTES: sets server_pid, port, size, pieces and last.
start_server() {
  stop_pid "$server_pid"
  : >"$work/server.log"
  python3 "$work/server.py" "$1" "$2" >"$work/server.log" 2>&1 &
  server_pid=$!
  local i
  for i in $(seq 600); do
    read -r word port size pieces last <"$work/server.log" || true
    [ "${word:-}" = ready ] && return 0
    kill -0 "$server_pid" 2>/dev/null || die "the fake server failed: $(cat "$work/server.log")"
    sleep 0.1
  done
  die "the fake server did not start within 60 s"
}

# measure: runs the command once against the fake server; sets status,
# seconds and peak_kb.
measure() {
  local start end
  start=$(date +%s%N)
  status=0
  timeout 120 /usr/bin/time -v -o "$work/time.txt" \
    "$command" -h "127.0.0.1:$port" -p /x -H y >"$work/out.txt" || status=$?
  end=$(date +%s%N)
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", (b - a) / 1e9 }')
  peak_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
  [ -n "$peak_kb" ] || die "/usr/bin/time gave no peak memory"
}

start_server paths $((mib << 20))
measure
[ "$status" -eq 0 ] || die "the command failed: $(head -c 300 "$work/out.txt")"
lines=$(wc -l <"$work/out.txt")
[ "$lines" -eq "$pieces" ] || die "the command printed $lines lines, not $pieces"
[ "$(tail -n 1 "$work/out.txt")" = "$last" ] || die "the last line is not $last"
echo "reply of $size bytes ($pieces paths): $lines lines, $seconds s, peak $peak_kb kB"
reply_size=$size
reply_kb=$peak_kb

start_server commas $((mib << 20))
measure
[ "$status" -eq 0 ] || die "the command failed: $(head -c 300 "$work/out.txt")"
lines=$(wc -l <"$work/out.txt")
[ "$lines" -eq "$pieces" ] || die "the command printed $lines lines, not $pieces"
echo "reply of $size commas: $lines empty lines, $seconds s, peak $peak_kb kB"
commas_kb=$peak_kb

start_server endless $((limit + (32 << 20)))
measure
too_large=0
grep -q "Reply too large (limit $limit bytes" "$work/out.txt" && too_large=1
[ "$status" -eq 1 ] || too_large=0
echo "unended reply: exit $status, $seconds s, peak $peak_kb kB: $(head -c 200 "$work/out.txt")"

echo
awk -v size="$reply_size" -v kb="$reply_kb" -v ckb="$commas_kb" -v limit="$limit" \
  -v okb="$peak_kb" -v secs="$seconds" -v ok="$too_large" '
BEGIN {
  mib = 1048576
  ratio = kb * 1024 / size
  m1 = kb * 1024 <= 3 * size + 32 * mib
  m2 = ok && secs <= 30 && okb * 1024 <= limit + 32 * mib
  m3 = ckb * 1024 <= 3 * size + 32 * mib
  printf "%s reply of %.1f MiB: peak %.1f MiB = %.2fx the reply (aim: at most 3x + 32 MiB)\n",
    m1 ? "PASS" : "MISS", size / mib, kb / 1024, ratio
  printf "%s reply of %.1f MiB of commas: peak %.1f MiB = %.2fx the reply (aim: at most" \
    " 3x + 32 MiB)\n", m3 ? "PASS" : "MISS", size / mib, ckb / 1024, ckb * 1024 / size
  printf "%s unended reply: %s in %.2f s, peak %.1f MiB (aim: \"Reply too large\" within 30 s," \
    " at most %d MiB + 32 MiB)\n", m2 ? "PASS" : "MISS", ok ? "refused" : "NOT refused", secs,
    okb / 1024, limit / mib
  exit (m1 && m2 && m3) ? 0 : 1
}'
