#!/usr/bin/env bash
# Installs the Debian packages Tamblin needs to build, test and run. Safe to run again: it only
# calls apt-get when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev libgl-dev
    librtmidi-dev libasound2-dev
    jackd2 libjack-jackd2-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang libclang-rt-14-dev
    xvfb xauth
    fonts-dejavu-core fonts-liberation2
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    echo "Installing: ${missing[*]}"
    # jackd2 asks about real-time priority unless told not to ask.
    export DEBIAN_FRONTEND=noninteractive
    $sudo -E apt-get update -q
    $sudo -E apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
