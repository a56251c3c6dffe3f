#!/usr/bin/env bash
# Benchmarks `status`, the command people and scripts run most:
#  1. nothing installed (no platform tool to ask): against /bin/true and against the start-up of an
#     interpreter importing what an interpreted implementation of this tool would import;
#  2. both services installed on (simulated) macOS: against the four launchctl calls that any
#     implementation must make (print-disabled and print, for each service);
#  3. peak memory of both.
# Usage: bench/status.sh [RUNS]     (needs hyperfine and GNU time; scripts/deps installs them)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-200}
"$root/scripts/deps" hyperfine time >&2
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

mean() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][int(sys.argv[2])]["mean"])' "$@"; }
ratio() { python3 -c 'import sys; print(f"{float(sys.argv[1]) / float(sys.argv[2]):.2f}")' "$1" "$2"; }
ms() { python3 -c 'import sys; print(f"{float(sys.argv[1]) * 1000:.2f} ms")' "$1"; }

echo "== status with nothing installed"
hyperfine -N --warmup 20 --runs "$runs" --export-json "$work/idle.json" \
  /bin/true "$product status" \
  "python3 -c 'import argparse, json, logging, plistlib, re, subprocess'" >&2
t_true=$(mean "$work/idle.json" 0) t_status=$(mean "$work/idle.json" 1) t_python=$(mean "$work/idle.json" 2)

echo "== status with both services installed (launchctl stand-in)"
export PATH=$root/tests/fakes:$PATH VSM_TEST_PLATFORM=Darwin
"$testing" install --version 1.0 >/dev/null
uid=$(id -u)
calls="launchctl print-disabled gui/$uid; launchctl print gui/$uid/com.norvale.vetra_sync_agent"
calls+="; launchctl print-disabled gui/$uid; launchctl print gui/$uid/com.norvale.vetra_api"
hyperfine --warmup 5 --runs "$((runs / 4 + 1))" --export-json "$work/busy.json" -N \
  "$testing status" "bash -c '$calls'" "bash -c true" >&2
t_busy=$(mean "$work/busy.json" 0) t_calls=$(mean "$work/busy.json" 1) t_bash=$(mean "$work/busy.json" 2)

peak_idle=$(env -u VSM_TEST_PLATFORM /usr/bin/time -f %M "$product" status 2>&1 >/dev/null | tail -1)
peak_busy=$(/usr/bin/time -f %M "$testing" status 2>&1 >/dev/null | tail -1)

cat <<REPORT

status, nothing installed:      $(ms "$t_status")   /bin/true $(ms "$t_true")   ratio $(ratio "$t_status" "$t_true")
  interpreter start-up floor:   $(ms "$t_python")   status is $(ratio "$t_python" "$t_status")x faster
status, both installed:         $(ms "$t_busy")
  four launchctl calls:         $(ms "$(python3 -c "print($t_calls - $t_bash)")")   ratio $(ratio "$t_busy" "$(python3 -c "print($t_calls - $t_bash)")")
peak memory:                    nothing installed $((peak_idle / 1024)) MiB ($peak_idle KiB), both installed $((peak_busy / 1024)) MiB ($peak_busy KiB)
REPORT
