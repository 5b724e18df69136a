#!/usr/bin/env python3
"""Throughput and latency of vorn-folder against cp on the same data.

Usage: bench_folder.py [BUILD_DIR] [--rounds N]

Measures, in one run and on warm caches:
  - readDir of a directory of 1,000 small files, against `cp -r` of it;
  - readDir of a directory of 16 files of 8 MiB, against `cp -r` of it;
  - writeFiles of 64 payloads, against `cp` of the same 64 payload files;
  - the round-trip latency of `exists` requests.
Each copy figure is the median of N rounds; the ratio is service / cp.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tests", "folder", "e2e"))
import harness  # noqa: E402

MIB = 1 << 20


def make_files(directory, count, size, prefix="f"):
    os.makedirs(directory, exist_ok=True)
    block = os.urandom(size)
    for i in range(count):
        with open(os.path.join(directory, "%s%04d" % (prefix, i)), "wb") as f:
            f.write(block)


def paired_medians(service, cp, rounds):
    """Median times of both, their rounds interleaved so that a load change
    on the machine hits both alike."""
    samples = ([], [])
    for i in range(rounds):
        for action, out in ((service, samples[0]), (cp, samples[1])):
            start = time.perf_counter()
            action(i)
            out.append(time.perf_counter() - start)
    return statistics.median(samples[0]), statistics.median(samples[1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?",
                        default=os.path.join(os.path.dirname(__file__), "..", "..",
                                             "build", "default"))
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    harness.BINARY = os.path.join(os.path.abspath(args.build_dir), "folder", "vorn-folder")
    if not os.path.exists(harness.BINARY):
        sys.exit("no binary at " + harness.BINARY)

    folder = harness.Folder()
    scratch = tempfile.mkdtemp(prefix="vorn-bench-cp-")
    try:
        folder.hello()
        make_files(os.path.join(folder.root, "small"), 1000, 4096)
        make_files(os.path.join(folder.root, "large"), 16, 8 * MIB)
        payloads = os.path.join(folder.request_dir)
        names = []
        for i in range(64):
            names.append(folder.put_payload("p%02d" % i, os.urandom(MIB)))

        def read_dir(path):
            def run(i):
                answer = folder.call_json(folder.request("readDir", id="%s%d" % (path, i),
                                                         path=path))
                assert answer["reachable"] and not answer["unreadable"], answer
            return run

        def cp_dir(path):
            def run(i):
                subprocess.run(["cp", "-r", os.path.join(folder.root, path),
                                os.path.join(scratch, "%s%d" % (path, i))], check=True)
            return run

        def write_files(i):
            files = [{"path": "w%d/f%02d" % (i, k)} for k in range(64)]
            answer = folder.call_json(folder.request("writeFiles", files=files, payloads=names))
            assert answer["reachable"], answer

        def cp_files(i):
            target = os.path.join(scratch, "w%d" % i)
            os.mkdir(target)
            subprocess.run(["cp"] + [os.path.join(payloads, n) for n in names] + [target],
                           check=True)

        rows = []
        for label, service, cp in (
                ("readDir 1000 x 4 KiB", read_dir("small"), cp_dir("small")),
                ("readDir 16 x 8 MiB", read_dir("large"), cp_dir("large")),
                ("writeFiles 64 x 1 MiB", write_files, cp_files)):
            service(999)  # warm the caches
            cp(999)
            t_service, t_cp = paired_medians(service, cp, args.rounds)
            rows.append((label, t_service, t_cp))

        print("%-24s %12s %12s %8s" % ("case", "vorn-folder", "cp", "ratio"))
        for label, t_service, t_cp in rows:
            print("%-24s %10.1f ms %9.1f ms %8.2f" % (label, t_service * 1e3, t_cp * 1e3,
                                                     t_service / t_cp))

        request = folder.request("exists", path="small/f0000")
        latencies = []
        for _ in range(2000):
            start = time.perf_counter()
            folder.call(request)
            latencies.append(time.perf_counter() - start)
        latencies.sort()
        print("exists round trip: median %.1f us, p99 %.1f us (2000 requests)"
              % (statistics.median(latencies) * 1e6, latencies[int(len(latencies) * 0.99)] * 1e6))
    finally:
        folder.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
