#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest:
#   1. the formatting of every C++ file (clang-format), then the whole suite in a normal build
#      (warnings as errors under CI);
#   2. the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, but for the tests of
#      the scripts and the package;
#   3. the ring stress tests, the capture file's and the real-MIDI tests on jackd under
#      ThreadSanitizer (their copies on PipeWire run in 1 and 2: PipeWire's libraries are not
#      built for ThreadSanitizer);
#   4. each fuzz target for a bounded time from its seed corpus.
# Usage: scripts/test.sh [--quick | --repeat N]
#   --quick     runs step 1 only;
#   --repeat N  builds for steps 1 and 2 and runs only the real-MIDI programs there (jackd and
#               PipeWire), each N times in a row, stopping at the first failure with its output.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

quick=false
repeat=0
case "${1:-}" in
    "") ;;
    --quick) quick=true ;;
    --repeat)
        if ! [[ "${2:-}" =~ ^[1-9][0-9]*$ ]]; then
            echo "usage: scripts/test.sh [--quick | --repeat N]" >&2
            exit 2
        fi
        repeat="$2" ;;
    *) echo "usage: scripts/test.sh [--quick | --repeat N]" >&2; exit 2 ;;
esac
fuzz_seconds="${TAMBLIN_FUZZ_SECONDS:-30}"

bash scripts/deps.sh test

werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi
jobs="$(nproc)"

step() { printf '\n=== %s\n' "$*"; }

# A JACK server of ours that was killed leaves its socket and semaphore files behind. Ours are
# all named "tamblin-..." (tests, scripts, the demo); with none of them running, their files can
# go. Nothing else of JACK's is touched.
if ! pgrep -f '^jackd .*-n tamblin-' >/dev/null 2>&1; then
    rm -f /dev/shm/jack_tamblin-* /dev/shm/jack_sem.*_tamblin-* 2>/dev/null || true
fi

asan() {
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$@"
}

step "Formatting: clang-format over src, tests, tools and bench"
find src tests tools bench -name '*.cpp' -o -name '*.h' | sort | xargs clang-format --dry-run -Werror

step "Normal build and the whole test suite"
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLIN_WERROR="$werror"
# jack2's registry of servers has room for eight on the machine, and a killed jackd keeps its
# entry: those of our servers go before any test starts one. With no jackd running at all, what
# jack2 left in /dev/shm goes (a killed client can leave its metadata database locked for good).
build/tests/tamblin-jack-query --reset tamblin-
if [ "$repeat" -gt 0 ]; then
    step "The real-MIDI programs, each $repeat times in a row"
    time ctest --test-dir build --output-on-failure -L realmidi \
        --repeat "until-fail:$repeat" --stop-on-failure
else
    ctest --test-dir build --output-on-failure -j "$jobs"
fi
$quick && exit 0

step "AddressSanitizer + UndefinedBehaviorSanitizer: the whole test suite"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DTAMBLIN_SANITIZE=address \
    -DTAMBLIN_BENCH=OFF -DTAMBLIN_WERROR="$werror"
if [ "$repeat" -gt 0 ]; then
    step "The real-MIDI programs under the sanitizers, each $repeat times in a row"
    time asan ctest --test-dir build-asan --output-on-failure -L realmidi \
        --repeat "until-fail:$repeat" --stop-on-failure
    printf '\nEvery real-MIDI program passed %s times in a row in both builds.\n' "$repeat"
    exit 0
fi
asan ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE 'scripts|package'

step "ThreadSanitizer: the ring stress tests, the capture file and the real-MIDI tests"
mapfile -t tsan_tests < <(printf '%s\n' InputRingTest SpscQueueTest CaptureFileTest; ctest --test-dir build -N -L realmidi -LE pipewire | sed -n 's/^ *Test *#[0-9]*: //p')
bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLIN_SANITIZE=thread \
    -DTAMBLIN_BENCH=OFF -DTAMBLIN_WERROR="$werror" --target "${tsan_tests[@]}" tamblin-send tamblin
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/sanitizers/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
    -R "^($(IFS='|'; echo "${tsan_tests[*]}"))\$"

step "Fuzzing: each target for ${fuzz_seconds} s from its seed corpus"
CXX=clang++ bash scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLIN_FUZZ=ON \
    -DTAMBLIN_WERROR="$werror"
# One target's run, its output into build-fuzz/TARGET.log.
fuzz_one() {
    local corpus="build-fuzz/corpus-$1"
    rm -rf "$corpus" && mkdir -p "$corpus"
    cp tests/fuzz/corpus/"$1"/* "$corpus"/
    "build-fuzz/tests/fuzz/${1}_fuzz" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
        "$corpus" >"build-fuzz/$1.log" 2>&1
}
# As many targets at a time as there are cores, each for its whole time; a failed one's output
# whole, the others' last lines.
targets=(decoder sysex value_reader cstr2str)
fuzz_failed=()
for ((first = 0; first < ${#targets[@]}; first += jobs)); do
    batch=("${targets[@]:first:jobs}")
    pids=()
    for target in "${batch[@]}"; do
        fuzz_one "$target" &
        pids+=("$!")
    done
    for i in "${!batch[@]}"; do
        printf -- '--- %s\n' "${batch[i]}"
        if wait "${pids[i]}"; then
            tail -n 12 "build-fuzz/${batch[i]}.log"
        else
            cat "build-fuzz/${batch[i]}.log"
            fuzz_failed+=("${batch[i]}")
        fi
    done
done
if [ "${#fuzz_failed[@]}" -gt 0 ]; then
    echo "fuzz targets that failed: ${fuzz_failed[*]}" >&2
    exit 1
fi

printf '\nAll test runs passed.\n'
