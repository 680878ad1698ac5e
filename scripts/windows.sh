#!/usr/bin/env bash
# Builds the programs for 64-bit Windows and packs them: build/windows/zel-vavod-<version>-win64.zip
# (unzip anywhere and run) and build/windows/zel-vavod-<version>-win64-setup.exe (installer).
#
# Qt for Windows comes from the third-party folder ($ZEL_THIRD_PARTY, else ../shared/third-party
# beside the repository): the prebuilt qt-6.4.2-mingw-w64.tar.xz, checked against SHA256SUMS
# and unpacked into a cache outside the tree ($ZEL_CACHE, else ~/.cache/zel-vavod); without
# it, Qt is built there from the source archives by scripts/build-windows-qt.sh (about 35
# minutes on 2 cores, once). The compiler is Debian's MinGW-w64 (posix threads), the
# installer Debian's NSIS; run as root, the script installs them when missing.
#
# Usage: scripts/windows.sh     (ZEL_JOBS: parallel compile jobs, default 2)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
third="${ZEL_THIRD_PARTY:-$root/../shared/third-party}"
cache="${ZEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zel-vavod}"
out="$root/build/windows"
jobs="${ZEL_JOBS:-2}"
qt_version=6.4.2
prebuilt=qt-$qt_version-mingw-w64.tar.xz
qt="$cache/qt-$qt_version-mingw-w64"

die() {
    echo "windows.sh: $*" >&2
    exit 1
}

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix nsis zip
          qt6-base-dev qt6-base-dev-tools qt6-tools-dev-tools qt6-serialport-dev qt6-tools-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        die "missing packages; as root run: apt-get install -y --no-install-recommends ${missing[*]}"
    fi
    apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
        die "apt-get could not install ${missing[*]}"
fi

# Old packages go first, so that whatever stops this run, only what it made is ever left in
# build/windows/.
version=$(sed -n 's/^project(ZelVavod VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
zip="$out/zel-vavod-$version-win64.zip"
setup="$out/zel-vavod-$version-win64-setup.exe"
rm -f "$zip" "$setup"

# The checksum SHA256SUMS gives for an archive; dies naming it when it does not match.
verify() {
    local file="$1" want have
    [[ -f "$third/$file" ]] || die "$third/$file is missing: copy it from the project's third-party folder (or set ZEL_THIRD_PARTY)"
    [[ -f "$third/SHA256SUMS" ]] || die "$third/SHA256SUMS is missing: copy it with the archives"
    want=$(awk -v f="$file" '$2 == f || $2 == "*" f {print $1}' "$third/SHA256SUMS")
    [[ -n "$want" ]] || die "$file is not listed in $third/SHA256SUMS: copy both from the same release"
    have=$(sha256sum "$third/$file" | cut -d' ' -f1)
    [[ "$have" == "$want" ]] || die "$third/$file is corrupt (SHA256 $have, expected $want): copy it again"
    echo "$want"
}

# Qt for Windows in the cache, marked complete only once whole; a stamp holds the checksum of
# what it came from, so a changed archive is unpacked again.
mkdir -p "$cache"
if [[ -f "$third/$prebuilt" ]]; then
    sum=$(verify "$prebuilt")
    if [[ "$(cat "$qt/.zel-complete" 2>/dev/null)" != "$sum" ]]; then
        echo "windows.sh: unpacking $prebuilt into $qt"
        tmp=$(mktemp -d "$cache/unpack.XXXXXX")
        trap 'rm -rf "$tmp"' EXIT
        tar -xJf "$third/$prebuilt" -C "$tmp" || die "$third/$prebuilt could not be unpacked: copy it again"
        [[ -f "$tmp/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake" ]] ||
            die "$third/$prebuilt does not hold qt6-mingw/: copy the archive again"
        echo "$sum" >"$tmp/qt6-mingw/.zel-complete"
        rm -rf "$qt"
        mv "$tmp/qt6-mingw" "$qt"
        rm -rf "$tmp"
        trap - EXIT
    fi
elif [[ ! -f "$qt/.zel-complete" ]]; then
    [[ -f "$third/qt6-base_$qt_version+dfsg.orig.tar.xz" ]] ||
        die "no Qt for Windows: $third holds neither $prebuilt nor the Qt sources; copy the project's third-party folder there (or set ZEL_THIRD_PARTY)"
    for a in qt6-base_$qt_version+dfsg.orig.tar.xz qtserialport-$qt_version.tar.xz qttools-$qt_version.tar.xz; do
        verify "$a" >/dev/null
    done
    echo "windows.sh: no $prebuilt; building Qt for Windows from the sources (about 35 minutes)"
    "$root/scripts/build-windows-qt.sh" "$third" "$qt"
fi

# The programs, then the zip and the installer.
cmake -S "$root" -B "$out/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" \
    -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_TESTS=OFF >/dev/null ||
    die "configuring the Windows build failed (see the lines above)"
nice -n 5 cmake --build "$out/build" -j"$jobs" || die "the Windows build failed (see the lines above)"
(cd "$out/build" && cpack -C Release -B "$out/cpack" >/dev/null) ||
    die "packing failed: cpack -C Release in $out/build shows why"
mv "$out/cpack/zel-vavod-$version-win64.zip" "$zip"
mv "$out/cpack/zel-vavod-$version-win64-setup.exe" "$setup"
rm -rf "$out/cpack"
echo "$zip"
echo "$setup"
