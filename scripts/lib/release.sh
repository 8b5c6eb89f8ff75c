# shellcheck shell=bash
# Sourced by the scripts that make a Release build of their own.

# release_build DIR BENCH [TARGET...]: configures DIR as a Release build without the tests, with
# the benchmarks and probes when BENCH is ON, and builds TARGET... (everything when none is given).
release_build() {
    local dir="$1" bench="$2"
    shift 2
    cmake -S "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)" -B "$dir" -G Ninja \
        -DCMAKE_BUILD_TYPE=Release -DTAMBLIN_TESTS=OFF -DTAMBLIN_BENCH="$bench" >/dev/null
    if [ $# -gt 0 ]; then set -- --target "$@"; fi
    cmake --build "$dir" -j "$(nproc)" "$@"
}
