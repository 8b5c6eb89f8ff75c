#!/usr/bin/env bash
# Writes a PNG of each tab page after a short demo burst into docs/screenshots/ (or DIR).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/deps.sh test
source scripts/lib/release.sh
release_build build-release OFF tamblin-screens
QT_QPA_PLATFORM=offscreen build-release/tools/tamblin-screens "${1:-docs/screenshots}"
