#!/usr/bin/env bash
# bench/processes.sh [-B BUILD_DIR] [-c CPU]
#
# Start-up and memory of processes (build/bench/bench_processes; ninja
# bench_processes): the time to create 512 processes (in a fresh host, and
# again once they were freed), the host's RSS with 512 idle processes, and its
# RSS before, at the peak of and after a process that fills its 32 MB (small
# blocks, then 1 MB strings) until it is ended, and at the peak of four more in
# a row. Each case runs in a fresh host, pinned to one processor (default the
# last).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
cpu=$(($(nproc) - 1))
while [ $# -gt 0 ]; do
  case $1 in
    -B) build=$2; shift 2 ;;
    -c) cpu=$2; shift 2 ;;
    *) echo "usage: processes.sh [-B BUILD_DIR] [-c CPU]" >&2; exit 2 ;;
  esac
done
bin=$build/bench/bench_processes
[ -x "$bin" ] || { echo "processes.sh: missing $bin (ninja bench_processes)" >&2; exit 1; }
for c in "create 5" idle "fill small" "fill large"; do
  taskset -c "$cpu" "$bin" $c | tail -n 1
done
