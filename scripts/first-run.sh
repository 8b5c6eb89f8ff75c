#!/usr/bin/env bash
# Measures what a new user meets: the time from a fresh clone on a Debian 12 machine with none of
# the packages to the monitor's window showing the demo's traffic, through the README's first
# command (bash scripts/run.sh) run as root. Run by hand, as root, never in CI: it builds a
# minimal Debian 12 system with debootstrap in a folder, copies a clone of this repository's
# HEAD into it, and runs the command there, in a chroot with /proc, /dev/shm and /dev/pts
# mounted. It prints the seconds from the start of the command to the first screenshot with
# notes on the grid, and leaves the screenshot beside the folder.
#
# Usage: scripts/first-run.sh [FOLDER]   (default /srv/tamblin-first-run; made anew each time)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
target="${1:-/srv/tamblin-first-run}"
limit=1800  # seconds the whole command may take

if [ "$(id -u)" -ne 0 ]; then
    echo "first-run.sh: debootstrap and chroot need root" >&2
    exit 2
fi
command -v debootstrap >/dev/null ||
    env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap

mounted=()
cleanup() {
    set +e
    [ -n "${runner:-}" ] && kill -TERM "$runner" 2>/dev/null && wait "$runner" 2>/dev/null
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}"; done
}
trap cleanup EXIT

rm -rf "$target"
echo "Building a minimal Debian 12 system in $target..."
debootstrap --variant=minbase bookworm "$target" http://deb.debian.org/debian >/dev/null
mount -t proc proc "$target/proc" && mounted+=("$target/proc")
mount -t tmpfs -o mode=1777 shm "$target/dev/shm" && mounted+=("$target/dev/shm")
mkdir -p "$target/dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$target/dev/pts" && mounted+=("$target/dev/pts")
cp /etc/resolv.conf "$target/etc/resolv.conf"

# A fresh clone: what is committed, nothing else.
git clone -q "$root" "$target/root/tamblin"
rm -f "$target/tmp/tamblin-screen.png"

start=$(date +%s.%N)
chroot "$target" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb \
    bash -c 'cd /root/tamblin && exec bash scripts/run.sh' >"$target.log" 2>&1 &
runner=$!

# The first screenshot with a cell of a sounding note: the note-on colour (250, 0, 0).
shot="$target/tmp/tamblin-screen.png"
while :; do
    if ! kill -0 "$runner" 2>/dev/null; then
        echo "first-run.sh: scripts/run.sh ended early; see $target.log" >&2
        exit 1
    fi
    now=$(date +%s.%N)
    if awk -v a="$start" -v b="$now" -v l="$limit" 'BEGIN { exit !(b - a > l) }'; then
        echo "first-run.sh: no window with notes after $limit s; see $target.log" >&2
        exit 1
    fi
    if [ -s "$shot" ] && python3 - "$shot" <<'EOF'; then
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
chunks, at = {}, 8
while at < len(data):
    length, kind = struct.unpack(">I4s", data[at:at + 8])
    chunks.setdefault(kind, b"")
    chunks[kind] += data[at + 8:at + 8 + length]
    at += 12 + length
width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
step = {2: 3, 6: 4}[colour]
raw, stride = zlib.decompress(chunks[b"IDAT"]), width * step
rows, prev, at = [], bytearray(stride), 0
for _ in range(height):
    kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
    at += 1 + stride
    for i in range(stride):
        left = line[i - step] if i >= step else 0
        up, corner = prev[i], prev[i - step] if i >= step else 0
        if kind == 1: line[i] = (line[i] + left) & 255
        elif kind == 2: line[i] = (line[i] + up) & 255
        elif kind == 3: line[i] = (line[i] + (left + up) // 2) & 255
        elif kind == 4:
            p = left + up - corner
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
            line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
    rows.append(line)
    prev = line
sys.exit(0 if any(r[i:i + 3] == b"\xfa\x00\x00" for r in rows for i in range(0, stride, step)) else 1)
EOF
        break
    fi
    sleep 0.5
done
end=$(date +%s.%N)
cp "$shot" "$target-screen.png"
awk -v a="$start" -v b="$end" 'BEGIN { printf "From the command to a window with the demo'"'"'s notes: %.0f s\n", b - a }'
grep -E '^(Installing|No MIDI system|No display)' "$target.log" || true
echo "Screenshot: $target-screen.png; the command's output: $target.log"
