#!/usr/bin/env bash
# The window heard through a real screen reader: Orca on a private X display, D-Bus session and
# accessibility bus, its speech taken from its debug log (it logs each utterance whether or not
# a synthesiser answers). Against the simulated sensor, by keys alone:
#   - the start-up focus is the parameter set, and Tab speaks the next control;
#   - Alt+G's outcome is spoken, and a Get from a silent sensor speaks the time-out;
#   - a scope run streaming for SCOPE_SECONDS speaks no more than three lines, its start
#     included.
# Installs nothing: orca, at-spi2-core, dbus-daemon, xvfb and xdotool come from scripts/setup.sh.
# Usage: orca_test.sh ZEL_VAVOD [SCOPE_SECONDS]
set -uo pipefail
app="${1:?path of zel-vavod}"
scope_seconds="${2:-60}"

fail() {
    echo "orca_test: FAIL: $*" >&2
    exit 1
}
for tool in orca Xvfb xdotool dbus-daemon dbus-send /usr/libexec/at-spi-bus-launcher python3; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh test installs it)"
done

work="$(mktemp -d /tmp/zel-orca.XXXXXX)"
pids=()
cleanup() {
    local status=$?
    # Ours only, newest first: the program, Orca, the accessibility bus and registry, D-Bus, X.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null
    done
    sleep 0.5
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -9 "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
    if ((status != 0)); then
        echo "orca_test: logs kept in $work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

export HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS

# X display: Xvfb picks a free number and writes it down once it takes connections.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 150); do
    [[ -s "$work/display" ]] && break
    sleep 0.2
done
display="$(head -1 "$work/display")"
[[ -n "$display" ]] || fail "Xvfb did not start ($(cat "$work/xvfb.log"))"
export DISPLAY=":$display"

# A private session bus.
dbus-daemon --session --nofork --print-address=4 4>"$work/bus" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [[ -s "$work/bus" ]] && break
    sleep 0.1
done
DBUS_SESSION_BUS_ADDRESS="$(head -1 "$work/bus")"
[[ -n "$DBUS_SESSION_BUS_ADDRESS" ]] || fail "no D-Bus session bus"
export DBUS_SESSION_BUS_ADDRESS

# The accessibility bus and its registry.
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/atspi.log" 2>&1 &
launcher=$!
pids+=("$launcher")
a11y=""
for _ in $(seq 150); do
    a11y="$(dbus-send --session --dest=org.a11y.Bus --print-reply=literal /org/a11y/bus \
        org.a11y.Bus.GetAddress 2>/dev/null | tr -d ' ')"
    [[ -n "$a11y" ]] && break
    sleep 0.2
done
[[ -n "$a11y" ]] || fail "the accessibility bus did not start ($(cat "$work/atspi.log"))"
# Its own bus daemon, read from /proc (a bare image has no ps).
for status in /proc/[0-9]*/status; do
    if grep -q "^PPid:[[:space:]]*$launcher\$" "$status" 2>/dev/null; then
        child="${status#/proc/}"
        pids+=("${child%/status}")
    fi
done
registry_pid() {
    dbus-send --bus="$a11y" --dest=org.freedesktop.DBus --print-reply=literal / \
        org.freedesktop.DBus.GetConnectionUnixProcessID string:org.a11y.atspi.Registry \
        2>/dev/null | awk '{print $2}'
}

# Orca, its speech logged. Ready once it listens for the events it presents.
orca -u "$work/orca-prefs" --debug-file "$work/orca.log" >"$work/orca.out" 2>&1 &
orca_pid=$!
pids+=("$orca_pid")
ready=0
for _ in $(seq 300); do
    if dbus-send --bus="$a11y" --dest=org.a11y.atspi.Registry --print-reply \
        /org/a11y/atspi/registry org.a11y.atspi.Registry.GetRegisteredEvents 2>/dev/null |
        grep -qi "StateChanged"; then
        ready=1
        break
    fi
    sleep 0.2
done
((ready)) || fail "Orca did not start listening ($(tail -5 "$work/orca.out"))"
reg="$(registry_pid)"
[[ -n "$reg" ]] && pids+=("$reg")
sleep 1

marks="$work/marks"
mark() { echo "$(date +%H:%M:%S.%N) $1" >>"$marks"; }

# Requests of one order the simulated sensor has received so far.
frames() {
    local order
    order="$(printf '%02X %02X' $(($1 >> 8)) $(($1 & 255)))"
    grep -c "RX 00 55 $order" "$2" 2>/dev/null || true
}
# Presses keys until the sensor has seen one more request of the order (a loaded machine may
# lose a key sent before the window takes input).
press_for_order() {
    local keys="$1" order="$2" log="$3" before tries
    before="$(frames "$order" "$log")"
    for tries in 1 2 3; do
        xdotool key --clearmodifiers "$keys"
        for _ in $(seq 50); do
            (($(frames "$order" "$log") > before)) && return 0
            sleep 0.2
        done
    done
    fail "$keys sent no order $order to the sensor"
}

run=0
start_app() {
    run=$((run + 1))
    simlog="$work/sim$run.log"
    QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$app" --simulate --dir "$work" \
        --sim-args "--log $simlog $1" >"$work/app$run.log" 2>&1 &
    app_pid=$!
    pids+=("$app_pid")
    window=""
    for _ in $(seq 120); do
        window="$(xdotool search --onlyvisible --name 'ZEL-A-2X-Vavod' 2>/dev/null | head -1)"
        [[ -n "$window" ]] && break
        kill -0 "$app_pid" 2>/dev/null || fail "zel-vavod ended: $(tail -5 "$work/app$run.log")"
        sleep 0.5
    done
    [[ -n "$window" ]] || fail "the main window did not appear"
    xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
    sleep 3 # the reader presents the new window and its focus
}
stop_app() {
    kill "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    sleep 1
}

# 1. Start-up focus, Tab, Get, a scope run.
start_app ""
mark tab
xdotool key Tab
sleep 2
mark get
press_for_order alt+g 2 "$simlog"
sleep 3
mark run
press_for_order alt+r 8 "$simlog"
sleep "$scope_seconds"
mark stop
xdotool key --clearmodifiers alt+o
sleep 2
data="$(frames 8 "$simlog")"
((data > 10 * scope_seconds)) || fail "the scope ran only $data requests in ${scope_seconds} s"
stop_app

# 2. A Get from a sensor that does not answer it.
start_app "--silent 2"
mark silent
press_for_order alt+g 2 "$simlog"
sleep 4
mark end
# Orca's log is written in blocks, and a shutdown that takes too long ends it without the last
# one: more speech after the checks pushes theirs out to the file.
for _ in $(seq 12); do
    xdotool key Tab
    sleep 0.5
done
sleep 2
stop_app

# Orca writes its log as it shuts down, then ends itself with SIGKILL (the shell's notice of
# that goes nowhere).
{
    kill "$orca_pid"
    for _ in $(seq 50); do
        kill -0 "$orca_pid" 2>/dev/null || break
        sleep 0.2
    done
    wait "$orca_pid"
} 2>/dev/null

# Orca speaks later than the events on a busy machine, never earlier: the checks ask for what
# was spoken after a mark, and take the order of the lines, not their times, for the rest.
python3 - "$work/orca.log" "$marks" <<'EOF' || exit 1
import re, sys
log, marks = sys.argv[1], sys.argv[2]
start = None
def secs(stamp):
    global start
    h, m, s = stamp.split(":")
    t = int(h) * 3600 + int(m) * 60 + float(s)
    start = t if start is None else start
    return t + 86400 if t < start - 43200 else t # a run across midnight
at = {}
for line in open(marks):
    stamp, name = line.split()
    at[name] = secs(stamp[:15])
spoken = []
for line in open(log, errors="replace"):
    m = re.match(r"(\d\d:\d\d:\d\d\.\d+) - SPEECH OUTPUT: '(.*?)' ?(\{|$)", line)
    if m:
        spoken.append((secs(m.group(1)), m.group(2)))
print("orca_test: spoken lines:")
for s, t in spoken:
    print("  %s" % t)
def first(after, pred, start=0):
    for i in range(start, len(spoken)):
        if spoken[i][0] >= at[after] and pred(spoken[i][1]):
            return i
    return None
def fail(why):
    print("orca_test: FAIL: " + why, file=sys.stderr)
    sys.exit(1)
if first("end", lambda t: True) is None:
    fail("Orca's log ends before the last check (not written out)")
control = next((t for s, t in spoken if re.search(r"(spin|push) button|check box", t)), "")
if "Setting 0 (word 0)" not in control:
    fail("the start-up focus was not the parameter set's first word: %r" % control)
got = first("get", lambda t: "Parameter-frame received! - Line Ok!" in t)
if got is None:
    fail("Get's outcome was not spoken")
tab = first("tab", lambda t: "Reference CHA (word 1)" in t)
if tab is None or tab > got:
    fail("Tab did not speak the next control")
# The scope's lines: from Alt+R's key echo to Alt+O's ("Line Ok!" at its start included).
started = first("run", lambda t: t.startswith("left alt"), got + 1)
stopped = None if started is None else first("run", lambda t: t.startswith("left alt"), started + 1)
if stopped is None:
    fail("Alt+R and Alt+O were not heard")
streaming = [t for s, t in spoken[started + 1:stopped]]
print("orca_test: %d lines spoken while the scope streamed" % len(streaming))
if len(streaming) > 3:
    fail("the scope run spoke %d lines: %s" % (len(streaming), streaming))
if first("silent", lambda t: "Timeout-RS-232" in t) is None:
    fail("the time-out was not spoken")
EOF
echo "orca_test: passed"
