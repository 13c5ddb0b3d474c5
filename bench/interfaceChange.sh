#!/usr/bin/env bash
# How an interface change reaches an observer of a network dispatcher: the
# events of one veth pair added and deleted, in order, then the delays from
# the `ip` command returning to the first and last event, over ROUNDS
# changes. Changes that come within 50 ms of each other are one refresh, so
# about 50 ms is the floor.
#
#   bench/interfaceChange.sh [ROUNDS]     (default 20)
#
# Environment: IC_BUILD_DIR (default build-bench). Runs in a network
# namespace of its own (tools/netns-run --own), never on the host's network.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${IC_BUILD_DIR:-$repo/build-bench}
rounds=${1:-20}
case $rounds in '' | *[!0-9]* | 0) echo "ROUNDS must be a positive number" >&2; exit 2 ;; esac

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF -DKESTRIX_BENCH=ON \
  -DKESTRIX_MODULES="common/base/loggerBase;common/base/osal;common/base/threads;common/base/fileUtil;common/base/ipc;common/base/tcp;common/base/network;common/base/rcApi;bench" \
  >/dev/null
cmake --build "$build" -j2 --target interfaceChange_bench >/dev/null
exec timeout 300 "$repo/tools/netns-run" --own "$build/bench/interfaceChange_bench" "$rounds"
