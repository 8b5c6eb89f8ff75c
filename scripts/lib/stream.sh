# shellcheck shell=bash disable=SC2034,SC2154 # variables set and read by the sourcing script
# Shared by scripts/load.sh and scripts/soak.sh: a private MIDI server (start_server), and on it
# the companion sender as the only input device and a counting receiver as the only output
# device, for the monitor probe (bench/load_probe.cpp) to open without asking (start_stream).
# Set before sourcing: script (name for messages), build (build directory), count, rate,
# seconds, server_kind: jackd (the default) or pipewire, and optionally period, the frames a
# cycle (256).

sender_bin="$build/tools/tamblin-send"
probe_bin="$build/bench/load_probe"
work="$(mktemp -d)"
server="tamblin-$script-$$"
server_kind="${server_kind:-jackd}"
period="${period:-256}"
export JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1

server_pid="" receiver_pid="" sender_pid="" probe_pid="" dump_pid="" latency_pid=""
# Exit statuses, set by reap once each has ended.
receiver_status="" sender_status="" probe_status="" latency_status=""
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
    stop "$latency_pid" TERM
    stop "$sender_pid" TERM
    stop "$receiver_pid" TERM
    stop "$server_pid" TERM
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "$script.sh: $*" >&2
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
value() { sed -n "s/^$1 //p" "$work/probe.out"; }

# Starts the server, $period frames a cycle at 48,000 frames a second, and points every client
# this script starts at it, unless this script already did. Takes the machine's JACK test lock first:
# release it (flock -u 9) once the clients are open.
#   jackd:    jackd -S with the dummy driver.
#   pipewire: a private pipewire daemon (stock configuration, dummy driver, no D-Bus, no session
#             manager) in a runtime folder of its own; the clients load PipeWire's libjack, as
#             under pw-jack, and ask for the quantum through PIPEWIRE_QUANTUM.
start_server() {
    [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null && return 0
    # libjack names a client's socket after the client alone, whatever its server: while this
    # script opens its clients, the JACK tests of this machine must not open theirs, which have
    # the same names (tests/support/MidiServer.cpp takes the same lock).
    exec 9>>"${TMPDIR:-/tmp}/tamblin-jack-tests.lock"
    flock 9

    case "$server_kind" in
        jackd)
            jackd -S -n "$server" --no-realtime -d dummy -r 48000 -p "$period" \
                >"$work/server.log" 2>&1 &
            server_pid=$!
            ;;
        pipewire)
            local runtime="$work/runtime"
            mkdir -m 0700 "$runtime"
            mkdir -p "$runtime/config/pipewire/pipewire.conf.d"
            # Periods up to 4,096 frames, above PipeWire's default limit of 2,048.
            printf 'context.properties = { support.dbus = false %s %s }\n' \
                "default.clock.quantum = $period default.clock.min-quantum = 16" \
                "default.clock.max-quantum = 8192" \
                >"$runtime/config/pipewire/pipewire.conf.d/no-dbus.conf"
            env -u DISPLAY -u WAYLAND_DISPLAY -u PIPEWIRE_CONFIG_DIR -u PIPEWIRE_CONFIG_NAME \
                XDG_CONFIG_HOME="$runtime/config" XDG_RUNTIME_DIR="$runtime" \
                PIPEWIRE_RUNTIME_DIR="$runtime" PIPEWIRE_CORE="$server" \
                pipewire >"$work/server.log" 2>&1 </dev/null &
            server_pid=$!
            export XDG_RUNTIME_DIR="$runtime" PIPEWIRE_RUNTIME_DIR="$runtime"
            export PIPEWIRE_REMOTE="$server" PIPEWIRE_QUANTUM="$period/48000"
            # PipeWire's libjack (0.3) turns a note on of velocity 0 into a note off in the
            # sender's buffer itself, for each reader that has not set jack.fix-midi-events to
            # false: such a reader changes what the readers after it in the cycle get.
            # jack_midi_dump is one, unless told.
            export PIPEWIRE_PROPS='{ jack.fix-midi-events=false }'
            # As pw-jack does: the dynamic loader fills in $LIB.
            # shellcheck disable=SC2016
            export LD_LIBRARY_PATH='/usr/${LIB}/pipewire-0.3/jack'"${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
            ;;
        *) fail "no such server: $server_kind" ;;
    esac
    until_ok 10 jack_lsp >/dev/null 2>&1 ||
        fail "$server_kind did not start: $(cat "$work/server.log")"
}

# Whether the server carries data on every connection yet. jackd -S takes a connection up before
# any client's next cycle; PipeWire negotiates each link with both clients first, and a link
# shows in the graph before it is "active".
connections_settled() {
    [ "$server_kind" = pipewire ] || return 0
    local dump
    dump="$(pw-dump -r "$server" 2>/dev/null)" || return 1
    ! grep -Eq '"state": "(unlinked|init|negotiating|allocating|paused)"' <<<"$dump"
}

# start_stream SEED DELAY_MS SLACK_SECONDS LINGER IDLE: starts the server, the receiver, the
# sender (which waits for the monitor's connection, then DELAY_MS) and the monitor probe, which
# is given $probe_options too.
start_stream() {
    local seed="$1" delay_ms="$2" slack="$3" linger="$4" idle="$5"
    start_server

    "$sender_bin" --api jack --receive --count --expect "$count" --timeout $((seconds + slack)) \
        >"$work/received" 2>"$work/receiver.log" &
    receiver_pid=$!
    until_ok 10 port_exists '^tamblin-send:in$' || fail "the receiver's port did not appear"

    "$sender_bin" --api jack --stream "$count" --rate "$rate" --seed "$seed" \
        --wait-connection 120 --delay "$delay_ms" >"$work/sender.log" 2>&1 &
    sender_pid=$!
    until_ok 10 port_exists '^tamblin-send-[0-9]+:out$' || fail "the sender's port did not appear"

    # shellcheck disable=SC2086  # the options are words
    QT_QPA_PLATFORM=offscreen "$probe_bin" --expect "$count" --linger "$linger" --idle "$idle" \
        --timeout $((seconds + slack)) ${probe_options:-} >"$work/probe.out" 2>"$work/probe.log" &
    probe_pid=$!
    until_ok 30 grep -q '^ready ' "$work/probe.out" ||
        fail "the monitor did not start: $(cat "$work/probe.out" "$work/probe.log")"
}

# reap NAME: waits for the process whose PID is in NAME_pid, sets NAME_status to its exit status
# and empties NAME_pid.
reap() {
    local pid_variable="$1_pid" status=0
    wait "${!pid_variable}" || status=$?
    printf -v "$1_status" '%s' "$status"
    printf -v "$pid_variable" '%s' ""
}

# Waits for the sender, the receiver and the probe; sets their *_status.
wait_stream() {
    reap sender
    reap receiver
    "$@"  # what to do before the probe ends (load.sh reads CPU times here)
    reap probe
}
