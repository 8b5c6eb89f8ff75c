#!/usr/bin/env bash
# Installs the Debian packages Tamblin needs, and only those that are missing; safe to run again.
#
# Usage: scripts/deps.sh [run|test]
#   run   what building and running the monitor need (the default)
#   test  that, and the tools the test command uses: GoogleTest, Benchmark, clang for the fuzzers,
#         ccache to keep compiled objects from one run to the next,
#         PipeWire for its JACK tests, the validators and packaging tools, shellcheck, groff, and
#         a D-Bus session bus with AT-SPI and pyatspi to read the window as a screen reader does,
#         and python3-mido to read the capture files back
#
# As root it calls apt-get directly; as a user, through sudo. The environment goes through `env`
# rather than `sudo -E`, which sudoers may refuse.
set -euo pipefail

run_packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev libxcb1-dev
    librtmidi-dev libasound2-dev
    jackd2 libjack-jackd2-dev
    xvfb xauth
    fonts-dejavu-core fonts-liberation2
)
test_packages=(
    git ccache
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    pipewire pipewire-jack pipewire-bin
    desktop-file-utils appstream dpkg-dev file
    shellcheck groff-base
    dbus-daemon dbus-bin at-spi2-core python3-pyatspi
    python3-mido
)

case "${1:-run}" in
    run) packages=("${run_packages[@]}") ;;
    test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
    *)
        echo "usage: scripts/deps.sh [run|test]" >&2
        exit 2
        ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
((${#missing[@]})) || exit 0

# jackd2 asks about real-time priority unless told not to ask.
apt=(env DEBIAN_FRONTEND=noninteractive apt-get)
if [ "$(id -u)" -ne 0 ]; then apt=(sudo "${apt[@]}"); fi
echo "Installing: ${missing[*]}"
"${apt[@]}" update -q
"${apt[@]}" install -y -q --no-install-recommends "${missing[@]}"
