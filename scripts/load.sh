#!/usr/bin/env bash
# Load measurement and the period sweep, run by hand (not in CI), over a private MIDI server at
# 256 frames a cycle (TAMBLIN_LOAD_PERIOD) and 48,000 frames a second: jackd by default, PipeWire
# with --pipewire.
#
# One raw JACK client (bench/latency_probe.cpp) plays a seeded stream of channel messages, 8,000
# a second for 60 seconds, from its port "out", and reads it back on three input ports, each the
# end of one path: "direct", connected straight to out (the baseline); "tick", the thru output of
# a real monitor (bench/load_probe.cpp) that forwards at its refresh tick; and "direct-thru", the
# thru output of a second monitor started as `tamblin --direct-thru`. Both monitors have "Allow
# MIDI output" checked and read out; so does jack_midi_dump, which only prints each message, and
# a plain libjack client in a process of its own (tamblin-send --receive), which counts what the
# server delivers to a client other than the probe; a plain libjack thru client (bench/plain_thru)
# copies out to its own output, the baseline of a thru path. A plain client on each thru output
# (the two monitors' and the plain thru client's) counts what a synthesiser there would get.
# The probe times every message from the frame it was written in to the frame it was read in, on
# one clock, and fails on any message lost, changed, added or reordered on any path.
#
# It measures twice on one server, with a fresh set of clients each time: with the monitors'
# Notes page shown (the page they start on) and with their Misc page shown (the log and the
# counts). Each time it prints:
# - the idle CPU of both monitors, of jack_midi_dump and of the server, for 10 seconds with every
#   port open before the stream starts;
# - thru latency p50/p99 (and the longest) of the direct connection, of thru at the tick and of
#   direct thru;
# - for each monitor: the messages counted, whether the ring overran, the longest gap between two
#   drains, CPU time per message next to jack_midi_dump's, and resident memory.
# Then a summary: per page, the CPU time per message of the monitor at the tick next to
# jack_midi_dump's, and their idle CPU.
# It exits 0 only when every path carried exactly the stream and each monitor counted every
# message without an overrun, on both pages. (jack_midi_dump falling behind its own buffer is
# noted, not counted as the monitors' loss.)
#
# Usage: scripts/load.sh [--pipewire] [--capture mid|csv] [BUILD_DIR]
#                                       (default build-load, a Release build)
#        scripts/load.sh --sweep [BUILD_DIR]
#   --pipewire  run on a private PipeWire daemon through PipeWire's libjack, every client asking
#               for the period at 48,000 frames a second (PIPEWIRE_QUANTUM); by default on
#               jackd -S with the same period.
#   --capture   both monitors write every message to a file of their own as `tamblin --capture`
#               does, as a MIDI file (mid) or CSV (csv); the CPU time per message then includes
#               it (compare with a run without), and each monitor's file size is printed.
#   --sweep     the period sweep: one short run (15 s, no idle phase, the Notes page) for each
#               period of 64, 128, ..., 4,096 frames on jackd and then on PipeWire, both monitors
#               with --drain-early, and one run on each server that changes the period from 256
#               to 2,048 frames with jack_bufsize halfway through. It prints one table: per run
#               the messages lost, reordered and duplicated on the direct connection (a plain
#               libjack client, the baseline), through thru at the tick and through direct thru,
#               whether a monitor's buffer overran, the xruns, and the messages that the plain
#               libjack client in a process of its own missed, what the plain clients on the
#               three thru outputs missed, the cycles the server ran without each of those
#               plain clients, and the messages each monitor did not count. About 10 minutes;
#               exits 0 when neither monitor lost more downstream than the plain client or the
#               plain thru path (unless the server ran cycles without the client downstream of
#               it), nor reordered or duplicated any, nor overran, nor missed any on jackd, in
#               any run. TAMBLIN_LOAD_SWEEP_POINTS runs only the points it names
#               ("pipewire:64 pipewire:256>2048", say); TAMBLIN_LOAD_SWEEP_REPEAT=N runs each
#               point N times.
# TAMBLIN_LOAD_RATE and TAMBLIN_LOAD_SECONDS change the rate (8000) and the length (60);
# TAMBLIN_LOAD_PAGES the pages measured ("notes misc"); TAMBLIN_LOAD_PERIOD the frames a cycle
# (256), TAMBLIN_LOAD_IDLE the idle phase (10 s); TAMBLIN_LOAD_DRAIN_EARLY=1 runs both monitors
# with --drain-early, TAMBLIN_LOAD_BUFSIZE=N has jack_bufsize change the period to N frames
# halfway through the stream, and TAMBLIN_LOAD_NUMBERED=1 plays numbered messages and prints a
# "row" line of faults per path.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

if [ "${1:-}" = "--sweep" ]; then
    build="${2:-build-load}"
    bash scripts/deps.sh test
    source scripts/lib/release.sh
    release_build "$build" ON load_probe latency_probe plain_thru tamblin-send >/dev/null
    rows="$(mktemp)"
    trap 'rm -f "$rows"' EXIT
    # point SERVER_OPTION PERIOD [BUFSIZE]: one run, its row appended to $rows.
    point() {
        local log name=jackd
        [ -z "$1" ] || name=pipewire
        log="$(mktemp)"
        echo "$name, $2 frames${3:+, then $3}..." >&2
        # shellcheck disable=SC2086  # no option for jackd
        TAMBLIN_LOAD_PREPARED=1 TAMBLIN_LOAD_SECONDS="${TAMBLIN_LOAD_SECONDS:-15}" \
            TAMBLIN_LOAD_IDLE=1 TAMBLIN_LOAD_PERIOD="$2" TAMBLIN_LOAD_DRAIN_EARLY=1 \
            TAMBLIN_LOAD_NUMBERED=1 TAMBLIN_LOAD_BUFSIZE="${3:-}" TAMBLIN_LOAD_PAGES=notes \
            bash "$0" $1 "$build" >"$log" 2>&1 || true
        if grep -q '^row ' "$log"; then
            sed -n 's/^row //p' "$log" >>"$rows"
        else
            echo "$name $2${3:+>$3} - the run failed: $(tail -n 3 "$log" | tr '\n' ' ')" >>"$rows"
        fi
        rm -f "$log"
    }
    # The points: TAMBLIN_LOAD_SWEEP_POINTS, or every period on jackd and then on PipeWire and
    # the period change on each; each run TAMBLIN_LOAD_SWEEP_REPEAT times.
    points="${TAMBLIN_LOAD_SWEEP_POINTS:-}"
    if [ -z "$points" ]; then
        for name in jackd pipewire; do
            for frames in 64 128 256 512 1024 2048 4096; do points+=" $name:$frames"; done
            points+=" $name:256>2048"
        done
    fi
    for at in $points; do
        name="${at%%:*}" frames="${at#*:}"
        server_option=""
        case "$name" in
            jackd) ;;
            pipewire) server_option=--pipewire ;;
            *) echo "load.sh: no server $name in the point $at" >&2 && exit 2 ;;
        esac
        for ((run = 0; run < ${TAMBLIN_LOAD_SWEEP_REPEAT:-1}; run++)); do
            # shellcheck disable=SC2086  # a period, or a period and the one it changes to
            point "$server_option" ${frames/>/ }
        done
    done
    {
        echo "server period direct_l/r/d tick_l/r/d direct-thru_l/r/d overrun xruns plain_lost" \
            "most_in_a_cycle downstream_lost skipped missed"
        cat "$rows"
    } | column -t | sed 's/^/  /'
    echo "(l/r/d: messages lost / reordered / duplicated on the probe's paths, which it reads a"
    echo " cycle after it plays; overrun: of the monitor at the tick / of the direct thru one;"
    echo " plain_lost: missed by a plain libjack client in a process of its own, fed the stream;"
    echo " most_in_a_cycle: the most messages played in one cycle; downstream_lost: missed by a"
    echo " plain client on each monitor's thru output, thru at the tick / direct thru, and on the"
    echo " output of a plain libjack thru client fed the same stream; skipped: the cycles the"
    echo " server ran without the plain client / without each of the three downstream clients:"
    echo " what the server wrote for such a cycle never reached the client; missed: not counted"
    echo " by the monitor at the tick / by the direct thru one)"
    # No monitor worse than plain clients on the same stream: nothing lost downstream of its thru
    # beyond what the plain client missed or what was lost through the plain thru client (a path
    # of two clients, as each monitor's is), unless the server ran cycles without the client
    # downstream of it (PipeWire gives up the cycle of a client that is late, with what was
    # written for it); nothing reordered or duplicated that the direct path kept; on jackd,
    # which waits for every client, nothing missed by a monitor.
    awk '$3 == "-" { bad = 1 } NF >= 12 {
            split($3, d, "/"); split($4, t, "/"); split($5, x, "/"); split($10, down, "/")
            split($11, skipped, "/")
            plain = $8 > down[3] ? $8 : down[3]
            for (i = 1; i <= 2; i++) if (down[i] > plain && skipped[i + 1] == 0) bad = 1
            for (i = 2; i <= 3; i++) if (t[i] > d[i] || x[i] > d[i]) bad = 1
            if ($6 != "no/no") bad = 1
            if ($1 == "jackd" && $12 != "0/0") bad = 1 } END { exit bad }' "$rows" ||
        { echo "load.sh: a monitor lost, reordered or duplicated messages, or overran" >&2; exit 1; }
    exit 0
fi

server_kind=jackd
capture=""
while [ $# -gt 0 ]; do
    case "$1" in
        --pipewire) server_kind=pipewire && shift ;;
        --capture)
            capture="${2:-}"
            [ "$capture" = mid ] || [ "$capture" = csv ] || {
                echo "usage: --capture mid|csv" >&2
                exit 2
            }
            shift 2
            ;;
        *) break ;;
    esac
done
build="${1:-build-load}"
rate="${TAMBLIN_LOAD_RATE:-8000}"
seconds="${TAMBLIN_LOAD_SECONDS:-60}"
period="${TAMBLIN_LOAD_PERIOD:-256}"
count=$((rate * seconds))
idle_seconds="${TAMBLIN_LOAD_IDLE:-10}"
pages="${TAMBLIN_LOAD_PAGES:-notes misc}"
bufsize="${TAMBLIN_LOAD_BUFSIZE:-}"
numbered="${TAMBLIN_LOAD_NUMBERED:-0}"
drain_early="${TAMBLIN_LOAD_DRAIN_EARLY:-0}"

if [ -z "${TAMBLIN_LOAD_PREPARED:-}" ]; then
    bash scripts/deps.sh test
    source scripts/lib/release.sh
    release_build "$build" ON load_probe latency_probe plain_thru tamblin-send >/dev/null
fi
script=load
source scripts/lib/stream.sh
latency_bin="$build/bench/latency_probe"
thru_bin="$build/bench/plain_thru"
direct_pid="" direct_status="" plain_pid="" tick_down_pid="" direct_down_pid=""
thru_pid="" thru_down_pid=""
trap 'stop "$direct_pid" TERM; stop "$plain_pid" TERM; stop "$tick_down_pid" TERM
    stop "$direct_down_pid" TERM; stop "$thru_pid" TERM; stop "$thru_down_pid" TERM; cleanup' EXIT

source scripts/lib/figures.sh

start_server
summary=""
failed=""

# measure PAGE: one measurement with the monitors showing PAGE (notes or misc).
measure() {
    local page="$1" page_index=0
    [ "$page" = misc ] && page_index=3
    # The clients are opened under the machine's JACK test lock (see start_server).
    flock 9

    "$latency_bin" --count "$count" --rate "$rate" --seed 1 --delay 1000 --idle 5 \
        --timeout $((seconds + idle_seconds + 300)) --numbered "$numbered" \
        --path direct --path tick --path direct-thru \
        >"$work/latency.out" 2>"$work/latency.log" &
    latency_pid=$!
    until_ok 10 grep -q '^ready ' "$work/latency.out" ||
        fail "the latency probe did not start: $(cat "$work/latency.out" "$work/latency.log")"
    client="$(sed -n 's/^ready //p' "$work/latency.out")"

    # monitor OUT_FILE OUTPUT_PORT [OPTIONS...]: a monitor reading the probe's out, its thru going
    # to OUTPUT_PORT; sets monitor_pid.
    monitor() {
        local out="$1" output="$2"
        shift 2
        if [ -n "$capture" ]; then set -- "$@" --capture "${out%.out}.$capture"; fi
        # A monitor that has every message stays 8 s more: when another path lost some, the
        # latency probe waits 5 s for them and the CPU times are read 1 s after it ends.
        QT_QPA_PLATFORM=offscreen "$probe_bin" --expect "$count" --linger 8 --idle 10 \
            --timeout $((seconds + idle_seconds + 300)) --input "$client:out" --output "$output" \
            --page "$page_index" --drain-early "$drain_early" "$@" \
            >"$out" 2>"${out%.out}.log" &
        monitor_pid=$!
        until_ok 30 grep -q '^ready ' "$out" ||
            fail "the monitor did not start: $(cat "$out" "${out%.out}.log")"
    }
    monitor "$work/probe.out" "$client:tick"
    probe_pid=$monitor_pid
    monitor "$work/direct.out" "$client:direct-thru" --direct-thru 1
    direct_pid=$monitor_pid

    jack_midi_dump >"$work/dump.out" 2>&1 &
    dump_pid=$!
    until_ok 10 port_exists '^midi-monitor:input$' || fail "jack_midi_dump's port did not appear"
    # receiver NAME: a plain libjack client in a process of its own (tamblin-send --receive) that
    # counts what reaches its port into $work/NAME.out; sets receiver_pid and receiver_port (the
    # server renames the second and later clients of one name, each server its own way).
    receiver() {
        local before
        before="$(jack_lsp 2>/dev/null | grep -E '^tamblin-send[^:]*:in$' || true)"
        "$sender_bin" --api jack --receive --count --expect "$count" \
            --timeout $((seconds + idle_seconds + 300)) >"$work/$1.out" 2>"$work/$1.log" &
        receiver_pid=$!
        new_port() { jack_lsp 2>/dev/null | grep -E '^tamblin-send[^:]*:in$' | grep -vxF "$before"; }
        until_ok 10 new_port >/dev/null || fail "the $1 client's port did not appear"
        receiver_port="$(new_port | head -n 1)"
    }
    receiver plain
    plain_pid=$receiver_pid
    jack_connect "$client:out" "$receiver_port"
    jack_connect "$client:out" "$client:direct"
    jack_connect "$client:out" midi-monitor:input
    # The plain thru client: the same stream through a libjack client that only copies it on.
    "$thru_bin" >"$work/thru.out" 2>"$work/thru.log" &
    thru_pid=$!
    until_ok 10 grep -q '^ready ' "$work/thru.out" ||
        fail "the plain thru client did not start: $(cat "$work/thru.out" "$work/thru.log")"
    local thru_client
    thru_client="$(sed -n 's/^ready //p' "$work/thru.out")"
    jack_connect "$client:out" "$thru_client:in"
    # The monitors connect their ports on a thread of their own: out feeds both monitors,
    # jack_midi_dump, the plain client, the plain thru client and the direct path, and each thru
    # output feeds its path.
    feeds() { jack_lsp -c "$1" | grep -c '^ ' || true; }
    until_ok 10 test "$(feeds "$client:out")" = 6 ||
        fail "$client:out feeds $(feeds "$client:out") inputs, not 6: $(jack_lsp -c)"
    until_ok 10 test "$(feeds "$client:tick")" = 1 || fail "the tick monitor's thru is not connected"
    until_ok 10 test "$(feeds "$client:direct-thru")" = 1 ||
        fail "the direct thru monitor's thru is not connected"
    # Each thru output feeds a plain client too, which reads it in the cycle it was written in,
    # as a synthesiser would. The probe reads its paths one cycle later (it plays before it
    # reads), so a cycle that the server drops between two (as jackd does when the period
    # changes) is lost on the probe's paths, the direct one included, and not downstream.
    receiver tick-down
    tick_down_pid=$receiver_pid
    jack_connect "$(jack_lsp -c "$client:tick" | sed -n 's/^ \+//p' | head -n 1)" "$receiver_port"
    receiver direct-down
    direct_down_pid=$receiver_pid
    jack_connect "$(jack_lsp -c "$client:direct-thru" | sed -n 's/^ \+//p' | head -n 1)" \
        "$receiver_port"
    receiver thru-down
    thru_down_pid=$receiver_pid
    jack_connect "$thru_client:out" "$receiver_port"
    until_ok 10 connections_settled || fail "$server_kind did not take the connections up"
    flock -u 9

    # ---- idle: every port open, nothing played ---------------------------------------------
    sleep 1
    local tick_idle0 direct_idle0 server_idle0 dump_idle0 tick_cpu0 direct_cpu0 server_idle1
    local dump_cpu0 tick_cpu1 direct_cpu1 dump_cpu1 dumped tick_ms tick_idle dump_idle
    tick_idle0="$(cpu_ms "$probe_pid")"
    direct_idle0="$(cpu_ms "$direct_pid")"
    server_idle0="$(cpu_ms "$server_pid")"
    dump_idle0="$(cpu_ms "$dump_pid")"
    sleep "$idle_seconds"
    tick_cpu0="$(cpu_ms "$probe_pid")"
    direct_cpu0="$(cpu_ms "$direct_pid")"
    server_idle1="$(cpu_ms "$server_pid")"
    dump_cpu0="$(cpu_ms "$dump_pid")"

    # ---- the stream ------------------------------------------------------------------------
    echo
    echo "== The $page page shown${capture:+, every message captured to .$capture} =="
    echo "On $server_kind: $(sed -n 's/^ready //p' "$work/probe.out") (thru at the tick);" \
        "$(sed -n 's/^ready //p' "$work/direct.out") (direct thru)."
    echo "Playing $count messages at $rate per second..."
    kill -USR1 "$latency_pid"
    local bufsize_pid="" plain_received tick_down direct_down thru_down
    if [ -n "$bufsize" ]; then
        (sleep $((seconds / 2)) && jack_bufsize "$bufsize" >"$work/bufsize.log" 2>&1) &
        bufsize_pid=$!
    fi

    reap latency
    [ -z "$bufsize_pid" ] || wait "$bufsize_pid" ||
        echo "jack_bufsize failed: $(cat "$work/bufsize.log")"
    sleep 1  # the monitors' last drains and repaints
    tick_cpu1="$(cpu_ms "$probe_pid")"
    direct_cpu1="$(cpu_ms "$direct_pid")"
    dump_cpu1="$(cpu_ms "$dump_pid")"
    # The plain clients end by themselves once they have every message.
    stop "$plain_pid" TERM
    stop "$tick_down_pid" TERM
    stop "$direct_down_pid" TERM
    stop "$thru_down_pid" TERM
    stop "$thru_pid" TERM
    plain_pid="" tick_down_pid="" direct_down_pid="" thru_down_pid="" thru_pid=""
    plain_received="$(tail -n 1 "$work/plain.out")"
    # skipped NAME: the cycles the server ran without the plain client NAME.
    skipped() {
        sed -n 's/.* ran \([0-9]*\) cycles without this client$/\1/p' "$work/$1.log" | grep . ||
            echo 0
    }
    thru_down="$(tail -n 1 "$work/thru-down.out")"
    tick_down="$(tail -n 1 "$work/tick-down.out")"
    direct_down="$(tail -n 1 "$work/direct-down.out")"
    stop "$dump_pid" INT
    dump_pid=""
    reap probe
    reap direct

    dumped="$(grep -Ec '^ *[0-9]+: ' "$work/dump.out" || true)"
    dump_ms="$(spent "$dump_cpu0" "$dump_cpu1")"
    tick_ms="$(spent "$tick_cpu0" "$tick_cpu1")"
    tick_idle="$(percent "$(spent "$tick_idle0" "$tick_cpu0")" "$idle_seconds")"
    dump_idle="$(percent "$(spent "$dump_idle0" "$dump_cpu0")" "$idle_seconds")"

    printf '\n%-46s %s\n' "server" "$server_kind, $(figure sample_rate) frames/s"
    printf '%-46s %s / %s / %s / %s %%\n' \
        "idle CPU: monitor at the tick / direct / dump / server" \
        "$tick_idle" "$(percent "$(spent "$direct_idle0" "$direct_cpu0")" "$idle_seconds")" \
        "$dump_idle" "$(percent "$(spent "$server_idle0" "$server_idle1")" "$idle_seconds")"
    printf '%-46s %s of %s\n' "messages played" "$(figure sent)" "$count"
    printf '%-46s %s\n' "printed by jack_midi_dump" "$dumped"
    printf '%-46s %s\n' "received by a plain libjack client" "${plain_received:-0}"
    printf '%-46s %s / %s / %s\n' "received downstream of thru: tick / direct / plain" \
        "${tick_down:-0}" "${direct_down:-0}" "${thru_down:-0}"
    printf '%-46s %s\n' "jack_midi_dump CPU per message" "$(per "$dump_ms" "$count") us"
    printf '\nthru latency, p50 / p99 (longest)\n'
    for path in direct tick direct-thru; do
        case "$path" in
            direct) label="a direct connection" ;;
            tick) label="thru at the refresh tick" ;;
            *) label="direct thru" ;;
        esac
        printf '  %-44s %s / %s (%s), %s received\n' "$label" "$(ms "${path}_p50_ms")" \
            "$(ms "${path}_p99_ms")" "$(ms "${path}_max_ms")" "$(figure "${path}_received")"
    done

    report "Thru at the refresh tick" "$work/probe.out" "$tick_ms"
    report "Direct thru" "$work/direct.out" "$(spent "$direct_cpu0" "$direct_cpu1")"
    echo
    sed -n 's/^error /the latency probe: /p; s/^\(.*\)_error /path "\1": /p' "$work/latency.out"
    if [ "$dumped" != "$count" ]; then
        echo "(jack_midi_dump missed some: its printing fell behind its own buffer)"
    fi
    if [ "$numbered" = 1 ]; then
        faults() { echo "$(figure "$1_lost")/$(figure "$1_reordered")/$(figure "$1_duplicated")"; }
        overran() { [ "$(value_of "$1" overrun)" = 1 ] && echo yes || echo no; }
        missed() {
            local counted
            counted="$(value_of "$1" counted)"
            echo $((count - ${counted:-0}))
        }
        echo "row $server_kind $period${bufsize:+>$bufsize} $(faults direct) $(faults tick)" \
            "$(faults direct-thru) $(overran "$work/probe.out")/$(overran "$work/direct.out")" \
            "$(figure xruns) $((count - ${plain_received:-0})) $(figure most_in_a_cycle)" \
            "$((count - ${tick_down:-0}))/$((count - ${direct_down:-0}))/$((count - ${thru_down:-0}))" \
            "$(skipped plain)/$(skipped tick-down)/$(skipped direct-down)/$(skipped thru-down)" \
            "$(missed "$work/probe.out")/$(missed "$work/direct.out")"
    fi

    summary+="$(printf '  %-6s %8s us %8s us %8s %10s %% %10s %%' "$page" \
        "$(per "$tick_ms" "$count")" "$(per "$dump_ms" "$count")" "$(ratio "$tick_ms" "$dump_ms")" \
        "$tick_idle" "$dump_idle")"$'\n'

    if [ "$latency_status" != 0 ] || [ "$probe_status" != 0 ] || [ "$direct_status" != 0 ] ||
        [ "$(value_of "$work/probe.out" counted)" != "$count" ] ||
        [ "$(value_of "$work/direct.out" counted)" != "$count" ]; then
        failed+=" $page"
    fi
}

# report LABEL OUT_FILE CPU_MS
report() {
    local out="$2" cpu="$3"
    printf '\n%s\n' "$1"
    printf '  %-44s %s\n' "counted by the monitor" "$(value_of "$out" counted)"
    printf '  %-44s %s\n' "overrun" "$([ "$(value_of "$out" overrun)" = 1 ] && echo yes || echo no)"
    printf '  %-44s %s\n' "longest gap between two drains" "$(value_of "$out" longest_drain_gap_ms) ms"
    printf '  %-44s %s us (%s jack_midi_dump)\n' "monitor CPU per message" "$(per "$cpu" "$count")" \
        "$(ratio "$cpu" "$dump_ms")"
    printf '  %-44s %s\n' "resident memory at start / at end" \
        "$(value_of "$out" rss_kb_ready) kB / $(value_of "$out" rss_kb_end) kB"
    if [ -n "$capture" ]; then
        printf '  %-44s %s bytes\n' "capture file (.$capture)" "$(stat -c %s "${out%.out}.$capture")"
    fi
    if [ "$(value_of "$out" modal_text)" != "-" ]; then
        echo "  The monitor showed: $(value_of "$out" modal_text)"
    fi
}

for page in $pages; do measure "$page"; done

printf '\nSummary on %s, %s messages at %s a second (thru at the tick%s):\n' "$server_kind" \
    "$count" "$rate" "${capture:+, captured to .$capture}"
printf '  %-6s %11s %11s %8s %12s %12s\n' page "monitor" "dump" ratio "idle monitor" "idle dump"
printf '%s' "$summary"
if [ -n "$failed" ]; then
    fail "messages were lost, changed or reordered, or an overrun happened (page:$failed; see above)"
fi
echo "Every message was counted by both monitors and came back exactly on every path."
