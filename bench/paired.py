#!/usr/bin/env python3
"""Times commands side by side: each round runs every command once, in turn, so that a busy
machine slows all of them alike. Prints one JSON object: the median wall time ("medians") and
the median processor time, user and system ("cpu_medians"), in seconds, of each command in the
order given. Processor time does not count waiting for a busy machine's processors, so its ratios
hold where wall-time ratios are noise.

Usage: paired.py RUNS COMMAND...     (each COMMAND one shell-style string, run without a shell)
"""
import json
import os
import shlex
import statistics
import sys
import time


def run_once(argv):
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=[
        (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
        (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)])
    _, _, usage = os.wait4(pid, 0)
    return time.perf_counter() - start, usage.ru_utime + usage.ru_stime


def main():
    runs = int(sys.argv[1])
    commands = [shlex.split(command) for command in sys.argv[2:]]
    for _ in range(max(3, runs // 10)):  # warm the page cache and the manager
        for argv in commands:
            run_once(argv)
    times = [[] for _ in commands]
    cpu = [[] for _ in commands]
    for round_ in range(runs):
        # Rotate the order so that no command always runs right after the same other one.
        for offset in range(len(commands)):
            index = (round_ + offset) % len(commands)
            wall, processor = run_once(commands[index])
            times[index].append(wall)
            cpu[index].append(processor)
    print(json.dumps({"runs": runs, "medians": [statistics.median(t) for t in times],
                      "cpu_medians": [statistics.median(t) for t in cpu]}))


if __name__ == "__main__":
    main()
