#!/usr/bin/env bash
# Writes a PNG of each tab page after a short demo burst into docs/screenshots/ (or DIR).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/deps.sh test
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMBLIN_TESTS=OFF \
    -DTAMBLIN_BENCH=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target tamblin-screens
QT_QPA_PLATFORM=offscreen build-release/tools/tamblin-screens "${1:-docs/screenshots}"
