#!/usr/bin/env python3
"""Wall time of each probe, start to exit, with the machine's real libraries.

Usage: bench_probes.py [BUILD_DIR] [--runs N]

Each probe is measured next to a baseline program that only loads the same
libraries and makes the same expensive driver calls, so the difference is
the probe's own cost. Uses hyperfine when it is installed, otherwise a
timing loop; prints median and mean in milliseconds.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def build_baseline(workdir):
    out = os.path.join(workdir, "baseline")
    subprocess.run(["cc", "-O2", "-o", out, os.path.join(HERE, "baseline.c"), "-ldl"], check=True)
    return out


def time_loop(cmd, env, runs):
    samples = []
    for _ in range(3):  # warm the page cache
        subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        samples.append((time.perf_counter() - start) * 1000)
    return statistics.median(samples), statistics.fmean(samples), min(samples)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(HERE, "..", "..", "build", "default"))
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    probes = os.path.join(os.path.abspath(args.build_dir), "probes")
    env = {k: v for k, v in os.environ.items() if k not in ("ZAX_GFX_DEBUG", "LD_LIBRARY_PATH")}

    with tempfile.TemporaryDirectory() as workdir:
        baseline = build_baseline(workdir)
        cases = [
            ("accelprobe (usage only)", [os.path.join(probes, "accelprobe")]),
            ("accelprobe -d /dev/null", [os.path.join(probes, "accelprobe"), "-d", "/dev/null"]),
            ("  baseline: libva load + calls", [baseline, "va", "/dev/null"]),
            ("vkdecprobe (usage only)", [os.path.join(probes, "vkdecprobe")]),
            ("vkdecprobe -p", [os.path.join(probes, "vkdecprobe"), "-p"]),
            ("  baseline: loader + instance + exts", [baseline, "vk"]),
        ]
        if shutil.which("hyperfine"):
            subprocess.run(["hyperfine", "-N", "--warmup", "3", "--runs", str(args.runs),
                            *[" ".join(cmd) for _, cmd in cases]], env=env, check=True)
            return 0
        print(f"{'case':40} {'median ms':>10} {'mean ms':>10} {'min ms':>10}   ({args.runs} runs)")
        for name, cmd in cases:
            median, mean, fastest = time_loop(cmd, env, args.runs)
            print(f"{name:40} {median:10.2f} {mean:10.2f} {fastest:10.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
