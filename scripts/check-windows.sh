#!/usr/bin/env bash
# Compiles every product translation unit for Windows as far as this machine allows: a syntax
# check (-fsyntax-only) with Debian's MinGW-w64 compiler against the system's Qt 6 headers.
# It needs no Qt for Windows, so every test run has it; scripts/windows.sh builds, links and
# packs the programs for real when Qt for Windows is at hand.
#
# The units, their include roots and their -D flags come from the CMake build's
# compile_commands.json (default build/test), so the check follows the build: a new file is
# checked as soon as a library lists it, and a folder still sees only the folders below it.
# Product units are those in app/ link/ params/ scope/ calib/ host/ serial/ store/ chart/
# runtime/ views/ core/ cli/ and the simulator's model, engine, options, RFC 2217 server and
# Windows front end; the test kit, tests, benchmarks, fuzzers, the simulator's pty front end
# and its process helper are left out. A POSIX-only unit (*_posix.cpp) is replaced by its Windows
# counterpart (*_windows.cpp), as the Windows build does.
#
# How the Linux Qt headers are made to read as Windows ones: MinGW-w64 defines _WIN32, and
# qsystemdetection.h derives Q_OS_WIN and Q_CC_MINGW from it, so every Q_OS_WIN branch in Qt's
# headers and ours is taken with no help (QSerialPort::Handle becomes a HANDLE, not an fd).
# What stays Linux is Qt's build configuration (qconfig.h's feature list), which decides
# which Qt classes exist, not which branch a header takes. On top come the defines Qt's
# win32-g++ mkspec gives every program built with it (mkspecs/common/g++-win32.conf: UNICODE
# _UNICODE WIN32 MINGW_HAS_SECURE_API=1), and that mkspec's directory replaces linux-g++'s.
# Qt's export macros become __declspec(dllimport), whose redeclaration warnings inside Qt's
# own headers are kept quiet by including Qt as system headers (-isystem, as CMake does).
# AUTOMOC output (*.moc) may not exist yet: an empty stand-in is found after the real one.
#
# Usage: scripts/check-windows.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/test}"
cxx=x86_64-w64-mingw32-g++-posix
if ! command -v "$cxx" >/dev/null; then
    echo "check-windows: $cxx is missing (package g++-mingw-w64-x86-64-posix)" >&2
    exit 1
fi
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    echo "check-windows: $build is not configured (scripts/setup.sh test does it)" >&2
    exit 1
fi
# A configure pass brings the list of units up to date with the CMake files.
cmake "$build" >/dev/null

# ZEL_JOBS compilers at once (default: every core).
python3 - "$root" "$build/compile_commands.json" "$cxx" "${ZEL_JOBS:-$(nproc)}" <<'EOF'
import concurrent.futures, json, os, re, shlex, subprocess, sys, tempfile

root, commands, cxx, jobs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
folders = ("app", "link", "params", "scope", "calib", "host", "serial", "store", "chart", "runtime",
           "views", "core", "cli")
sim_units = {"model.cpp", "engine.cpp", "cli.cpp", "rfc2217.cpp", "pacer.cpp", "main.cpp"}
windows = ["-DUNICODE", "-D_UNICODE", "-DWIN32", "-DMINGW_HAS_SECURE_API=1"]

units = {}
for entry in json.load(open(commands)):
    src = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    parts = os.path.relpath(src, root).split(os.sep)
    # The simulator's front end on Windows serves TCP alone: main_windows.cpp, with main.cpp's flags.
    if parts == ["sim", "main.cpp"]:
        src = os.path.join(root, "sim", "main_windows.cpp")
    product = len(parts) == 2 and (parts[0] in folders or
                                   (parts[0] == "sim" and parts[1] in sim_units))
    args = shlex.split(entry["command"]) if "command" in entry else entry["arguments"]
    if not product or src in units:
        continue
    # A POSIX-only unit has its Windows counterpart beside it, built in its place there.
    if src.endswith("_posix.cpp"):
        src = src[:-len("_posix.cpp")] + "_windows.cpp"
    flags, i = [], 0
    while i < len(args):
        if args[i] in ("-I", "-isystem", "-D"):
            flags += args[i:i + 2]
            i += 1
        elif args[i].startswith(("-I", "-D")):
            flags.append(args[i])
        i += 1
    units[src] = [f.replace("/mkspecs/linux-g++", "/mkspecs/win32-g++") for f in flags]
if not units:
    sys.exit("check-windows: no product units in " + commands)

with tempfile.TemporaryDirectory() as moc:
    for src in units:
        for name in re.findall(r'#include "([\w.]+\.moc)"', open(src, errors="replace").read()):
            open(os.path.join(moc, name), "w").close()

    def check(src):
        cmd = [cxx, "-fsyntax-only", "-std=c++20", "-Wall", "-Wextra", "-Wshadow", *windows,
               *units[src], "-idirafter", moc, src]
        r = subprocess.run(cmd, capture_output=True, text=True)
        return src, r.returncode, (r.stdout + r.stderr).strip()

    failed = []
    with concurrent.futures.ThreadPoolExecutor(max(1, jobs)) as pool:
        for src, code, text in pool.map(check, sorted(units)):
            if code != 0 or text:
                failed.append(os.path.relpath(src, root))
                print("\n".join(text.splitlines()[:20]), file=sys.stderr)

if failed:
    print("check-windows: %d of %d units do not compile cleanly for Windows:" %
          (len(failed), len(units)), file=sys.stderr)
    for f in failed:
        print("  " + f, file=sys.stderr)
    sys.exit(1)
print("check-windows: %d product units compile for Windows (MinGW-w64, syntax only)" %
      len(units))
EOF
