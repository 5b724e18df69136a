#!/usr/bin/env python3
"""What vorn-mcp adds to a relayed call, measured against a fake browser.

1. Round trip of a small tools/call: agent -> vorn-mcp -> browser -> back,
   against the same browser spoken to directly over its own paired
   connection. The difference is the bridge's added latency (median, p99).
2. Throughput of 1 MiB tool results relayed to the agent (MB/s), with a few
   calls in flight.
3. Peak RSS of vorn-mcp (VmHWM) after relaying them.

    relay_bench.py [build dir] [small calls] [big calls]
"""

import fcntl
import json
import os
import secrets
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "bridge", "e2e"))
from fake_browser import (FRAME_LIMIT, FakeBrowser, compact, proof, recv_exact,  # noqa: E402
                          recv_frame, send_frame)

BIG_TEXT = FRAME_LIMIT - 200


class BenchBrowser(FakeBrowser):
    """Answers with pre-built bytes so that the browser side stays cheap."""

    def _relay(self, conn):
        sock = conn.sock
        big_tail = ('","type":"text"}]}}}').encode()
        big_body = b'"jsonrpc":"2.0","result":{"content":[{"text":"' + b"x" * BIG_TEXT + big_tail
        while True:
            header = recv_exact(sock, 4)
            if header is None:
                return
            body = recv_exact(sock, struct.unpack(">I", header)[0])
            if body is None:
                return
            message = json.loads(body)["mcp"]
            if "id" not in message or "method" not in message:
                continue
            id_text = compact(message["id"]).encode()
            if message["method"] == "tools/call" and message["params"]["name"] == "big":
                reply = b'{"mcp":{"id":' + id_text + b"," + big_body
            else:
                reply = (b'{"mcp":{"id":' + id_text +
                         b',"jsonrpc":"2.0","result":{"content":[{"text":"ok","type":"text"}]}}}')
            sock.sendall(struct.pack(">I", len(reply)) + reply)


def pair_directly(browser):
    """A connection paired with the browser the way the bridge pairs."""
    sock = socket.create_connection(("127.0.0.1", browser.port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    mine = secrets.token_hex(32)
    send_frame(sock, {"challenge": mine})
    ctl = recv_frame(sock)["ctl"]
    assert ctl["vorn"] == proof(browser.token, "vorn:", mine)
    send_frame(sock, {"hello": 1, "pair": True, "proof": proof(browser.token, "agent:", ctl["challenge"])})
    assert "ready" in recv_frame(sock)["ctl"]
    assert "paired" in recv_frame(sock)["ctl"]  # a fresh pairing is announced at once
    return sock


def cpu_seconds(pid):
    """User and system CPU time of a process, all threads."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def small_call(id):
    return {"jsonrpc": "2.0", "id": id, "method": "tools/call",
            "params": {"name": "echo", "arguments": {"text": "hi"}}}


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * p))]


def direct_round_trips(browser, count):
    sock = pair_directly(browser)
    times = []
    for i in range(count):
        frame = compact({"mcp": small_call(i)}).encode()
        start = time.perf_counter()
        sock.sendall(struct.pack(">I", len(frame)) + frame)
        reply = recv_frame(sock)
        times.append(time.perf_counter() - start)
        assert reply["mcp"]["id"] == i
    sock.close()
    return times


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "..", "build", "default")
    small = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
    big = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    program = os.path.join(build, "bridge", "vorn-mcp")
    work = tempfile.mkdtemp(prefix="vorn-relay-bench-")
    profile = os.path.join(work, "profile")
    os.makedirs(profile)
    browser = BenchBrowser(profile)
    proc = subprocess.Popen([program, "--profile", profile], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, HOME=work))
    try:
        def send(message):
            proc.stdin.write(compact(message).encode() + b"\n")
            proc.stdin.flush()

        def read():
            return proc.stdout.readline()

        send({"jsonrpc": "2.0", "id": "init", "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "bench", "version": "1"}}})
        read()
        send({"jsonrpc": "2.0", "method": "notifications/initialized"})
        for i in range(200):  # warm up both paths
            send(small_call(i))
            read()
        direct_round_trips(browser, 200)

        bridged = []
        for i in range(small):
            line = compact(small_call(i)).encode() + b"\n"
            start = time.perf_counter()
            proc.stdin.write(line)
            proc.stdin.flush()
            read()
            bridged.append(time.perf_counter() - start)
        direct = direct_round_trips(browser, small)

        us = 1e6
        bm, bp = statistics.median(bridged) * us, percentile(bridged, 0.99) * us
        dm, dp = statistics.median(direct) * us, percentile(direct, 0.99) * us
        print("small tools/call round trip over %d calls (microseconds)" % small)
        print("  through vorn-mcp: median %.1f  p99 %.1f" % (bm, bp))
        print("  browser directly: median %.1f  p99 %.1f" % (dm, dp))
        print("  added by vorn-mcp: median %.1f  p99 %.1f" % (bm - dm, bp - dp))

        # Read the big answers in large raw chunks from a large pipe, so the
        # agent side is not what is measured.
        out_fd = proc.stdout.fileno()
        try:
            fcntl.fcntl(out_fd, 1031, 1 << 20)  # F_SETPIPE_SZ
        except OSError:
            pass
        cpu_before = cpu_seconds(proc.pid)
        window = 4
        sent = received = 0
        result_bytes = 0
        start = time.perf_counter()
        while received < big:
            while sent < big and sent - received < window:
                send({"jsonrpc": "2.0", "id": 100000 + sent, "method": "tools/call",
                      "params": {"name": "big", "arguments": {}}})
                sent += 1
            chunk = os.read(out_fd, 1 << 20)
            if not chunk:
                raise RuntimeError("vorn-mcp ended early")
            result_bytes += len(chunk)
            received += chunk.count(b"\n")
        elapsed = time.perf_counter() - start
        cpu = cpu_seconds(proc.pid) - cpu_before
        print("1 MiB tool results: %d relayed, %.1f MB/s to the agent (%d bytes per line)"
              % (big, result_bytes / elapsed / 1e6, result_bytes // big))
        print("  vorn-mcp CPU time: %.2f ms per result, %.1f MB per CPU second"
              % (cpu / big * 1e3, result_bytes / cpu / 1e6 if cpu > 0 else float("inf")))
        with open("/proc/%d/status" % proc.pid) as f:
            hwm = [l.split()[1] for l in f if l.startswith("VmHWM:")][0]
        print("peak RSS of vorn-mcp: %.1f MiB" % (int(hwm) / 1024))
    finally:
        proc.stdin.close()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        browser.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
