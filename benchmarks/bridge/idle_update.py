#!/usr/bin/env python3
"""What an idle vorn-mcp costs while it watches its program file for updates.

An idle bridge (agent input open, nothing to do) tests once per idle turn,
about once a second, whether its program file changed: one stat of the file.
This script runs one under `strace -f` over an idle period (60 s by
default), counts every system call of the process and its threads, and
counts the stat calls on the program file on their own. Start-up is traced
as well; one of those stat calls is the start-up snapshot. (idle_cpu.py
measures the CPU time of an idle bridge.)

Usage: idle_update.py [seconds]   (VORN_BUILD_DIR selects the build tree,
default build/default of this checkout). Needs strace.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_DIR = os.environ.get("VORN_BUILD_DIR", os.path.join(HERE, "..", "..", "build", "default"))
BINARY = os.path.abspath(os.path.join(BUILD_DIR, "bridge", "vorn-mcp"))
STAT_CALLS = ("stat", "lstat", "newfstatat", "fstatat64", "statx")


def start(argv, tmp):
    return subprocess.Popen(
        argv,
        stdin=subprocess.PIPE,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": tmp},
        cwd=tmp,
    )


def stop(proc):
    proc.stdin.close()  # end of agent input: the bridge exits at once
    proc.wait(timeout=30)


def traced(seconds, tmp):
    program = os.path.realpath(BINARY)
    log = os.path.join(tmp, "strace.log")
    proc = start(
        ["strace", "-f", "-qq", "-o", log, "-e", "trace=all", BINARY,
         "--profile", os.path.join(tmp, "profile")],
        tmp,
    )
    time.sleep(seconds)
    stop(proc)
    calls = {}
    program_stats = 0
    # "PID name(args) = result", or "PID name(args <unfinished ...>" followed
    # later by "PID <... name resumed>...": each call counts once, at its start.
    pattern = re.compile(r"^\d+\s+(\w+)\(")
    with open(log, errors="replace") as lines:
        for line in lines:
            match = pattern.match(line)
            if not match:
                continue
            name = match.group(1)
            calls[name] = calls.get(name, 0) + 1
            if name in STAT_CALLS and ('"%s"' % program) in line:
                program_stats += 1
    return calls, program_stats


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    if not os.access(BINARY, os.X_OK):
        sys.exit("no vorn-mcp at %s; build first" % BINARY)
    if not shutil.which("strace"):
        sys.exit("strace not found (apt-get install strace)")
    with tempfile.TemporaryDirectory(prefix="idle-update-") as tmp:
        calls, program_stats = traced(seconds, tmp)
    total = sum(calls.values())
    print("idle %.0f s under strace -f:" % seconds)
    print("  system calls in all: %d (%.1f per second)" % (total, total / seconds))
    for name, count in sorted(calls.items(), key=lambda kv: -kv[1])[:12]:
        print("    %-16s %d" % (name, count))
    print("  stat calls on the program file: %d (%.2f per second; one is the"
          " start-up snapshot)" % (program_stats, program_stats / seconds))


if __name__ == "__main__":
    main()
