#!/usr/bin/env bash
# Builds a Debian package of Tamblin with CPack and prints its path. Its dependencies come from
# dpkg-shlibdeps, which needs the packages dpkg-dev and file (`scripts/deps.sh test` has them).
#
# Usage: scripts/package.sh [BUILD_DIR]
#   Without BUILD_DIR it configures and builds a Release tree of its own, build-package, without
#   the tests and benchmarks; with one, it packages that configured tree, building what is stale.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

for tool in dpkg-shlibdeps file; do
    if ! command -v "$tool" >/dev/null; then
        echo "package.sh: $tool is missing (packages dpkg-dev and file): bash scripts/deps.sh test" >&2
        exit 1
    fi
done

if [ $# -eq 0 ]; then
    build="$root/build-package"
    source "$root/scripts/lib/release.sh"
    release_build "$build" OFF >&2
else
    build="$(cd "$1" && pwd)"
    cmake --build "$build" -j "$(nproc)" >&2
fi

# Tests pick PipeWire's libjack through LD_LIBRARY_PATH: dpkg-shlibdeps must find the libraries
# the programs link as an installed system finds them, not through it.
log="$build/package.log"
if ! (cd "$build" && env -u LD_LIBRARY_PATH cpack -G DEB) >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
package="$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log")"
if [ ! -f "$package" ]; then
    cat "$log" >&2
    echo "package.sh: cpack named no package" >&2
    exit 1
fi
echo "$package"
