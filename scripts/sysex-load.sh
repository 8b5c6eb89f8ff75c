#!/usr/bin/env bash
# SysEx measurement, run by hand (not in CI), beside scripts/load.sh and on the same kind of
# private server: 256 frames a cycle at 48,000 frames a second, jackd by default, PipeWire with
# --pipewire.
#
# 1. The largest SysEx that passes whole, by bisection from 1,000 to 131,072 bytes: tamblin-send
#    plays one SysEx of the size (from a .syx file) to a receiver (tamblin-send --receive), first
#    straight through the server, then through a monitor (`tamblin --sysex`, thru at the tick).
# 2. Throughput: a dump of COUNT SysEx of SIZE bytes (300 of 32,000 by default) played at full
#    speed into the monitor with its log in a file and thru on, once at the tick and once with
#    --direct-thru. For each: bytes per second into the log (from the first SysEx's time in the
#    log to the last's) and through thru (from the sender's start to the receiver's last one,
#    wall clock), whether every SysEx arrived whole, and the monitor's CPU time per kilobyte.
#
# Usage: scripts/sysex-load.sh [--pipewire] [BUILD_DIR]   (default build-load, a Release build)
# TAMBLIN_SYSEX_COUNT and TAMBLIN_SYSEX_SIZE change the dump.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

server_kind=jackd
if [ "${1:-}" = "--pipewire" ]; then
    server_kind=pipewire
    shift
fi
build="${1:-build-load}"
dump_count="${TAMBLIN_SYSEX_COUNT:-300}"
dump_size="${TAMBLIN_SYSEX_SIZE:-32000}"

bash scripts/deps.sh test
source scripts/lib/release.sh
release_build "$build" ON tamblin tamblin-send load_probe >/dev/null
script=sysex-load
count=0 rate=0 seconds=0
source scripts/lib/stream.sh
source scripts/lib/figures.sh
monitor_bin="$build/src/app/tamblin"
monitor_pid=""
trap 'stop "$monitor_pid" TERM; cleanup' EXIT

start_server
flock -u 9

# write_syx FILE COUNT SIZE: COUNT SysEx of SIZE bytes each, F0 7D (non-commercial) ... F7, each
# with its number in its data.
write_syx() {
    python3 - "$@" <<'EOF'
import sys
path, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path, "wb") as out:
    for n in range(count):
        body = bytes(((n * 7 + i) & 0x7F) for i in range(size - 3))
        out.write(b"\xF0\x7D" + body + b"\xF7")
EOF
}

# start_receiver EXPECT SECONDS: starts tamblin-send --receive for EXPECT messages into $work/received.
start_receiver() {
    "$sender_bin" --api jack --receive --with-sysex --expect "$1" --timeout "$2" >"$work/received" \
        2>"$work/receiver.log" &
    receiver_pid=$!
    until_ok 10 port_exists '^tamblin-send:in$' || fail "the receiver's port did not appear"
}

# start_monitor [OPTION...]: the monitor on the sender's port and the receiver, log in $work/log.
start_monitor() {
    rm -f "$work/log"
    QT_QPA_PLATFORM=offscreen "$monitor_bin" --sysex --input "$(sender_port)" \
        --output tamblin-send:in --log "$work/log" "$@" >"$work/monitor.out" 2>"$work/monitor.log" &
    monitor_pid=$!
}

# The sender's port: the second client named tamblin-send, which JACK renames (jackd
# tamblin-send-01, PipeWire's libjack otherwise).
sender_port() { jack_lsp 2>/dev/null | grep -E '^tamblin-send-[0-9]+:out$' | head -n 1; }
input_connected() { jack_lsp -c "$(sender_port)" 2>/dev/null | grep -q '^ *Tamblin:in$'; }

# passes SIZE VIA: whether one SysEx of SIZE bytes arrives whole, VIA "server" or "monitor".
passes() {
    local size="$1" via="$2"
    write_syx "$work/one.syx" 1 "$size"
    start_receiver 1 5
    "$sender_bin" --api jack --sysex "$work/one.syx" --wait-connection 10 \
        >"$work/sender.log" 2>&1 &
    sender_pid=$!
    until_ok 10 port_exists '^tamblin-send-[0-9]+:out$' || fail "the sender's port did not appear"
    if [ "$via" = server ]; then
        jack_connect "$(sender_port)" tamblin-send:in
    else
        start_monitor
    fi
    reap receiver
    reap sender || true
    stop "$monitor_pid" TERM
    monitor_pid=""
    grep -qx "SysEx $size" "$work/received"
}

# largest VIA: the largest size that passes, by bisection.
largest() {
    local low=1000 high=131072 middle
    while [ $((high - low)) -gt 8 ]; do
        middle=$(((low + high) / 2))
        if passes "$middle" "$1"; then low=$middle; else high=$middle; fi
    done
    echo "$low"
}

echo "== $server_kind, 256 frames a cycle at 48 kHz"
echo "largest SysEx that passes whole, straight through the server: $(largest server) bytes"
echo "largest SysEx that passes whole, through tamblin --sysex thru:  $(largest monitor) bytes"

write_syx "$work/dump.syx" "$dump_count" "$dump_size"
bytes=$((dump_count * dump_size))
for mode in tick direct-thru; do
    start_receiver "$dump_count" 120
    options=()
    [ "$mode" = direct-thru ] && options=(--direct-thru)
    # The sender's port first, so that the monitor opens it at start.
    "$sender_bin" --api jack --sysex "$work/dump.syx" --wait-connection 30 \
        >"$work/sender.log" 2>&1 &
    sender_pid=$!
    until_ok 10 port_exists '^tamblin-send-[0-9]+:out$' || fail "the sender's port did not appear"
    start_monitor "${options[@]}"
    until_ok 30 input_connected || fail "the monitor did not start: $(cat "$work/monitor.log")"
    cpu0="$(cpu_ms "$monitor_pid")"
    start="$(date +%s%N)"
    reap receiver
    end="$(date +%s%N)"
    # The log is written at the tick after the last one.
    sleep 0.5
    cpu1="$(cpu_ms "$monitor_pid")"
    reap sender || true
    stop "$monitor_pid" TERM
    monitor_pid=""
    arrived="$(grep -cx "SysEx $dump_size" "$work/received" || true)"
    read -r first last logged < <(awk '/ SysEx / { if (!n++) f = $1; l = $1 } END { print f, l, n }' \
        "$work/log")
    echo "-- thru $mode: $dump_count SysEx of $dump_size bytes"
    echo "   thru: $arrived of $dump_count arrived whole, $(awk -v b="$bytes" -v ns="$((end - start))" \
        'BEGIN { printf "%.0f", b / (ns / 1e9) }') bytes/s (wall clock, sender start to last)"
    echo "   log:  $logged lines, $(awk -v b="$bytes" -v f="$first" -v l="$last" -v n="$logged" \
        'BEGIN { if (l > f && n > 1) printf "%.0f", b * (n - 1) / n / (l - f); else print "-" }') bytes/s (log times)"
    cpu="$(spent "$cpu0" "$cpu1")"
    echo "   monitor CPU: ${cpu:--} ms, $(per "$cpu" "$((bytes / 1000))") us per kB"
done
