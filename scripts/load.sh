#!/usr/bin/env bash
# Load measurement, run by hand (not in CI): 8,000 messages per second for 60 seconds over a
# private MIDI server into the real monitor (bench/load_probe.cpp) with "Allow MIDI output"
# checked, and into jack_midi_dump, which only prints each message.
#
# The stream comes from bench/latency_probe.cpp, one raw JACK client that plays it and reads it
# back on two paths: through the monitor's thru output, and straight from its own output (the
# baseline). It times every message from the frame it was written in to the frame it was read in,
# and fails on any message lost, changed, added or reordered.
#
# It prints the counts, whether the ring overran, the thru latency (median and 99th percentile)
# of both paths, the CPU time the monitor and jack_midi_dump each spent on the stream and the
# monitor's resident memory, and exits 0 only when every message was counted and came back
# exactly, without an overrun.
#
# Usage: scripts/load.sh [--pipewire] [BUILD_DIR]   (default build-load, a Release build)
#   --pipewire  run on a private PipeWire daemon through PipeWire's libjack, every client asking
#               for 256 frames at 48,000 a second (PIPEWIRE_QUANTUM); by default on jackd -S with
#               the same period.
# TAMBLIN_LOAD_RATE and TAMBLIN_LOAD_SECONDS change the rate (8000) and the length (60).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

server_kind=jackd
if [ "${1:-}" = "--pipewire" ]; then
    server_kind=pipewire
    shift
fi
build="${1:-build-load}"
rate="${TAMBLIN_LOAD_RATE:-8000}"
seconds="${TAMBLIN_LOAD_SECONDS:-60}"
count=$((rate * seconds))

bash scripts/deps.sh test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMBLIN_TESTS=OFF \
    -DTAMBLIN_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target load_probe latency_probe >/dev/null
script=load
source scripts/lib/stream.sh
latency_bin="$build/bench/latency_probe"

# utime + stime of a process, in milliseconds.
cpu_ms() {
    local fields
    read -r -a fields <<<"$(sed 's/^.*) //' "/proc/$1/stat")"
    # After the command name: state is field 3, utime 14 and stime 15 of the whole line.
    echo $(((fields[11] + fields[12]) * 1000 / $(getconf CLK_TCK)))
}
figure() { sed -n "s/^$1 //p" "$work/latency.out"; }

start_server

# The paths to time, each an input port of the latency probe.
"$latency_bin" --count "$count" --rate "$rate" --seed 1 --delay 1000 --idle 5 \
    --timeout $((seconds + 300)) --path monitor --path direct \
    >"$work/latency.out" 2>"$work/latency.log" &
latency_pid=$!
until_ok 10 grep -q '^ready ' "$work/latency.out" ||
    fail "the latency probe did not start: $(cat "$work/latency.out" "$work/latency.log")"
client="$(sed -n 's/^ready //p' "$work/latency.out")"

QT_QPA_PLATFORM=offscreen "$probe_bin" --expect "$count" --linger 3 --idle 10 \
    --timeout $((seconds + 300)) --input "$client:out" --output "$client:monitor" \
    >"$work/probe.out" 2>"$work/probe.log" &
probe_pid=$!
until_ok 30 grep -q '^ready ' "$work/probe.out" ||
    fail "the monitor did not start: $(cat "$work/probe.out" "$work/probe.log")"

jack_midi_dump >"$work/dump.out" 2>&1 &
dump_pid=$!
until_ok 10 port_exists '^midi-monitor:input$' || fail "jack_midi_dump's port did not appear"
jack_connect "$client:out" "$client:direct"
jack_connect "$client:out" midi-monitor:input
flock -u 9
monitor_cpu0="$(cpu_ms "$probe_pid")"
dump_cpu0="$(cpu_ms "$dump_pid")"
echo "$(sed -n 's/^ready //p' "$work/probe.out") on $server_kind;" \
    "$client:out feeds $(jack_lsp -c "$client:out" | grep -c '^ ') inputs."
echo "Playing $count messages at $rate per second..."
kill -USR1 "$latency_pid"

latency_status=0
wait "$latency_pid" || latency_status=$?
latency_pid=""
sleep 1  # the monitor's last drains and repaints
monitor_cpu1="$(cpu_ms "$probe_pid")"
dump_cpu1="$(cpu_ms "$dump_pid")"
stop "$dump_pid" INT
dump_pid=""
probe_status=0
wait "$probe_pid" || probe_status=$?
probe_pid=""

dumped="$(grep -Ec '^ *[0-9]+: ' "$work/dump.out" || true)"
counted="$(value counted)"
monitor_ms=$((monitor_cpu1 - monitor_cpu0))
dump_ms=$((dump_cpu1 - dump_cpu0))
per() { awk -v ms="$1" -v n="$2" 'BEGIN { if (n > 0) printf "%.2f", ms * 1000 / n; else print "-" }'; }
ms() { local v; v="$(figure "$1")"; echo "${v:--} ms"; }

printf '\n%-44s %s\n' "server" "$server_kind, $(figure sample_rate) frames/s"
printf '%-44s %s\n' "messages sent" "$(figure sent) of $count"
printf '%-44s %s\n' "forwarded by the monitor, received" "$(figure monitor_received)"
printf '%-44s %s\n' "received straight from the probe" "$(figure direct_received)"
printf '%-44s %s\n' "counted by the monitor" "${counted:-0}"
printf '%-44s %s\n' "printed by jack_midi_dump" "$dumped"
printf '%-44s %s\n' "overrun" "$([ "$(value overrun)" = 1 ] && echo yes || echo no)"
printf '%-44s %s\n' "longest gap between two drains" "$(value longest_drain_gap_ms) ms"
printf '%-44s %s / %s\n' "thru latency through the monitor, p50 / p99" \
    "$(ms monitor_p50_ms)" "$(ms monitor_p99_ms)"
printf '%-44s %s\n' "  longest" "$(ms monitor_max_ms)"
printf '%-44s %s / %s\n' "latency of a direct connection, p50 / p99" \
    "$(ms direct_p50_ms)" "$(ms direct_p99_ms)"
printf '%-44s %s\n' "monitor CPU time during the stream" "$monitor_ms ms"
printf '%-44s %s\n' "monitor CPU per message" "$(per "$monitor_ms" "$count") us"
printf '%-44s %s\n' "jack_midi_dump CPU time during the stream" "$dump_ms ms"
printf '%-44s %s\n' "jack_midi_dump CPU per message" "$(per "$dump_ms" "$count") us"
printf '%-44s %s\n' "monitor resident memory at start / at end" \
    "$(value rss_kb_ready) kB / $(value rss_kb_end) kB"
if [ "$(value modal_text)" != "-" ]; then echo "The monitor showed: $(value modal_text)"; fi
sed -n 's/^error /the latency probe: /p; s/^\(.*\)_error /path "\1": /p' "$work/latency.out"

if [ "$latency_status" != 0 ] || [ "$probe_status" != 0 ] || [ "${counted:-0}" != "$count" ] ||
    [ "$dumped" != "$count" ]; then
    fail "messages were lost, changed or reordered, or an overrun happened (see above)"
fi
echo "Every message was counted and came back exactly."
