#!/usr/bin/env bash
# Runs the Windows programs under Wine against the Linux simulator and checks what they say:
# the command-line tool's info, get, send, teach, scope and flash on a COM port that Wine maps
# to the simulator's pseudo-terminal and over tcp://, also against the Windows simulator; the
# window on Xvfb, its start-up exchange and what it shows (and a screenshot); the installer,
# silent, and the installed program. Prints the count of checks; exit 1 if any failed.
#
# Needs build/windows/zel-vavod-<version>-win64.zip and -setup.exe (scripts/windows.sh) and
# the Linux simulator (built in build/release when missing). Run as root, it installs Debian's
# wine, wine64, xvfb and imagemagick when they are missing.
#
# Usage: scripts/wine-check.sh [--screenshot FILE.png]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/windows"
shot=""
if [[ "${1:-}" == --screenshot ]]; then
    shot="${2:?--screenshot needs a file}"
    [[ "$shot" == /* ]] || shot="$PWD/$shot"
fi

die() {
    echo "wine-check: $*" >&2
    exit 1
}

version=$(sed -n 's/^project(ZelVavod VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
zip="$out/zel-vavod-$version-win64.zip"
setup="$out/zel-vavod-$version-win64-setup.exe"
[[ -f "$zip" && -f "$setup" ]] || die "no Windows build in $out: run scripts/windows.sh first"

packages=(wine wine64 xvfb xauth imagemagick unzip)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    [[ $(id -u) -eq 0 ]] || die "missing packages; as root run: apt-get install -y --no-install-recommends ${missing[*]}"
    apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
        die "apt-get could not install ${missing[*]}"
fi

sim="$root/build/release/bin/zel-sensor-sim"
if [[ ! -x "$sim" ]]; then
    [[ -f "$root/build/release/CMakeCache.txt" ]] || cmake --preset release -S "$root" >/dev/null
    nice -n 5 cmake --build "$root/build/release" --target zel-sensor-sim -j"${ZEL_JOBS:-2}" >/dev/null ||
        die "the Linux simulator did not build (cmake --build build/release --target zel-sensor-sim)"
fi

work=$(mktemp -d /tmp/zel-wine.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
    done
    WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    for p in "${pids[@]}"; do
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# The X server for the window. Every Wine program sees it: the prefix's desktop process, which
# the first program starts, must have it for the window to appear.
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
sleep 1
# A fresh prefix; no Mono or Gecko installer dialogs (nothing here uses .NET or HTML).
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1 || die "wineboot could not make a Wine prefix in $WINEPREFIX"
unzip -q "$zip" -d "$work"
app="$work/zel-vavod-$version-win64"
cd "$app"

passed=0
failed=0
# check NAME EXPECTED-TEXT OUTPUT: passes when OUTPUT holds EXPECTED-TEXT.
check() {
    if [[ "$3" == *"$2"* ]]; then
        passed=$((passed + 1))
        echo "  ok    $1"
    else
        failed=$((failed + 1))
        echo "  FAIL  $1: expected \"$2\" in:"
        printf '%s\n' "$3" | head -8 | sed 's/^/          /'
    fi
}
# Runs a Windows program with a time-out: its stdout and stderr together, then "[exit N]".
win() {
    local rc=0
    timeout 120 wine "$@" >"$work/win.out" 2>&1 || rc=$?
    tr -d '\r' <"$work/win.out"
    echo "[exit $rc]"
}
# Starts the Linux simulator with the given options; its first line (the terminal or the
# address) goes to the named variable.
start_sim() {
    local var="$1" log="$work/sim$RANDOM.out"
    shift
    "$sim" "$@" >"$log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        [[ -s "$log" ]] && break
        sleep 0.05
    done
    printf -v "$var" '%s' "$(head -1 "$log")"
    [[ -n "${!var}" ]] || die "the simulator did not start: $(cat "$log")"
}

# The sensor on a pseudo-terminal, mapped to COM7; Wine reads its port map at start. COM12
# too (reached as \\.\COM12) and COM200, for the port numbers past 9 and the names past 255.
sensor_pid=""
sensor_on_com_ports() {
    start_sim pty --hw 400 --firmware "V2.0-W" --state "$work/sensor.state"
    sensor_pid=${pids[-1]}
    for com in COM7 COM12 COM200; do
        wine reg add 'HKLM\Software\Wine\Ports' /v $com /t REG_SZ /d "$pty" /f >/dev/null 2>&1
    done
    wineserver -k
}
sensor_on_com_ports

echo "wine-check: command line on COM7 (the simulator's $pty)"
r=$(win zel-vavod-cli.exe info --port 7 --json)
check "info --port 7 --json: line" '"line":"Echo Check - Line Ok!"' "$r"
check "info: hardware type" '"hardware":400' "$r"
check "info: firmware text" '"firmware":"V2.0-W"' "$r"
r=$(win zel-vavod-cli.exe get --port 7 --from ram)
check "get --from ram" "512  Reference CHA" "$r"
r=$(win zel-vavod-cli.exe send --port 7 --to eeprom --set 1=600 --set 3=42)
check "send --to eeprom --set" "[exit 0]" "$r"
r=$(win zel-vavod-cli.exe get --port 7 --from eeprom --json)
check "get --from eeprom shows what was sent" '"index":1,"value":600' "$r"
printf '500\n700\n512\n100\n100\n10\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n' >"$work/set.cfg"
r=$(win zel-vavod-cli.exe send --port 7 --to ram 'Z:'"${work//\//\\}"'\set.cfg')
check "send FILE --to ram" "[exit 0]" "$r"
r=$(win zel-vavod-cli.exe get --port 7 --from ram --json)
check "send FILE (a Windows path) --to ram" '"index":1,"value":700' "$r"
r=$(win zel-vavod-cli.exe teach a --port 7 --json)
check "teach a" "[exit 0]" "$r"
check "teach a: the words read back" '"name":"referenceA"' "$r"
r=$(win zel-vavod-cli.exe scope --port 7 --samples 20)
check "scope --samples 20: CSV header" "t_s,raw_a,raw_b" "$r"
rows=$(printf '%s\n' "$r" | grep -c '^[0-9.]*,' || true)
check "scope: 20 rows" "rows=20" "rows=$rows"
{
    printf '[HEADER]\nH1\t7\nH2\t8\nH3\t1.5\nH4\t9\nH5\t10\n[XFLASH]\n'
    seq 0 1023
} >"$work/cal-a.dat"
r=$(win zel-vavod-cli.exe flash --port 7 --cha 'Z:'"${work//\//\\}"'\cal-a.dat' --json)
check "flash --cha FILE" '"ok":true' "$r"

check "history in %APPDATA%\\zel-vavod" "history.json" \
    "$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Roaming/zel-vavod/*' -name history.json 2>/dev/null)"
# Ctrl-C (Wine turns SIGINT into the console's Ctrl-C event) ends an endless scope the
# tool's own way: the rows so far, the summary, exit 0.
wine zel-vavod-cli.exe scope --port 7 >"$work/scope.out" 2>&1 &
scope=$!
for _ in $(seq 100); do
    [[ $(grep -c '^[0-9.]*,' "$work/scope.out" 2>/dev/null) -ge 5 ]] && break
    sleep 0.1
done
kill -INT "$scope" 2>/dev/null || true
rc=0
wait "$scope" || rc=$?
check "Ctrl-C ends scope with its summary" "samples in" "$(tr -d '\r' <"$work/scope.out")"
check "Ctrl-C: exit 0" "exit 0" "exit $rc"
# The sensor answered the request Ctrl-C interrupted after the tool had closed the port. A
# real port discards what arrives while it is closed; a pseudo-terminal keeps it for the next
# program, so the next checks get a fresh line (the sensor's state carries over).
kill -INT "$sensor_pid" 2>/dev/null || true
wait "$sensor_pid" 2>/dev/null || true
sensor_on_com_ports

echo "wine-check: command line over tcp://"
start_sim tcp --tcp 127.0.0.1:0 --firmware "V2.0-T"
r=$(win zel-vavod-cli.exe info --com 1="$tcp" --port 1 --json)
check "info over $tcp" '"firmware":"V2.0-T"' "$r"
r=$(win zel-vavod-cli.exe scope --com 1="$tcp" --port 1 --samples 10)
check "scope over tcp://" "t_s,raw_a,raw_b" "$r"

echo "wine-check: the Windows simulator (TCP)"
r=$(win zel-sensor-sim.exe --link x 2>&1)
check "zel-sensor-sim.exe without --tcp says what it serves" "TCP port only" "$r"
simlog="$work/winsim.out"
wine zel-sensor-sim.exe --tcp 127.0.0.1:0 --firmware "V2.0-S" \
    --state 'Z:'"${work//\//\\}"'\winsim.state' >"$simlog" 2>&1 &
winsim_pid=$!
pids+=($winsim_pid)
for _ in $(seq 200); do
    grep -q '^tcp://' "$simlog" 2>/dev/null && break
    sleep 0.05
done
winsim=$(grep -m1 '^tcp://' "$simlog" | tr -d '\r' || true)
r=$(win zel-vavod-cli.exe info --com 1="$winsim" --port 1 --json)
check "info against zel-sensor-sim.exe ($winsim)" '"firmware":"V2.0-S"' "$r"
kill -INT "$winsim_pid" 2>/dev/null || true
rc=0
wait "$winsim_pid" || rc=$?
check "Ctrl-C ends zel-sensor-sim.exe, exit 0, its state saved" "exit 0 saved" \
    "exit $rc $([[ -s "$work/winsim.state" ]] && echo saved)"

echo "wine-check: port numbers and names"
r=$(win zel-vavod-cli.exe info --port 12)
check "info --port 12 opens \\\\.\\COM12" 'COM12 \\.\COM12' "$r"
check "info --port 12 answers" "Line Ok!" "$r"
r=$(win zel-vavod-cli.exe info --com 5=COM200 --port 5)
check "info --com 5=COM200" "Line Ok!" "$r"
r=$(win zel-vavod-cli.exe info --simulate --port 1)
check "info --simulate (zel-sensor-sim.exe on a local TCP port)" "tcp://127.0.0.1:" "$r"

echo "wine-check: bad ports"
r=$(win zel-vavod-cli.exe info --port 13)
check "a COM port that does not exist: named, with its cause" "No serial port found: COM13 \\\\.\\COM13: no such device" "$r"
check "a COM port that does not exist: exit 1" "[exit 1]" "$r"

echo "wine-check: the window on Xvfb"
# What the sensor holds now (its EEPROM's set since the power cycle), which the window must show.
ram=$(win zel-vavod-cli.exe get --port 7 --from ram --json)
word_of() {
    local w
    w=$(printf '%s\n' "$ram" | grep -o "\"index\":$1,\"value\":[0-9]*" | head -1)
    echo "${w##*:}"
}
words="refA=$(word_of 1) refB=$(word_of 2) tolA=$(word_of 3)"
echo 7 >comport.cfg
# The start-up report tells what the window shows; the autorun then streams the live scope for
# a few seconds (the screenshot is taken meanwhile) and closes the window.
ZEL_STARTUP_REPORT=1 ZEL_AUTORUN=10 timeout 120 wine zel-vavod.exe \
    -platform windows:fontengine=freetype >"$work/window.out" 2>&1 &
window=$!
for _ in $(seq 600); do
    grep -q "main window shown" "$work/window.out" 2>/dev/null && break
    kill -0 "$window" 2>/dev/null || break
    sleep 0.1
done
if [[ -n "$shot" ]]; then
    sleep 5
    import -window root "$work/shot.png" 2>/dev/null &&
        convert "$work/shot.png" -trim +repage "$shot" 2>/dev/null || true
fi
wait "$window" || true
r=$(tr -d '\r' <"$work/window.out")
check "window shown" "main window shown" "$r"
check "window: firmware text on the status line" 'status "V2.0-W' "$r"
check "window: the sensor's words in the fields" "$words" "$r"
samples=$(printf '%s\n' "$r" | sed -n 's/.* \([0-9][0-9]*\) samples .*/\1/p' | head -1)
check "window: the live scope streams on COM7" "streamed" "$(((${samples:-0} > 20)) && echo streamed)"
if [[ -n "$shot" ]]; then
    check "screenshot taken" "ok" "$([[ -s "$shot" ]] && echo ok)"
fi

echo "wine-check: the installer"
win "$setup" /S '/D=C:\ZelVavod' >/dev/null
installed="$WINEPREFIX/drive_c/ZelVavod"
check "installed silently" "zel-vavod.exe" "$(ls "$installed" 2>&1)"
check "uninstaller" "Uninstall.exe" "$(ls "$installed" 2>&1)"
check "Start-menu entry" "ZEL-A-2X-Vavod.lnk" \
    "$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name '*.lnk' 2>/dev/null)"
r=$(cd "$installed" && win zel-vavod-cli.exe info --port 7 --json)
check "installed zel-vavod-cli.exe info --port 7" '"firmware":"V2.0-W"' "$r"
win 'C:\ZelVavod\Uninstall.exe' /S >/dev/null
for _ in $(seq 100); do
    [[ -e "$installed/zel-vavod.exe" ]] || break
    sleep 0.1
done
check "uninstalled silently" "gone" "$([[ -e "$installed/zel-vavod.exe" ]] || echo gone)"

echo "wine-check: $passed of $((passed + failed)) Windows checks passed"
((failed == 0))
