#!/usr/bin/env bash
# The command-line tool against a sensor that answers at once (a USB virtual port: no pacing,
# no latency): how long the start-up requests take from request to reply, and how many
# samples a second `zel-vavod-cli scope` gets. Prints two JSON lines.
# Usage: bench/instant_sensor.sh BIN_DIR [SECONDS]
set -euo pipefail
bin="${1:?bin dir}"
seconds="${2:-5}"
tmp="$(mktemp -d)"
sim_pid=""
cleanup() {
    [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

"$bin/zel-sensor-sim" --baud 0 --latency 0 --link "$tmp/pty" >"$tmp/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [[ -e "$tmp/pty" ]] && break; sleep 0.05; done

# Five runs of `info`; the reply times come from the trace ("x ms after LINE CHECK").
for _ in 1 2 3 4 5; do
    "$bin/zel-vavod-cli" info --device "$tmp/pty" --trace "$tmp/trace" >/dev/null
    cat "$tmp/trace" >>"$tmp/traces"
done
python3 - "$tmp/traces" <<'EOF'
import json, re, statistics, sys
times = {}
for line in open(sys.argv[1]):
    m = re.search(r"([0-9.]+) ms after ([A-Z ]+)$", line.strip())
    if m:
        times.setdefault(m.group(2).strip(), []).append(float(m.group(1)))
out = {"bench": "instant_sensor_replies"}
for order, ms in times.items():
    key = order.lower().replace(" ", "_")
    out[key + "_ms_median"] = round(statistics.median(ms), 2)
    out[key + "_ms_max"] = round(max(ms), 2)
print(json.dumps(out))
EOF

"$bin/zel-vavod-cli" scope --device "$tmp/pty" --seconds "$seconds" --json >"$tmp/scope.out" 2>"$tmp/scope.err" || true
python3 - "$tmp/scope.out" "$tmp/scope.err" "$seconds" <<'EOF'
import json, re, sys
text = open(sys.argv[1]).read() + open(sys.argv[2]).read()
m = re.search(r'"samples_per_s":\s*([0-9.]+)', text)
rate = float(m.group(1)) if m else 0.0
print(json.dumps({"bench": "instant_sensor_cli_scope", "seconds": float(sys.argv[3]),
                  "samples_per_s": rate}))
EOF
