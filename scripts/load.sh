#!/usr/bin/env bash
# Load measurement, run by hand (not in CI), over a private JACK server (256 frames at 48 kHz):
#
# 1. Thru latency: a probe client (bench/latency_probe.cpp) sends numbered messages at 500 per
#    second and times each from the frame it was sent at to the frame it came back at, over a
#    direct connection from its output to its input, then through the real monitor
#    (bench/load_probe.cpp) with thru at the refresh tick, then with --direct-thru. It prints p50
#    and p99 of each, and checks that every message came back exactly once.
# 2. Idle CPU: the monitor with its input and output open and no traffic, for 10 seconds.
# 3. CPU per message: the companion sender plays 8,000 messages per second for 60 seconds into the
#    monitor with "Allow MIDI output" checked, and into jack_midi_dump, which only prints each
#    message; a receiver counts what the monitor forwards. Once with thru at the tick, once with
#    direct thru. It prints the counts, whether the ring overran, the CPU time each program spent
#    on the stream and the monitor's resident memory.
#
# It exits 0 only when the monitor lost and repeated no message and its ring never overran.
#
# Usage: scripts/load.sh [BUILD_DIR]   (default build-load, configured as a Release build)
# TAMBLIN_LOAD_RATE and TAMBLIN_LOAD_SECONDS change the rate (8000) and the length (60) of part 3.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

build="${1:-build-load}"
rate="${TAMBLIN_LOAD_RATE:-8000}"
seconds="${TAMBLIN_LOAD_SECONDS:-60}"
count=$((rate * seconds))
latency_count=5000
latency_rate=500
idle_seconds=10

bash scripts/deps.sh test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMBLIN_TESTS=OFF \
    -DTAMBLIN_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target load_probe latency_probe tamblin-send >/dev/null
script=load
source scripts/lib/stream.sh
latency_bin="$build/bench/latency_probe"
latency_pid=""
trap 'stop "$latency_pid" TERM; cleanup' EXIT

# utime + stime of a process, in milliseconds.
cpu_ms() {
    local fields
    read -r -a fields <<<"$(sed 's/^.*) //' "/proc/$1/stat")"
    # After the command name: state is field 3, utime 14 and stime 15 of the whole line.
    echo $(((fields[11] + fields[12]) * 1000 / $(getconf CLK_TCK)))
}
per() { awk -v ms="$1" -v n="$2" 'BEGIN { if (n > 0) printf "%.2f", ms * 1000 / n; else print "-" }'; }
field() { sed -n "s/.* $1 \([^ ]*\).*/\1/p" <<<"$2"; }
failed=0

# The whole run holds the machine's JACK test lock (start_server takes it): its clients have the
# names the tests' clients have.
start_server

# ---- 1. latency ------------------------------------------------------------------------------

# latency LABEL [MONITOR OPTIONS...]: one measurement; with options, through the monitor.
latency() {
    local label="$1" through_monitor=false
    shift
    if [ "$label" != "direct connection" ]; then through_monitor=true; fi
    if $through_monitor; then
        "$latency_bin" --count "$latency_count" --rate "$latency_rate" >"$work/latency.out" \
            2>"$work/latency.log" &
    else
        "$latency_bin" --count "$latency_count" --rate "$latency_rate" --self >"$work/latency.out" \
            2>"$work/latency.log" &
    fi
    latency_pid=$!
    until_ok 10 grep -q '^ready' "$work/latency.out" || fail "the latency probe did not start"
    if $through_monitor; then
        # Its ports are the only devices: the monitor opens them without asking.
        QT_QPA_PLATFORM=offscreen "$probe_bin" --expect 999999999 --idle 5 --timeout 120 "$@" \
            >"$work/probe.out" 2>"$work/probe.log" &
        probe_pid=$!
    fi
    local status=0
    wait "$latency_pid" || status=$?
    latency_pid=""
    stop "$probe_pid" TERM
    probe_pid=""
    local result
    result="$(sed -n 's/^sent //p' "$work/latency.out")"
    [ "$status" = 0 ] || { failed=1; echo "$label: $(cat "$work/latency.log")"; }
    printf '%-28s p50 %6s ms   p99 %6s ms   max %6s ms   (%s lost, %s repeated)\n' "$label" \
        "$(field p50_ms " $result")" "$(field p99_ms " $result")" "$(field max_ms " $result")" \
        "$(field lost " $result")" "$(field repeated " $result")"
    period_ms="$(field period_ms " $result")"
}

echo "Thru latency, send to receive, $latency_count messages at $latency_rate per second:"
latency "direct connection"
latency "thru at the refresh tick"
latency "direct thru" --direct-thru 1
echo "(one period is $period_ms ms)"

# ---- 2. idle CPU -----------------------------------------------------------------------------

# The sender waits a day before it plays: the monitor has its ports open and nothing to do.
start_stream 1 86400000 60 0 3600
until_ok 10 grep -q '^ready ' "$work/probe.out" || fail "the monitor did not start"
sleep 1
idle0="$(cpu_ms "$probe_pid")"
jackd_idle0="$(cpu_ms "$jackd_pid")"
sleep "$idle_seconds"
idle1="$(cpu_ms "$probe_pid")"
jackd_idle1="$(cpu_ms "$jackd_pid")"
stop "$probe_pid" TERM
stop "$sender_pid" TERM
stop "$receiver_pid" TERM
probe_pid="" sender_pid="" receiver_pid=""
printf '\nIdle CPU over %s s: the monitor %s%%, jackd %s%%\n' "$idle_seconds" \
    "$(awk -v ms=$((idle1 - idle0)) -v s="$idle_seconds" 'BEGIN { printf "%.2f", ms / s / 10 }')" \
    "$(awk -v ms=$((jackd_idle1 - jackd_idle0)) -v s="$idle_seconds" \
        'BEGIN { printf "%.2f", ms / s / 10 }')"

# ---- 3. CPU per message ----------------------------------------------------------------------

# cpu_run LABEL [MONITOR OPTIONS...]
cpu_run() {
    local label="$1"
    shift
    probe_options="$*"
    # The stream starts 5 s after the monitor connects, time enough to connect jack_midi_dump too.
    start_stream 1 5000 120 3 5
    local source_port
    source_port="$(jack_lsp | grep -E '^tamblin-send-[0-9]+:out$')"
    jack_midi_dump >"$work/dump.out" 2>&1 &
    dump_pid=$!
    until_ok 10 port_exists '^midi-monitor:input$' || fail "jack_midi_dump's port did not appear"
    jack_connect "$source_port" midi-monitor:input
    local monitor_cpu0 dump_cpu0
    monitor_cpu0="$(cpu_ms "$probe_pid")"
    dump_cpu0="$(cpu_ms "$dump_pid")"
    printf '\n%s: %s\n' "$label" "$(sed -n 's/^ready //p' "$work/probe.out")"
    echo "Playing $count messages at $rate per second..."

    read_cpu_times() {
        sleep 1  # the monitor's last drains and repaints
        monitor_cpu1="$(cpu_ms "$probe_pid")"
        dump_cpu1="$(cpu_ms "$dump_pid")"
    }
    wait_stream read_cpu_times
    stop "$dump_pid" INT
    dump_pid=""

    local received dumped counted monitor_ms dump_ms
    received="$(cat "$work/received")"
    dumped="$(grep -Ec '^ *[0-9]+: ' "$work/dump.out" || true)"
    counted="$(value counted)"
    monitor_ms=$((monitor_cpu1 - monitor_cpu0))
    dump_ms=$((dump_cpu1 - dump_cpu0))
    printf '%-44s %s\n' "messages sent (sender exit status)" "$count ($sender_status)"
    printf '%-44s %s\n' "forwarded by the monitor, received" "${received:-0}"
    printf '%-44s %s\n' "counted by the monitor" "${counted:-0}"
    printf '%-44s %s\n' "printed by jack_midi_dump" "$dumped"
    printf '%-44s %s\n' "overrun" "$([ "$(value overrun)" = 1 ] && echo yes || echo no)"
    printf '%-44s %s\n' "longest gap between two drains" "$(value longest_drain_gap_ms) ms"
    printf '%-44s %s\n' "monitor CPU per message" "$(per "$monitor_ms" "$count") us"
    printf '%-44s %s\n' "jack_midi_dump CPU per message" "$(per "$dump_ms" "$count") us"
    printf '%-44s %s\n' "monitor / jack_midi_dump" \
        "$(awk -v m="$monitor_ms" -v d="$dump_ms" 'BEGIN { if (d > 0) printf "%.2fx", m / d }')"
    printf '%-44s %s\n' "monitor resident memory at start / at end" \
        "$(value rss_kb_ready) kB / $(value rss_kb_end) kB"
    if [ "$(value modal_text)" != "-" ]; then echo "The monitor showed: $(value modal_text)"; fi
    if [ "$dumped" != "$count" ]; then
        echo "(jack_midi_dump dropped some: its printing fell behind its own buffer)"
    fi
    [ "$sender_status" = 0 ] && [ "$receiver_status" = 0 ] && [ "$probe_status" = 0 ] &&
        [ "${received:-0}" = "$count" ] && [ "${counted:-0}" = "$count" ] || failed=1
}

cpu_run "Thru at the refresh tick"
cpu_run "Direct thru" --direct-thru 1

[ "$failed" = 0 ] || fail "messages were lost or repeated, or an overrun happened (see above)"
echo
echo "Every message was counted and forwarded once."
