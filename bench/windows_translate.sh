#!/usr/bin/env bash
# The one-path command under wine against the Linux command, side by side in
# one run against one local kestrixd (example rules pinned to this host):
# median wall time of each (hyperfine), and their ratio. For information: wine
# adds its own start-up to every run of a Windows program.
#
#   bench/windows_translate.sh [LINUX_BUILD] [WINDOWS_BUILD]   (default build, build-windows)
#
# Both builds must exist (tools/test, tools/test --windows). Runs itself
# again under tools/netns-run --own. Exit status 0, or 2 when the
# measurement failed.
set -euo pipefail
trap 'exit 2' ERR

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$repo" && realpath "${1:-build}")
windows=$(cd "$repo" && realpath "${2:-build-windows}")
source "$repo/bench/lib.sh"

linux_command=$build/kestrix/tools/translate_path/kestrix_translate_path
windows_command=$windows/kestrix/tools/translate_path/kestrix_translate_path.exe
wine_run=$repo/cmake/toolchains/wine-run
[ -x "$linux_command" ] && [ -x "$build/kestrix/server/kestrixd" ] || die "build $build first (tools/test)"
[ -f "$windows_command" ] || die "build $windows first (tools/test --windows)"

if [ "${WT_INSIDE:-}" != 1 ]; then
  install_missing hyperfine hyperfine
  WT_INSIDE=1 exec "$repo/tools/netns-run" --own bash "${BASH_SOURCE[0]}" "$build" "$windows"
fi

start_pinned_kestrixd windows_translate 7549
args=(-h 127.0.0.1:7549 -p /data/movies/a -H edit01)
linux_out=$("$linux_command" "${args[@]}")
windows_out=$("$wine_run" "$windows_command" "${args[@]}" | tr -d '\r')
[ "$linux_out" = "$windows_out" ] || die "the two commands disagree: '$linux_out' against '$windows_out'"

hyperfine -N --warmup 3 --runs 30 --export-json "$work/times.json" \
  "$linux_command ${args[*]}" "$wine_run $windows_command ${args[*]}" >/dev/null
python3 - "$work/times.json" <<'PY'
import json, sys
linux, windows = (r["median"] for r in json.load(open(sys.argv[1]))["results"])
print(f"Linux command:            {linux * 1000:8.2f} ms (median of 30)")
print(f"Windows command, wine:    {windows * 1000:8.2f} ms (median of 30)")
print(f"ratio:                    {windows / linux:8.1f}x")
PY
