#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/deps.sh

werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLIN_WERROR="$werror"
ctest --test-dir build --output-on-failure -j 2
