#!/usr/bin/env bash
# Presentation cost and pacing jitter in a real window under Xvfb.
# Usage: bench/host.sh [BUILD_DIR]   (needs bench_host built there)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
SDL_VIDEODRIVER=x11 SDL_AUDIODRIVER=dummy xvfb-run -a -s "-screen 0 1280x800x24" "$build/bench/bench_host"
