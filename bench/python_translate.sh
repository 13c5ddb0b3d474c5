#!/usr/bin/env bash
# The Python module kestrix against kestrix_translate_path run as a
# subprocess from Python, for the same work, side by side in one run against
# one local kestrixd (example rules):
#  - 1,000 calls of one path each (Server.translate_paths in a loop, one
#    Server) against 1,000 runs of the command with -p; aim: the module at
#    least 5x faster;
#  - 100,000 paths in one call against the command given them with -f (the
#    file written and the answers read back, as a script would); aim: the
#    module within 1.2x of the command. Best of PT_ROUNDS rounds each.
# Prints the times, the ratios and whether each aim is met.
#
#   bench/python_translate.sh [BUILD_DIR]     (default build-py)
#
# Builds kestrix_python, kestrixd and kestrix_translate_path in BUILD_DIR
# (configured already, e.g. by cmake -S . -B build-py), then runs itself
# again under tools/netns-run --own. Exit status: 0 when both aims are met,
# 1 when one is missed, 2 when the measurement failed.
set -euo pipefail
trap 'exit 2' ERR

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$repo" && realpath "${1:-build-py}")
source "$repo/bench/lib.sh"

if [ "${PT_INSIDE:-}" != 1 ]; then
  [ -f "$build/CMakeCache.txt" ] || die "$build is not configured (cmake -S . -B $build)"
  cmake --build "$build" -j2 --target kestrix_python kestrixd kestrix_translate_path >/dev/null ||
    die "building the module and the programs failed"
  PT_INSIDE=1 exec "$repo/tools/netns-run" --own bash "${BASH_SOURCE[0]}" "$build"
fi

start_pinned_kestrixd python_translate 7549

module_dir=$(dirname "$(find "$build/python" -maxdepth 1 -name 'kestrix*.so' | head -1)")
PYTHONPATH=$module_dir COMMAND="$build/kestrix/tools/translate_path/kestrix_translate_path" \
  WORK=$work ROUNDS=${PT_ROUNDS:-3} /usr/bin/python3 - <<'EOF'
import os, subprocess, sys, time
import kestrix

command, work, rounds = os.environ["COMMAND"], os.environ["WORK"], int(os.environ["ROUNDS"])
server_text, dst = "127.0.0.1:7549", "edit01"
one = "/data/movies/reel1/shot010.mov"
many = [f"/data/movies/reel{i % 50}/shot{i:06d}.mov" for i in range(100_000)]


def best(work):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


server = kestrix.Server(server_text)
server.translate_paths([one], dst_host=dst)  # connect outside the timing


def module_one():
    return [server.translate_paths([one], dst_host=dst)[0] for _ in range(1000)]


def command_one():
    return [subprocess.run([command, "-h", server_text, "-p", one, "-H", dst], check=True,
                           capture_output=True, text=True).stdout.rstrip("\n")
            for _ in range(1000)]


def module_many():
    return server.translate_paths(many, dst_host=dst)


def command_many():
    path = os.path.join(work, "paths.txt")
    with open(path, "w") as f:
        f.write("\n".join(many) + "\n")
    out = subprocess.run([command, "-h", server_text, "-f", path, "-H", dst], check=True,
                         capture_output=True, text=True).stdout
    return out.splitlines()


t_mod1, r_mod1 = best(module_one)
t_cmd1, r_cmd1 = best(command_one)
t_modn, r_modn = best(module_many)
t_cmdn, r_cmdn = best(command_many)
if r_mod1 != r_cmd1 or r_modn != r_cmdn:
    sys.exit("the module and the command gave different answers")
fast, near = t_cmd1 / t_mod1, t_modn / t_cmdn
print(f"{'work':<34}{'module':>10}{'command':>10}{'ratio':>9}  aim")
print(f"{'1,000 calls of 1 path':<34}{t_mod1:>9.3f}s{t_cmd1:>9.3f}s{fast:>8.1f}x  "
      f"command/module >= 5: {'met' if fast >= 5 else 'MISSED'}")
print(f"{'100,000 paths in one call':<34}{t_modn:>9.3f}s{t_cmdn:>9.3f}s{near:>8.2f}x  "
      f"module/command <= 1.2: {'met' if near <= 1.2 else 'MISSED'}")
server.close()
sys.exit(0 if fast >= 5 and near <= 1.2 else 1)
EOF
