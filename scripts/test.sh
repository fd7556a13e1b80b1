#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build
bash tools/lua_patches.sh check
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 600
