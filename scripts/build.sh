#!/usr/bin/env bash
# Configures and builds one build tree.
# Usage: scripts/build.sh DIR [cmake options...] [--target TARGET...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
options=()
while [ "$#" -gt 0 ] && [ "$1" != --target ]; do
    options+=("$1")
    shift
done
# Through ccache when it is there, with the paths below the checkout taken as relative ones: a
# fresh clone elsewhere reuses what an earlier one compiled.
if command -v ccache >/dev/null; then
    options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
fi
cmake -S "$root" -B "$dir" -G Ninja "${options[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "$@"
