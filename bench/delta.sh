#!/usr/bin/env bash
# Delta speed next to LZ4 on the same 1 MB text, interleaved, best of 5.
# Usage: bench/delta.sh [BUILD_DIR]   (needs bench_delta built there)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
"$build/bench/bench_delta" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=false --benchmark_display_aggregates_only=true \
  --benchmark_min_time=0.2
