#!/usr/bin/env bash
# Builds Qt 6.4.2 for 64-bit Windows from the source archives in the third-party folder, with
# Debian's MinGW-w64 (posix threads) and Debian's own Qt 6.4.2 as the host tools: qtbase,
# then Qt Serial Port and Qt Tools' UiTools against it. Shared libraries, Release. About 35
# minutes on 2 cores. scripts/windows.sh calls it when there is no prebuilt archive.
#
# The result is installed into PREFIX and marked complete only once every part is in; a
# failed build leaves no PREFIX behind.
#
# Usage: scripts/build-windows-qt.sh THIRD_PARTY_DIR PREFIX     (ZEL_JOBS: jobs, default 2)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
third="${1:?third-party folder}"
prefix="${2:?install prefix}"
jobs="${ZEL_JOBS:-2}"
v=6.4.2

die() {
    echo "build-windows-qt: $*" >&2
    exit 1
}

for tool in x86_64-w64-mingw32-g++-posix cmake ninja /usr/lib/qt6/libexec/moc; do
    command -v "$tool" >/dev/null ||
        die "$tool is missing (packages g++-mingw-w64-x86-64-posix cmake ninja-build qt6-base-dev-tools)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zel-qt-win.XXXXXX")
partial="$prefix.partial"
trap 'rm -rf "$work" "$partial"' EXIT
rm -rf "$partial"

# The toolchain Qt itself is built with: the project's, which also names the host tools.
toolchain="$root/cmake/mingw-w64.cmake"
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_INSTALL_PREFIX="$partial" -DCMAKE_PREFIX_PATH="$partial"
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake)

unpack() {
    echo "build-windows-qt: unpacking $1"
    mkdir -p "$work/$2"
    tar -xJf "$third/$1" -C "$work/$2" --strip-components=1 || die "$third/$1 could not be unpacked"
}

unpack "qt6-base_$v+dfsg.orig.tar.xz" qtbase
# OpenGL off (and dynamicgl with it: the Windows platform plugin of 6.4.2 does not compile
# otherwise); tablet events off (Debian's source lacks wintab); Qt's bundled third-party
# libraries, since MinGW has none of them.
cmake -S "$work/qtbase" -B "$work/qtbase-build" "${common[@]}" \
    -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_openssl=OFF -DFEATURE_icu=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_doubleconversion=OFF || die "qtbase: configure failed"
nice -n 5 cmake --build "$work/qtbase-build" -j"$jobs" || die "qtbase: build failed"
cmake --install "$work/qtbase-build" >/dev/null || die "qtbase: install failed"

unpack "qtserialport-$v.tar.xz" qtserialport
cmake -S "$work/qtserialport" -B "$work/qtserialport-build" "${common[@]}" ||
    die "qtserialport: configure failed"
nice -n 5 cmake --build "$work/qtserialport-build" -j"$jobs" || die "qtserialport: build failed"
cmake --install "$work/qtserialport-build" >/dev/null || die "qtserialport: install failed"

# Of Qt Tools only UiTools: every tool switched off.
unpack "qttools-$v.tar.xz" qttools
tools_off=()
for t in assistant designer linguist pixeltool qtdiag qtplugininfo qtattributionsscanner \
         distancefieldgenerator qdbus clang kmap2qmap qev; do
    tools_off+=("-DFEATURE_$t=OFF")
done
cmake -S "$work/qttools" -B "$work/qttools-build" "${common[@]}" "${tools_off[@]}" ||
    die "qttools: configure failed"
nice -n 5 cmake --build "$work/qttools-build" -j"$jobs" || die "qttools: build failed"
cmake --install "$work/qttools-build" >/dev/null || die "qttools: install failed"

[[ -f "$partial/lib/cmake/Qt6UiTools/Qt6UiToolsConfig.cmake" ]] ||
    die "UiTools is missing from the result"
echo source >"$partial/.zel-complete"
rm -rf "$prefix"
mv "$partial" "$prefix"
echo "build-windows-qt: Qt $v for Windows in $prefix"
