#!/usr/bin/env bash
# Installs what is missing, builds a release build and starts the monitor.
#
# On a machine with no MIDI system (no ALSA sequencer, no JACK server to reach) it starts a
# private JACK server with the dummy driver and the companion sender's demo phrase, so the monitor
# opens on the demo source. Without a display it runs the window on Xvfb and keeps writing a
# screenshot to a PNG.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMBLIN_TESTS=OFF \
    -DTAMBLIN_BENCH=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target tamblin tamblin-send tamblin-shot
monitor="$root/build-release/src/app/tamblin"
sender="$root/build-release/tools/tamblin-send"
shooter="$root/build-release/tools/tamblin-shot"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

has_midi_system() {
    [ -r /dev/snd/seq ] && return 0
    JACK_NO_START_SERVER=1 timeout 5 jack_lsp >/dev/null 2>&1 && return 0
    return 1
}

if ! has_midi_system; then
    server="tamblin-demo-$$"
    jackd -S -n "$server" --no-realtime -d dummy -r 48000 -p 256 >/tmp/"$server".log 2>&1 &
    pids+=($!)
    export JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1
    for _ in $(seq 100); do jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done
    "$sender" --api jack --demo --loop >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do jack_lsp 2>/dev/null | grep -q '^tamblin-send:' && break; sleep 0.1; done
    echo "No MIDI system found: playing the demo phrase into Tamblin through a private JACK server ($server)."
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    display=":$((90 + RANDOM % 100))"
    Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY="$display"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
    shot="${TMPDIR:-/tmp}/tamblin-screen.png"
    QT_QPA_PLATFORM=xcb "$shooter" --every 3 "$shot" >/dev/null 2>&1 &
    pids+=($!)
    echo "No display: running on Xvfb $display; a screenshot is written to $shot every 3 seconds."
fi

"$monitor"
