#!/usr/bin/env bash
# Installs what is missing, builds a release build and starts the monitor.
#
# On a machine with no MIDI system (no ALSA sequencer, no JACK server to reach) it starts a
# private JACK server with the dummy driver and the companion sender's demo phrase, so the monitor
# opens on the demo source. Without a display it runs the window on Xvfb and keeps writing a
# screenshot to a PNG. Whatever it started ends with the monitor, or when the script is stopped.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/deps.sh run
source scripts/lib/release.sh
# The whole tree, as the README's install step expects it.
release_build build-release OFF
monitor="$root/build-release/src/app/tamblin"
sender="$root/build-release/tools/tamblin-send"
shooter="$root/build-release/tools/tamblin-shot"

server="" jackd_pid="" xvfb_pid="" monitor_pid=""
clients=()  # started here and using the JACK server or the display

# end PID SECONDS: asks PID to end and waits for it, at most SECONDS.
# shellcheck disable=SC2317 # runs from the EXIT trap
end() {
    kill -TERM "$1" 2>/dev/null || return 0
    for _ in $(seq $(($2 * 10))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
    return 1
}

# shellcheck disable=SC2317 # runs from the EXIT trap
cleanup() {
    set +e
    trap '' INT TERM
    # The clients go first. A client that was killed stalls a synchronous JACK server for its
    # timeout of a few seconds, so the others may take that long to close.
    for pid in "$monitor_pid" "${clients[@]}"; do [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null; done
    for pid in "$monitor_pid" "${clients[@]}"; do
        [ -n "$pid" ] && { end "$pid" 15 || kill -KILL "$pid" 2>/dev/null; }
    done
    # jackd runs in a session of its own, so stopping the script's process group does not reach
    # it. It is stopped only once it has let go of every client: one stopped while it still waits
    # for a killed client, or killed outright, keeps its place in JACK's registry, which holds eight.
    if [ -n "$jackd_pid" ]; then
        for _ in $(seq 50); do
            timeout 5 jack_lsp 2>/dev/null | grep -Eq '^(Tamblin|tamblin-send)' || break
            sleep 0.2
        done
    fi
    if [ -n "$jackd_pid" ] && ! end "$jackd_pid" 20; then
        echo "jackd ($jackd_pid) is still stopping." >&2
    else
        [ -n "$server" ] && rm -f /dev/shm/jack_"$server"_* /dev/shm/jack_sem.*_"$server"_* /tmp/"$server".log
    fi
    [ -n "$xvfb_pid" ] && { end "$xvfb_pid" 5 || kill -KILL "$xvfb_pid" 2>/dev/null; }
}
trap cleanup EXIT
trap 'exit 130' INT TERM

has_midi_system() {
    [ -r /dev/snd/seq ] && return 0
    JACK_NO_START_SERVER=1 timeout 5 jack_lsp >/dev/null 2>&1 && return 0
    return 1
}

if ! has_midi_system; then
    server="tamblin-demo-$$"
    jackd -S -n "$server" --no-realtime -d dummy -r 48000 -p 256 >/tmp/"$server".log 2>&1 &
    jackd_pid=$!
    export JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1
    for _ in $(seq 100); do jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done
    "$sender" --api jack --demo --loop >/dev/null 2>&1 &
    clients+=($!)
    for _ in $(seq 100); do jack_lsp 2>/dev/null | grep -q '^tamblin-send:' && break; sleep 0.1; done
    echo "No MIDI system found: playing the demo phrase into Tamblin through a private JACK server ($server)."
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    # Xvfb picks a free display number itself and writes it out once it accepts clients.
    numberfile="$(mktemp)"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$numberfile" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$numberfile" ] && break; sleep 0.1; done
    number="$(head -n 1 "$numberfile")"
    rm -f "$numberfile"
    if [ -z "$number" ]; then
        echo "Xvfb did not start." >&2
        exit 1
    fi
    export DISPLAY=":$number"
    shot="${TMPDIR:-/tmp}/tamblin-screen.png"
    # Another user's screenshot there cannot be replaced (nor removed, in a sticky /tmp).
    if [ -e "$shot" ] && [ ! -w "$shot" ]; then
        shot="${TMPDIR:-/tmp}/tamblin-screen-$(id -un).png"
    fi
    QT_QPA_PLATFORM=xcb "$shooter" --every 3 "$shot" >/dev/null 2>&1 &
    clients+=($!)
    echo "No display: running on Xvfb $DISPLAY; a screenshot is written to $shot every 3 seconds."
fi

"$monitor" &
monitor_pid=$!
status=0
wait "$monitor_pid" || status=$?
monitor_pid=""
exit "$status"
