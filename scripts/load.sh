#!/usr/bin/env bash
# Load measurement, run by hand (not in CI): the companion sender plays 8,000 messages per second
# for 60 seconds over a private JACK server into the real monitor (bench/load_probe.cpp) with
# "Allow MIDI output" checked, and into jack_midi_dump, which only prints each message. A receiver
# counts what the monitor forwards. It prints the counts, whether the ring overran, the CPU time
# each program spent on the stream and the monitor's resident memory, and exits 0 only when every
# message was counted and forwarded without an overrun.
#
# Usage: scripts/load.sh [BUILD_DIR]   (default build-load, configured as a Release build)
# TAMBLIN_LOAD_RATE and TAMBLIN_LOAD_SECONDS change the rate (8000) and the length (60).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

build="${1:-build-load}"
rate="${TAMBLIN_LOAD_RATE:-8000}"
seconds="${TAMBLIN_LOAD_SECONDS:-60}"
count=$((rate * seconds))

bash scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMBLIN_TESTS=OFF \
    -DTAMBLIN_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target load_probe tamblin-send >/dev/null
probe_bin="$build/bench/load_probe"
sender_bin="$build/tools/tamblin-send"

work="$(mktemp -d)"
server="tamblin-load-$$"
export JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1

jackd_pid="" receiver_pid="" sender_pid="" probe_pid="" dump_pid=""
stop() {  # stop PID SIGNAL: signal it and wait up to 10 s before killing it
    local pid="$1"
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill "-$2" "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    # The clients first; the server last and by SIGTERM, so that it frees its slot in JACK's
    # registry of servers.
    stop "$dump_pid" INT
    stop "$probe_pid" TERM
    stop "$sender_pid" TERM
    stop "$receiver_pid" TERM
    stop "$jackd_pid" TERM
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "load.sh: $*" >&2
    exit 1
}

# until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; fails after SECONDS.
until_ok() {
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
    return 1
}
port_exists() { jack_lsp 2>/dev/null | grep -Eq "$1"; }

# utime + stime of a process, in milliseconds.
cpu_ms() {
    local fields
    read -r -a fields <<<"$(sed 's/^.*) //' "/proc/$1/stat")"
    # After the command name: state is field 3, utime 14 and stime 15 of the whole line.
    echo $(((fields[11] + fields[12]) * 1000 / $(getconf CLK_TCK)))
}

jackd -S -n "$server" --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
jackd_pid=$!
until_ok 10 jack_lsp >/dev/null 2>&1 || fail "jackd did not start: $(cat "$work/jackd.log")"

# Receiver and sender first: they are the only output and input device the monitor finds, so it
# opens both without asking.
"$sender_bin" --api jack --receive --count --expect "$count" --timeout $((seconds + 120)) \
    >"$work/received" 2>"$work/receiver.log" &
receiver_pid=$!
until_ok 10 port_exists '^tamblin-send:in$' || fail "the receiver's port did not appear"

# The stream starts 5 s after the monitor connects, time enough to connect jack_midi_dump too.
"$sender_bin" --api jack --stream "$count" --rate "$rate" --seed 1 --wait-connection 120 \
    --delay 5000 >"$work/sender.log" 2>&1 &
sender_pid=$!
until_ok 10 port_exists '^tamblin-send-[0-9]+:out$' || fail "the sender's port did not appear"
source_port="$(jack_lsp | grep -E '^tamblin-send-[0-9]+:out$')"

QT_QPA_PLATFORM=offscreen "$probe_bin" --expect "$count" --linger 3 --idle 5 --timeout $((seconds + 120)) \
    >"$work/probe.out" 2>"$work/probe.log" &
probe_pid=$!
until_ok 30 grep -q '^ready ' "$work/probe.out" || fail "the monitor did not start: $(cat "$work/probe.out" "$work/probe.log")"

jack_midi_dump >"$work/dump.out" 2>&1 &
dump_pid=$!
until_ok 10 port_exists '^midi-monitor:input$' || fail "jack_midi_dump's port did not appear"
jack_connect "$source_port" midi-monitor:input
monitor_cpu0="$(cpu_ms "$probe_pid")"
dump_cpu0="$(cpu_ms "$dump_pid")"
echo "$(sed -n 's/^ready //p' "$work/probe.out"); source $source_port feeds $(jack_lsp -c "$source_port" | grep -c '^ ') inputs."
echo "Playing $count messages at $rate per second..."

sender_status=0
wait "$sender_pid" || sender_status=$?
sender_pid=""
receiver_status=0
wait "$receiver_pid" || receiver_status=$?
receiver_pid=""
sleep 1  # the monitor's last drains and repaints
monitor_cpu1="$(cpu_ms "$probe_pid")"
dump_cpu1="$(cpu_ms "$dump_pid")"

probe_status=0
wait "$probe_pid" || probe_status=$?
probe_pid=""
stop "$dump_pid" INT
dump_pid=""

value() { sed -n "s/^$1 //p" "$work/probe.out"; }
received="$(cat "$work/received")"
dumped="$(grep -Ec '^ *[0-9]+: ' "$work/dump.out" || true)"
counted="$(value counted)"
monitor_ms=$((monitor_cpu1 - monitor_cpu0))
dump_ms=$((dump_cpu1 - dump_cpu0))
per() { awk -v ms="$1" -v n="$2" 'BEGIN { if (n > 0) printf "%.2f", ms * 1000 / n; else print "-" }'; }

printf '\n%-44s %s\n' "messages sent (sender exit status)" "$count ($sender_status)"
printf '%-44s %s\n' "forwarded by the monitor, received" "${received:-0}"
printf '%-44s %s\n' "counted by the monitor" "${counted:-0}"
printf '%-44s %s\n' "printed by jack_midi_dump" "$dumped"
printf '%-44s %s\n' "overrun" "$([ "$(value overrun)" = 1 ] && echo yes || echo no)"
printf '%-44s %s\n' "longest gap between two drains" "$(value longest_drain_gap_ms) ms"
printf '%-44s %s\n' "monitor CPU time during the stream" "$monitor_ms ms"
printf '%-44s %s\n' "monitor CPU per message" "$(per "$monitor_ms" "$count") us"
printf '%-44s %s\n' "jack_midi_dump CPU time during the stream" "$dump_ms ms"
printf '%-44s %s\n' "jack_midi_dump CPU per message" "$(per "$dump_ms" "$count") us"
printf '%-44s %s\n' "monitor resident memory at start / at end" \
    "$(value rss_kb_ready) kB / $(value rss_kb_end) kB"
if [ "$(value modal_text)" != "-" ]; then echo "The monitor showed: $(value modal_text)"; fi

[ "$sender_status" = 0 ] && [ "$receiver_status" = 0 ] && [ "$probe_status" = 0 ] &&
    [ "${received:-0}" = "$count" ] && [ "${counted:-0}" = "$count" ] && [ "$dumped" = "$count" ] ||
    fail "messages were lost or an overrun happened (see above)"
echo "Every message was counted and forwarded."
