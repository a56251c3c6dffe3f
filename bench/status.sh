#!/usr/bin/env bash
# Benchmarks `status`, the command people and scripts run most, and how soon `install` notices an
# agent:
#  1. `status` with nothing installed (no platform tool to ask): against /bin/true and against the
#     start-up of an interpreter importing what an interpreted implementation of this tool would;
#  2. `status` with both services installed on (simulated) macOS: against the three launchctl calls
#     any implementation must make (print-disabled once, print for each service);
#  3. peak memory of both;
#  4. `install` on (simulated) macOS with agents that come up 1 s after their bootstrap: how long
#     after the second agent runs the command returns, past the settling time it waits out by design
#     (backends::base::SETTLING_TIME, 1 s, once for both agents).
# Times are medians of paired runs (bench/paired.py): each round runs every command once, so a
# busy machine slows all of them alike.
# Usage: bench/status.sh [RUNS]     (needs GNU time; scripts/deps installs it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-200}
"$root/scripts/deps" time >&2
if [[ ! -f $root/build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
fi
cmake --build "$root/build" --target vetra_service_manager vetra_service_manager_testing >&2

work=$(mktemp -d)
cleanup() {
  for pid in "$work"/launchd/pid/*; do [[ -f $pid ]] && kill -9 "$(cat "$pid")" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home"
export HOME=$work/home VSM_LAUNCHCTL_STATE=$work/launchd
unset XDG_DATA_HOME
product=$root/build/vetra_service_manager
testing=$root/build/vetra_service_manager_testing

paired() { python3 "$root/bench/paired.py" "$runs" "$@"; }
median() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])["medians"][int(sys.argv[2])])' "$@"; }
cpu() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])["cpu_medians"][int(sys.argv[2])])' "$@"; }
ratio() { python3 -c 'import sys; print(f"{float(sys.argv[1]) / float(sys.argv[2]):.2f}")' "$1" "$2"; }
ms() { python3 -c 'import sys; print(f"{float(sys.argv[1]) * 1000:.2f} ms")' "$1"; }

echo "== status with nothing installed ($runs paired runs)" >&2
idle=$(paired /bin/true "$product status" "python3 -c 'import argparse, json, logging, plistlib, re, subprocess'")
t_true=$(median "$idle" 0) t_status=$(median "$idle" 1) t_python=$(median "$idle" 2)
c_true=$(cpu "$idle" 0) c_status=$(cpu "$idle" 1)

echo "== status with both services installed (launchctl stand-in, $((runs / 4 + 1)) paired runs)" >&2
export PATH=$root/tests/fakes:$PATH VSM_TEST_PLATFORM=Darwin
runner="$HOME/Applications/norvale/Vetra Service.app/Contents/MacOS/vetra_service_runner"
mkdir -p "${runner%/*}" && cp "$root/tests/fakes/runner" "$runner"
"$testing" install --version 1.0 >/dev/null
uid=$(id -u)
calls="launchctl print-disabled gui/$uid; launchctl print gui/$uid/com.norvale.vetra_sync_agent"
calls+="; launchctl print gui/$uid/com.norvale.vetra_api"
busy=$(python3 "$root/bench/paired.py" "$((runs / 4 + 1))" "$testing status" "bash -c '$calls'" "bash -c true")
t_busy=$(median "$busy" 0) t_calls=$(python3 -c "import json,sys; m=json.loads(sys.argv[1])['medians']; print(m[1] - m[2])" "$busy")
c_busy=$(cpu "$busy" 0) c_calls=$(python3 -c "import json,sys; m=json.loads(sys.argv[1])['cpu_medians']; print(m[1] - m[2])" "$busy")

peak_idle=$(env -u VSM_TEST_PLATFORM /usr/bin/time -f %M "$product" status 2>&1 >/dev/null | tail -1)
peak_busy=$(/usr/bin/time -f %M "$testing" status 2>&1 >/dev/null | tail -1)

echo "== install with agents that come up 1 s after their bootstrap" >&2
# The launchctl stand-in records when each agent comes up (started/LABEL); vetra_api comes last.
lag=$(python3 - "$testing" "$VSM_LAUNCHCTL_STATE" <<'PY'
import os, statistics, subprocess, sys, time
testing, state = sys.argv[1:]
SETTLING_MS = 1000
quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
lags = []
for _ in range(5):
    subprocess.run([testing, "uninstall", "--keep-binary"], **quiet)
    os.makedirs(f"{state}/delay", exist_ok=True)
    for label in ("com.norvale.vetra_sync_agent", "com.norvale.vetra_api"):
        with open(f"{state}/delay/{label}", "w") as delay:
            delay.write("1\n")
    subprocess.run([testing, "install", "--version", "1.0"], check=True, **quiet)
    with open(f"{state}/started/com.norvale.vetra_api") as started:
        lags.append((time.time() - float(started.read())) * 1000 - SETTLING_MS)
print(f"1 s + {statistics.median(lags):.0f} ms (median of {len(lags)}, worst 1 s + {max(lags):.0f} ms)")
PY
)

cat <<REPORT

status, nothing installed:      $(ms "$t_status")   /bin/true $(ms "$t_true")   ratio $(ratio "$t_status" "$t_true")   (goal <= 1.5)
  processor time:               $(ms "$c_status")   /bin/true $(ms "$c_true")   ratio $(ratio "$c_status" "$c_true")
  interpreter start-up floor:   $(ms "$t_python")   status is $(ratio "$t_python" "$t_status")x faster
status, both installed:         $(ms "$t_busy")
  three launchctl calls:        $(ms "$t_calls")   ratio $(ratio "$t_busy" "$t_calls")   (goal <= 1.15)
  processor time:               $(ms "$c_busy")   three calls $(ms "$c_calls")   ratio $(ratio "$c_busy" "$c_calls")
peak memory:                    nothing installed $((peak_idle / 1024)) MiB ($peak_idle KiB), both installed $((peak_busy / 1024)) MiB ($peak_busy KiB)   (goal <= 8 MiB)
install returns after running:  $lag   (goal: the settling time + <= 100 ms)
REPORT
