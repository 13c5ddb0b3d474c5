#!/usr/bin/env bash
# Whether kestrixd gives memory back: its resident size (VmRSS) at start,
# while it holds a 400 MB request line that has no line feed, after that
# client leaves, and after a round trip of 1,000,000 paths through
# kestrix_translate_path. Aim: once no large request is in flight, kestrixd
# is within 32 MiB of its size at start. Measure the plain build only:
# sanitizer builds keep freed memory on purpose.
#
#   bench/kestrixdMemory.sh
#
# Environment: KM_BUILD_DIR (default build-bench-tp, the build
# translatePath.sh uses). Outside a private network namespace it builds,
# then runs itself again under tools/netns-run. Exit status: 0 when the aim
# is met, 1 when it is missed, 2 when the measurement failed.
set -euo pipefail
trap 'exit 2' ERR

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KM_BUILD_DIR:-$repo/build-bench-tp}
command=$build/kestrix/tools/translate_path/kestrix_translate_path
server=$build/kestrix/server/kestrixd
rules=$repo/kestrix/server/examples/rules.conf
# shellcheck source=bench/lib.sh
. "$repo/bench/lib.sh"

if [ "$(ip -o link | awk -F': ' '{ print $2 }' | sort -u)" != lo ]; then
  mkdir -p "$build"
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF \
    >"$build/configure.log" 2>&1
  cmake --build "$build" -j2 --target kestrix_translate_path kestrixd >/dev/null
  exec "$repo/tools/netns-run" bash "${BASH_SOURCE[0]}" "$@"
fi

work=$(mktemp -d)
port=17549
"$server" -c "$rules" -p "$port" >"$work/kestrixd.log" 2>&1 &
pid=$!
trap 'stop_pid "$pid"; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }

start=$(rss)
exec 3<>"/dev/tcp/127.0.0.1/$port"
{ printf 'sync 0 TranslatePaths '; head -c 400000000 /dev/zero | tr '\0' x; } >&3
sleep 0.5
holding=$(rss)
exec 3>&-
sleep 2
after_line=$(rss)

seq -f '/data/movies/some/long/path/name/file%07g.dpx' 0 999999 >"$work/paths"
lines=$("$command" -h "127.0.0.1:$port" -H edit01 -O WindowsNT -f "$work/paths" | wc -l)
[ "$lines" -eq 1000000 ] || { echo "kestrixdMemory.sh: $lines answers, not 1000000" >&2; exit 2; }
sleep 2
after_paths=$(rss)

printf '%-52s %10s kB\n' "kestrixd VmRSS at start" "$start" \
  "holding a 400 MB request line" "$holding" \
  "2 s after that client left" "$after_line" \
  "2 s after a 1,000,000-path round trip" "$after_paths"
limit=$((start + 32 * 1024))
if [ "$after_line" -le "$limit" ] && [ "$after_paths" -le "$limit" ]; then
  echo "PASS memory given back: within 32 MiB of the size at start"
else
  echo "MISS memory given back: more than 32 MiB above the size at start"
  exit 1
fi
