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

bash scripts/deps.sh test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMBLIN_TESTS=OFF \
    -DTAMBLIN_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target load_probe tamblin-send >/dev/null
script=load
source scripts/lib/stream.sh

# utime + stime of a process, in milliseconds.
cpu_ms() {
    local fields
    read -r -a fields <<<"$(sed 's/^.*) //' "/proc/$1/stat")"
    # After the command name: state is field 3, utime 14 and stime 15 of the whole line.
    echo $(((fields[11] + fields[12]) * 1000 / $(getconf CLK_TCK)))
}

# The stream starts 5 s after the monitor connects, time enough to connect jack_midi_dump too.
start_stream 1 5000 120 3 5
source_port="$(jack_lsp | grep -E '^tamblin-send-[0-9]+:out$')"

jack_midi_dump >"$work/dump.out" 2>&1 &
dump_pid=$!
until_ok 10 port_exists '^midi-monitor:input$' || fail "jack_midi_dump's port did not appear"
jack_connect "$source_port" midi-monitor:input
flock -u 9
monitor_cpu0="$(cpu_ms "$probe_pid")"
dump_cpu0="$(cpu_ms "$dump_pid")"
echo "$(sed -n 's/^ready //p' "$work/probe.out"); source $source_port feeds $(jack_lsp -c "$source_port" | grep -c '^ ') inputs."
echo "Playing $count messages at $rate per second..."

read_cpu_times() {
    sleep 1  # the monitor's last drains and repaints
    monitor_cpu1="$(cpu_ms "$probe_pid")"
    dump_cpu1="$(cpu_ms "$dump_pid")"
}
wait_stream read_cpu_times
stop "$dump_pid" INT
dump_pid=""

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

# shellcheck disable=SC2015 # fail ends the script
[ "$sender_status" = 0 ] && [ "$receiver_status" = 0 ] && [ "$probe_status" = 0 ] &&
    [ "${received:-0}" = "$count" ] && [ "${counted:-0}" = "$count" ] && [ "$dumped" = "$count" ] ||
    fail "messages were lost or an overrun happened (see above)"
echo "Every message was counted and forwarded."
