#!/usr/bin/env bash
# Sets up, builds and starts the workstation on the starter ROM.
# Extra arguments go to the program (e.g. -x -home DIR /prog.lua).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build
exec build/orvanta "$@"
