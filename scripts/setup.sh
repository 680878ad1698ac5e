#!/usr/bin/env bash
# Installs what the build needs on Debian 12 and configures the named CMake preset.
# Usage: scripts/setup.sh PRESET [--bench]
#   --bench: also the chart engines the scope's chart is measured against (bench/run)
set -euo pipefail
preset="${1:?preset}"
bench="${2:-}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(cmake ninja-build g++ pkg-config
          qt6-base-dev qt6-serialport-dev qt6-tools-dev qt6-tools-dev-tools
          libqt6opengl6-dev libxkbcommon-dev libgl-dev
          libgtest-dev libgmock-dev
          xvfb xauth xdotool imagemagick
          python3 dpkg-dev desktop-file-utils)
# The test build also checks the formatting, compiles the product for Windows (MinGW-w64,
# syntax only), runs the fuzzers (clang with libFuzzer) and checks the RFC 2217 client
# against pyserial's server side, and listens to the window through a real screen reader
# (Orca on a private D-Bus session and accessibility bus; speech is read from its log, so no
# synthesiser or sound card is needed).
if [[ "$preset" == test ]]; then
    packages+=(clang-format clang libclang-rt-14-dev python3-serial g++-mingw-w64-x86-64-posix
               orca at-spi2-core dbus-daemon)
fi
if [[ "$bench" == --bench ]]; then
    packages+=(qt6-charts-dev libqcustomplot-dev libqcustomplot2.1-qt6)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    line="apt-get install -y --no-install-recommends ${missing[*]}"
    if [[ $(id -u) -ne 0 ]]; then
        echo "Missing packages. Run as root: apt-get update && $line" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cd "$root"
if [[ ! -f "build/$preset/build.ninja" ]]; then
    cmake --preset "$preset" >/dev/null
fi
