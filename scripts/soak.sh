#!/usr/bin/env bash
# Soak run, by hand (not in CI): the companion sender plays 5,000 messages per second for 10
# minutes over a private JACK server into the real monitor (bench/load_probe.cpp, the program
# scripts/load.sh measures with) with "Allow MIDI output" checked, and a receiver counts what the
# monitor forwards. Every minute it prints the monitor's resident memory. It exits 0 only when
# every message was counted and forwarded, the ring never overran, and resident memory grew by
# no more than 1 MB after the first minute.
#
# Usage: scripts/soak.sh [BUILD_DIR]   (default build-soak, configured as a Release build)
# TAMBLIN_SOAK_RATE, TAMBLIN_SOAK_MINUTES and TAMBLIN_SOAK_GROWTH_KB change the rate (5000), the
# length (10) and the growth allowed (1024).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

build="${1:-build-soak}"
rate="${TAMBLIN_SOAK_RATE:-5000}"
minutes="${TAMBLIN_SOAK_MINUTES:-10}"
allowed_kb="${TAMBLIN_SOAK_GROWTH_KB:-1024}"
seconds=$((minutes * 60))
count=$((rate * seconds))

bash scripts/deps.sh
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMBLIN_TESTS=OFF \
        -DTAMBLIN_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target load_probe tamblin-send >/dev/null
probe_bin="$build/bench/load_probe"
sender_bin="$build/tools/tamblin-send"

work="$(mktemp -d)"
server="tamblin-soak-$$"
export JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1

jackd_pid="" receiver_pid="" sender_pid="" probe_pid=""
stop() {  # stop PID SIGNAL: signal it and wait up to 10 s before killing it
    local pid="$1"
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill "-$2" "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    # The server last and by SIGTERM, so that it frees its slot in JACK's registry of servers.
    stop "$probe_pid" TERM
    stop "$sender_pid" TERM
    stop "$receiver_pid" TERM
    stop "$jackd_pid" TERM
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "soak.sh: $*" >&2
    exit 1
}

# until_ok SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; fails after SECONDS.
until_ok() {
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
    return 1
}
port_exists() { jack_lsp 2>/dev/null | grep -Eq "$1"; }
rss_kb() { sed -n "s/^VmRSS:[[:space:]]*\([0-9]*\) kB$/\1/p" "/proc/$1/status" 2>/dev/null || true; }

# libjack names a client's socket after the client alone, whatever its server: while this script
# opens its clients, the JACK tests of this machine (tests/support/JackServer.cpp) must not open
# theirs, which have the same names.
lock="${TMPDIR:-/tmp}/tamblin-jack-tests.lock"
exec 9>>"$lock"
flock 9

jackd -S -n "$server" --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
jackd_pid=$!
until_ok 10 jack_lsp >/dev/null 2>&1 || fail "jackd did not start: $(cat "$work/jackd.log")"

# Receiver and sender first: they are the only output and input device the monitor finds, so it
# opens both without asking.
"$sender_bin" --api jack --receive --count --expect "$count" --timeout $((seconds + 300)) \
    >"$work/received" 2>"$work/receiver.log" &
receiver_pid=$!
until_ok 10 port_exists '^tamblin-send:in$' || fail "the receiver's port did not appear"

delay_ms=2000
"$sender_bin" --api jack --stream "$count" --rate "$rate" --seed 7 --wait-connection 120 \
    --delay "$delay_ms" >"$work/sender.log" 2>&1 &
sender_pid=$!
until_ok 10 port_exists '^tamblin-send-[0-9]+:out$' || fail "the sender's port did not appear"

QT_QPA_PLATFORM=offscreen "$probe_bin" --expect "$count" --linger 5 --idle 10 --timeout $((seconds + 300)) \
    >"$work/probe.out" 2>"$work/probe.log" &
probe_pid=$!
until_ok 30 grep -q '^ready ' "$work/probe.out" ||
    fail "the monitor did not start: $(cat "$work/probe.out" "$work/probe.log")"
flock -u 9
echo "$(sed -n 's/^ready //p' "$work/probe.out")"
echo "Playing $count messages at $rate per second for $minutes minutes..."

sleep "$((delay_ms / 1000))"
baseline="" largest=0 largest_minute=0
for minute in $(seq "$minutes"); do
    sleep 60
    rss="$(rss_kb "$probe_pid")"
    if [ -z "$rss" ]; then  # whether it ended too soon, its own report tells below
        echo "minute $minute: the monitor has ended"
        stop "$sender_pid" TERM
        stop "$receiver_pid" TERM
        break
    fi
    if [ -z "$baseline" ]; then
        baseline="$rss"
        printf 'minute %2d: %6d kB resident\n' "$minute" "$rss"
        continue
    fi
    growth=$((rss - baseline))
    printf 'minute %2d: %6d kB resident, %+d kB since minute 1\n' "$minute" "$rss" "$growth"
    if [ "$growth" -gt "$largest" ]; then largest="$growth" largest_minute="$minute"; fi
done

sender_status=0
wait "$sender_pid" || sender_status=$?
sender_pid=""
receiver_status=0
wait "$receiver_pid" || receiver_status=$?
receiver_pid=""
probe_status=0
wait "$probe_pid" || probe_status=$?
probe_pid=""

value() { sed -n "s/^$1 //p" "$work/probe.out"; }
[ -n "$baseline" ] ||
    fail "the monitor ended within the first minute: $(cat "$work/probe.out" "$work/probe.log")"
received="$(cat "$work/received")"
counted="$(value counted)"
end_rss="$(value rss_kb_end)"
end_rss="${end_rss:-$baseline}"
end_growth=$((end_rss - baseline))
if [ "$end_growth" -gt "$largest" ]; then largest="$end_growth" largest_minute="end"; fi

printf '\n%-44s %s\n' "messages sent (sender exit status)" "$count ($sender_status)"
printf '%-44s %s\n' "forwarded by the monitor, received" "${received:-0}"
printf '%-44s %s\n' "counted by the monitor" "${counted:-0}"
printf '%-44s %s\n' "overrun" "$([ "$(value overrun)" = 1 ] && echo yes || echo no)"
printf '%-44s %s\n' "longest gap between two drains" "$(value longest_drain_gap_ms) ms"
printf '%-44s %s\n' "resident memory after minute 1 / at the end" "$baseline kB / $end_rss kB"
printf '%-44s %s\n' "largest growth since minute 1" "$largest kB (minute $largest_minute)"
if [ "$(value modal_text)" != "-" ]; then echo "The monitor showed: $(value modal_text)"; fi

[ "$sender_status" = 0 ] && [ "$receiver_status" = 0 ] && [ "$probe_status" = 0 ] &&
    [ "${received:-0}" = "$count" ] && [ "${counted:-0}" = "$count" ] ||
    fail "messages were lost or an overrun happened (see above)"
[ "$largest" -le "$allowed_kb" ] ||
    fail "resident memory grew by $largest kB after the first minute (allowed: $allowed_kb kB)"
echo "Every message was counted and forwarded; memory held steady."
