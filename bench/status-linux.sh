#!/usr/bin/env bash
# Benchmarks the systemd backend against a private systemd user manager (root, mount namespaces):
#  1. `status` with both services installed, against one `systemctl --user show` of the two units
#     (what any client that starts a process must at least pay);
#  2. how long after the units report running `install` returns (it waits out their settling
#     time, once for both).
# Times are medians of paired runs (bench/paired.py): each round runs every command once, so a
# busy machine slows all of them alike.
# Usage: sudo bench/status-linux.sh [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-200}
if [[ ! -f $root/build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
fi
cmake --build "$root/build" --target vetra_service_manager_testing >&2
[[ $(id -u) -eq 0 ]] || { echo "status-linux.sh: needs root for a private user manager" >&2; exit 1; }

work=$(mktemp -d)
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_RUNTIME_DIR=$work/run VSM_TEST_PLATFORM=Linux
unset DBUS_SESSION_BUS_ADDRESS
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/norvale/services" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
# The manager runs in its own mount namespace (a tmpfs over /run/systemd) as our child.
unshare -m sh -c 'mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/system && exec /lib/systemd/systemd --user' \
  >"$work/manager.log" 2>&1 &
manager=$!
cleanup() {
  "$root/build/vetra_service_manager_testing" uninstall --keep-binary >/dev/null 2>&1 || true
  kill "$manager" 2>/dev/null && wait "$manager" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 500); do [[ -S $XDG_RUNTIME_DIR/systemd/private ]] && break; sleep 0.01; done

testing=$root/build/vetra_service_manager_testing
cp "$root/tests/fakes/runner" "$XDG_DATA_HOME/norvale/services/vetra_service_runner"
"$testing" install --version 1.0 >/dev/null

median() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])["medians"][int(sys.argv[2])])' "$@"; }
units="com.norvale.vetra_sync_agent.service com.norvale.vetra_api.service"
props=UnitFileState,ActiveState,SubState
echo "== status with both installed ($runs paired runs)" >&2
busy=$(python3 "$root/bench/paired.py" "$runs" "$testing status" "systemctl --user show --property=$props $units")
t_status=$(median "$busy" 0) t_systemctl=$(median "$busy" 1)
c_status=$(python3 -c 'import json,sys; m=json.loads(sys.argv[1])["cpu_medians"]; print(m[0] / m[1])' "$busy")

# install: from each unit reporting running (the backend's log line) to the command's return. Both
# services' settling times run together: the return comes one settling time after the last start,
# not two after the first.
"$testing" uninstall --keep-binary >/dev/null 2>&1
lag=$(python3 - "$testing" <<'PY'
import statistics, subprocess, sys, time
after_last, after_first, whole = [], [], []
for _ in range(7):
    begun = time.monotonic()
    proc = subprocess.Popen([sys.argv[1], "--log-level", "info", "install", "--version", "1.0"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    running = []
    for line in proc.stderr:
        if "reached desired status" in line:
            running.append(time.monotonic())
    proc.wait()
    end = time.monotonic()
    if len(running) == 2:
        after_last.append((end - running[1]) * 1000)
        after_first.append((end - running[0]) * 1000)
        whole.append((end - begun) * 1000)
    subprocess.run([sys.argv[1], "uninstall", "--keep-binary"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
if after_last:
    print(f"{statistics.median(after_last):.0f} ms after the last start, {statistics.median(after_first):.0f} ms "
          f"after the first, {statistics.median(whole):.0f} ms in all (medians of {len(whole)}; worst "
          f"{max(after_last):.0f} / {max(after_first):.0f} / {max(whole):.0f} ms)")
else:
    print("not measured (no info log lines)")
PY
)
cat <<REPORT

status, both installed:          $(python3 -c "print(f'{$t_status * 1000:.2f} ms')")
  systemctl --user show (once):  $(python3 -c "print(f'{$t_systemctl * 1000:.2f} ms')")   ratio $(python3 -c "print(f'{$t_status / $t_systemctl:.2f}')")   (goal <= 0.3)
  processor time ratio:          $(python3 -c "print(f'{$c_status:.2f}')")
install returns after running:   $lag
REPORT
