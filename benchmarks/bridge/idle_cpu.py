#!/usr/bin/env python3
"""CPU time and wake-ups of an idle vorn-mcp.

Starts the bridge with a private home and profile, opens a session with
`initialize` (so the idle turns also watch port.json), then leaves it alone
for the given number of seconds and reports the CPU time it used and how
often its threads woke up, from /proc.

    idle_cpu.py <path to vorn-mcp> [seconds]
    idle_cpu.py --reference <program> [seconds]

With --reference the program is started as it is and measured the same way,
to tell the machine's cost of a timed wake-up from the bridge's own.
"""

import json
import os
import subprocess
import sys
import tempfile
import time


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def cpu_ns(pid):
    """Time on CPU of every thread, in nanoseconds (scheduler statistics)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
            total += int(f.read().split()[0])
    return total


def wakeups(pid):
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, task)) as f:
            for line in f:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
    return total


def main():
    args = sys.argv[1:]
    reference = args[0] == "--reference"
    if reference:
        args = args[1:]
    binary = args[0]
    seconds = float(args[1]) if len(args) > 1 else 60.0
    hz = os.sysconf("SC_CLK_TCK")
    with tempfile.TemporaryDirectory(prefix="vorn-idle-") as tmp:
        proc = subprocess.Popen(
            [binary] if reference else [binary, "--profile", tmp],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            env={"PATH": os.environ.get("PATH", ""), "HOME": tmp},
        )
        hello = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"clientInfo": {"name": "idle"}}}
        if not reference:
            proc.stdin.write((json.dumps(hello) + "\n").encode())
            proc.stdin.flush()
            proc.stdout.readline()
        time.sleep(1.5)  # let the start-up settle before measuring
        ticks0, ns0, wake0, t0 = cpu_ticks(proc.pid), cpu_ns(proc.pid), wakeups(proc.pid), time.monotonic()
        time.sleep(seconds)
        ticks1, ns1, wake1, t1 = cpu_ticks(proc.pid), cpu_ns(proc.pid), wakeups(proc.pid), time.monotonic()
        proc.stdin.close()
        if reference:
            proc.kill()
        status = proc.wait(timeout=30)
    elapsed = t1 - t0
    cpu_ms = (ns1 - ns0) / 1e6
    wakes = wake1 - wake0
    print(json.dumps({
        "program": os.path.basename(binary),
        "idle_seconds": round(elapsed, 1),
        "cpu_ms": round(cpu_ms, 3),
        "cpu_ms_from_ticks": (ticks1 - ticks0) * 1000.0 / hz,
        "cpu_percent": round(100.0 * cpu_ms / 1000.0 / elapsed, 5),
        "cpu_us_per_wakeup": round(cpu_ms * 1000.0 / wakes, 1) if wakes else None,
        "wakeups_per_second": round(wakes / elapsed, 2),
        "exit_status": status,
    }))


if __name__ == "__main__":
    main()
