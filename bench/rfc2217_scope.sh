#!/usr/bin/env bash
# zel-vavod-cli scope over rfc2217:// on loopback, against two servers: the simulator's own
# (--tcp --rfc2217) and pyserial's server side in front of the simulator's terminal
# (tests/e2e/rfc2217_server.py; skipped when python3-serial is missing). One JSON line each:
# samples per second as the tool measures its stream, against the line's 26.67/s.
# Usage: bench/rfc2217_scope.sh BIN_DIR [SECONDS]   (default 10)
set -euo pipefail
bin="${1:?bin directory}"
seconds="${2:-10}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="$(mktemp -d /tmp/zel-rfc2217-bench-XXXXXX)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Starts a server in the background; its first output line (the address) lands in $first.
start() {
    local name="$1" out="$work/$1.out"
    shift
    "$@" >"$out" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 100); do
        if [[ "$(wc -l <"$out")" -ge 1 ]]; then
            first="$(head -n1 "$out")"
            return 0
        fi
        sleep 0.05
    done
    echo "rfc2217_scope: $name did not start" >&2
    return 1
}

run() {
    local server="$1" address="$2" rc=0
    "$bin/zel-vavod-cli" scope --seconds "$seconds" --json --com "1=$address" --port 1 \
        >/dev/null 2>"$work/summary" || rc=$?
    local summary
    summary="$(grep '"command":"scope"' "$work/summary" || echo '{}')"
    python3 - "$server" "$seconds" "$rc" "$summary" <<'EOF'
import json, sys
server, seconds, rc, summary = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
s = json.loads(summary)
limit = 19200 / 10 / 72
rate = s.get("samples_per_s", 0.0)
print(json.dumps({"bench": "rfc2217_scope", "server": server, "seconds": seconds,
                  "samples": s.get("samples", 0), "samples_per_s": round(rate, 2),
                  "line_limit_per_s": round(limit, 2),
                  "of_line_pct": round(100 * rate / limit, 1), "exit": rc},
                 separators=(",", ":")))
EOF
}

# The sensor answers at once (--latency 0), as in the other line-limit benchmarks: the figure is
# the link's, not the modelled sensor's think time.
start sim-rfc2217 "$bin/zel-sensor-sim" --tcp 127.0.0.1:0 --rfc2217 --latency 0
run "zel-sensor-sim --rfc2217" "$first"

if /usr/bin/python3 -c 'import serial.rfc2217' 2>/dev/null; then
    start sim-pty "$bin/zel-sensor-sim" --latency 0
    start bridge /usr/bin/python3 "$root/tests/e2e/rfc2217_server.py" "$first" --log /dev/null
    run "pyserial PortManager" "$first"
else
    echo "rfc2217_scope: python3-serial is missing, pyserial's server left out" >&2
fi
