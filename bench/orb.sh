#!/usr/bin/env bash
# orb text speed next to LZ4 and a plain Lua serializer in stock Lua 5.4.2, in one run.
# Usage: bench/orb.sh [BUILD_DIR]   (needs bench_orb and lua_stock built there)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
"$build/bench/bench_orb"
"$build/lua_stock" "$here/orb_serialize.lua" "$here"
