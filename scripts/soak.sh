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

bash scripts/deps.sh test
source scripts/lib/release.sh
release_build "$build" ON load_probe tamblin-send >/dev/null
script=soak
source scripts/lib/stream.sh

rss_kb() { sed -n "s/^VmRSS:[[:space:]]*\([0-9]*\) kB$/\1/p" "/proc/$1/status" 2>/dev/null || true; }

start_stream 7 2000 300 5 10
flock -u 9
sed -n 's/^ready //p' "$work/probe.out"
echo "Playing $count messages at $rate per second for $minutes minutes..."

sleep 2  # the sender's delay
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

# shellcheck disable=SC2119 # nothing to do before the probe ends
wait_stream
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

# shellcheck disable=SC2015 # fail ends the script
[ "$sender_status" = 0 ] && [ "$receiver_status" = 0 ] && [ "$probe_status" = 0 ] &&
    [ "${received:-0}" = "$count" ] && [ "${counted:-0}" = "$count" ] ||
    fail "messages were lost or an overrun happened (see above)"
[ "$largest" -le "$allowed_kb" ] ||
    fail "resident memory grew by $largest kB after the first minute (allowed: $allowed_kb kB)"
echo "Every message was counted and forwarded; memory held steady."
