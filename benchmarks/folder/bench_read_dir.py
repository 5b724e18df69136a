#!/usr/bin/env python3
"""readDir against cp: 1,000 small files and 16 files of 8 MiB.

Usage: VORN_BUILD_DIR=build/default python3 benchmarks/folder/bench_read_dir.py [rounds]

Each case is timed as the best of several rounds: one readDir request (from
sending the frame to reading the answer) against `cp -r` of the same directory
into a fresh one on the same file system. The service copies into the request
directory, which lies beside the root, as cp copies beside the source.
"""

import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "folder", "e2e"))

from harness import Folder  # noqa: E402


def fill_small(path):
    os.makedirs(path)
    for i in range(1000):
        with open(os.path.join(path, "file-%04d.txt" % i), "wb") as f:
            f.write(os.urandom(512 + i))


def fill_large(path):
    os.makedirs(path)
    for i in range(16):
        with open(os.path.join(path, "big-%02d.bin" % i), "wb") as f:
            f.write(os.urandom(8 << 20))


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        times.append(fn())
    return min(times)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    folder = Folder()
    try:
        folder.hello()
        for name, fill in (("1000 small files", fill_small), ("16 x 8 MiB files", fill_large)):
            source = os.path.join(folder.root, name.split()[0] + "-" + name.split()[1])
            fill(source)
            rel = os.path.basename(source)
            counter = [0]

            def read_dir():
                counter[0] += 1
                id = "bench%d" % counter[0]
                start = time.perf_counter()
                answer = folder.call(folder.request("readDir", id=id, path=rel))
                elapsed = time.perf_counter() - start
                if b'"unreadable":[]' not in answer:
                    raise SystemExit("unexpected answer: %r" % answer[:200])
                shutil.rmtree(os.path.join(folder.request_dir, "files-" + id))
                return elapsed

            def copy():
                target = os.path.join(folder.tmp, "cp-target")
                start = time.perf_counter()
                subprocess.run(["cp", "-r", source, target], check=True)
                elapsed = time.perf_counter() - start
                shutil.rmtree(target)
                return elapsed

            ours = best(read_dir, rounds)
            theirs = best(copy, rounds)
            print("%-18s readDir %8.1f ms   cp -r %8.1f ms   ratio %.2f"
                  % (name, ours * 1000, theirs * 1000, ours / theirs))
    finally:
        folder.close()


if __name__ == "__main__":
    main()
