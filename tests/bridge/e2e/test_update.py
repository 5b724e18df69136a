"""vorn-mcp hands its session to a new build of its program file in place."""

import fcntl
import json
import os
import struct
import termios
import unittest

from fake_browser import WAIT, FakeBrowser
from launch_support import (BUILD_STAMP, Install, become_subreaper, children, copy_program,
                            inheritable_fds, socket_inodes, wait_until, write_executable)

NEWER = "29991231235959"
INITIALIZED = {"jsonrpc": "2.0", "method": "notifications/initialized"}


def setUpModule():
    become_subreaper()


def write_raw(bridge, data):
    bridge.proc.stdin.write(data)
    bridge.proc.stdin.flush()


def unread_bytes(pipe):
    """Bytes written to `pipe` that its reader has not taken yet."""
    return struct.unpack("i", fcntl.ioctl(pipe.fileno(), termios.FIONREAD, b"\0\0\0\0"))[0]


def ready_connections(browser):
    return [c for c in browser.connections if c.verdict == "ready"]


class UpdateTest(unittest.TestCase):
    def setUp(self):
        self.install = Install(fake_vorn=False)
        self.addCleanup(self.install.close)
        # The successor's image: the same build at another path, so that the
        # process shows which image it runs.
        self.next_dir = os.path.join(self.install.tmp, "next")
        os.mkdir(self.next_dir)
        self.next_binary = os.path.join(self.next_dir, "vorn-mcp")
        copy_program(self.install.program, self.next_binary)
        self.log = os.path.join(self.install.tmp, "runs")
        self.gate = os.path.join(self.install.tmp, "gate")

    def new_build(self, stamp, version_body=None, hold_open=False):
        """Replaces the program file by a script that answers --version with
        `stamp` (after `version_body`) and otherwise runs the successor."""
        text = (
            "#!/bin/sh\n"
            "if [ \"$1\" = --version ]; then\n"
            "  echo \"probe $$\" >> '%s'\n"
            "  %s\n"
            "  echo 'vorn-mcp %s'\n"
            "  exit 0\n"
            "fi\n"
            "echo exec >> '%s'\n"
            "exec '%s' \"$@\"\n"
        ) % (self.log, version_body or ":", stamp, self.log, self.next_binary)
        if not hold_open:
            write_executable(self.install.program, text)
            return None
        # Still open for writing when it takes the program file's place.
        temp = self.install.program + ".new"
        writer = open(temp, "w")
        writer.write(text)
        writer.flush()
        os.chmod(temp, 0o755)
        os.replace(temp, self.install.program)
        return writer

    def runs(self):
        try:
            with open(self.log) as f:
                return [line.split()[0] for line in f]
        except FileNotFoundError:
            return []

    def image(self, bridge):
        return os.readlink("/proc/%d/exe" % bridge.proc.pid)

    def idle_turns(self, bridge, count=2):
        """Waits for `count` idle turns of an unconnected session, each seen as
        the tools-changed notice that a new port.json token causes."""
        browser = self.idle_browser
        for _ in range(count):
            seen = len(bridge.notifications("notifications/tools/list_changed"))
            browser.write_port_file(token=os.urandom(32).hex())
            bridge.wait_for(
                lambda: len(bridge.notifications("notifications/tools/list_changed")) > seen,
                what="an idle turn")

    def unconnected_session(self):
        # A listener that refuses every hello keeps the session unconnected
        # while its port.json lets the test count idle turns.
        self.idle_browser = FakeBrowser(self.install.profile, handshake="close", write_port=False)
        self.addCleanup(self.idle_browser.close)
        bridge = self.install.start()
        bridge.initialize()
        bridge.stderr_line("no usable")  # its connect is over; idle turns follow
        return bridge

    def test_hand_over_keeps_the_session_in_the_same_process(self):
        browser = FakeBrowser(self.install.profile)
        self.addCleanup(browser.close)
        browser.hold_parentlock()
        bridge = self.install.start()
        init = bridge.initialize()
        first = browser.ready_connection(0)
        self.assertEqual(bridge.call(2, text="before")["result"]["content"][0]["text"], "before")
        old_sockets = socket_inodes(bridge.proc.pid)
        self.assertTrue(old_sockets)
        self.assertEqual(inheritable_fds(bridge.proc.pid), [])

        # The probe waits for the test, which meanwhile writes a line that the
        # old image must leave unread for the new one.
        self.new_build(NEWER, version_body=(
            "while [ ! -e '%s' ]; do sleep 0.01; done" % self.gate))
        wait_until(lambda: "probe" in self.runs(), what="the version probe")
        bridge.send({"jsonrpc": "2.0", "id": 3, "method": "tools/call",
                     "params": {"name": "echo", "arguments": {"text": "during"}}})
        open(self.gate, "w").close()

        second = browser.wait_for(lambda: ready_connections(browser)[1:],
                                  what="the successor's connection")[0]
        self.assertEqual(bridge.response(3)["result"]["content"][0]["text"], "during")
        browser.wait_for(lambda: first.closed, what="the old connection to close")
        self.assertEqual(self.image(bridge), self.next_binary)
        self.assertEqual(self.runs(), ["probe", "exec"])

        # The successor replays the session opening, then takes the line.
        opening = second.mcp[:3]
        self.assertEqual(opening[0]["method"], "initialize")
        self.assertEqual(opening[0], first.mcp[0])
        self.assertEqual(opening[1], INITIALIZED)
        self.assertEqual(opening[2]["id"], 3)
        self.assertNotIn(3, [m.get("id") for m in first.mcp])
        # Its client and start time are carried over.
        self.assertEqual(second.hello["launch"]["started"], first.hello["launch"]["started"])
        self.assertEqual(second.hello["launch"]["id"], first.hello["launch"]["id"])

        # No descriptor of the old image survived the exec.
        self.assertFalse(old_sockets & socket_inodes(bridge.proc.pid))
        self.assertEqual(inheritable_fds(bridge.proc.pid), [])
        self.assertEqual(bridge.call(4, text="after")["result"]["content"][0]["text"], "after")
        for id in (1, 2, 3, 4):
            self.assertEqual(len(bridge.responses(id)), 1, id)
        self.assertEqual(bridge.responses(1), [init])
        self.assertEqual(bridge.lines_with("could not"), [])
        self.assertEqual(bridge.close(), 0)

    def test_the_same_build_installed_again_is_not_taken(self):
        bridge = self.unconnected_session()
        self.new_build(BUILD_STAMP)
        wait_until(lambda: "probe" in self.runs(), what="the version probe")
        self.idle_turns(bridge)
        self.assertEqual(self.runs(), ["probe"])
        self.assertEqual(self.image(bridge), os.path.realpath(self.install.program) + " (deleted)")
        self.assertEqual(bridge.close(), 0)

    def test_a_file_still_open_for_writing_is_taken_once_it_is_closed(self):
        bridge = self.unconnected_session()
        writer = self.new_build("20200101000000", hold_open=True)
        self.addCleanup(writer.close)
        # Turns that see the file while it is open cannot run it.
        self.idle_turns(bridge)
        self.assertEqual(self.runs(), [])
        writer.close()
        wait_until(lambda: "exec" in self.runs(), what="the hand-over")
        self.assertEqual(self.runs(), ["probe", "exec"])
        wait_until(lambda: self.image(bridge) == self.next_binary, what="the new image")
        # The successor goes on answering the same session.
        bridge.send({"jsonrpc": "2.0", "id": 9, "method": "ping"})
        self.assertEqual(bridge.response(9)["result"], {})
        self.assertEqual(bridge.close(), 0)

    def test_a_partly_written_line_holds_the_hand_over_back(self):
        bridge = self.unconnected_session()
        write_raw(bridge, b'{"jsonrpc":"2.0","id":9,')
        # Only once the bytes have left the pipe do they sit in the reader's
        # buffer, where a hand-over would lose them.
        wait_until(lambda: unread_bytes(bridge.proc.stdin) == 0, what="the reader to take the bytes")
        self.new_build(NEWER)
        self.idle_turns(bridge)
        self.assertEqual(self.runs(), [])
        write_raw(bridge, b'"method":"ping"}\n')
        self.assertEqual(bridge.response(9)["result"], {})
        wait_until(lambda: self.image(bridge) == self.next_binary, what="the new image")
        self.assertEqual(self.runs(), ["probe", "exec"])
        bridge.send({"jsonrpc": "2.0", "id": 10, "method": "ping"})
        self.assertEqual(bridge.response(10)["result"], {})
        self.assertEqual(bridge.lines_with("parse error"), [])
        self.assertEqual(bridge.close(), 0)

    def test_a_probe_that_never_ends_is_killed_and_not_repeated(self):
        bridge = self.unconnected_session()
        self.new_build(NEWER, version_body="exec sleep 1000")
        wait_until(lambda: "probe" in self.runs(), what="the version probe")
        with open(self.log) as f:
            probe_pid = int(f.read().split()[1])
        # Killed after its time and reaped: no child, not even a zombie.
        wait_until(lambda: not os.path.exists("/proc/%d" % probe_pid), timeout=5 + WAIT,
                   what="the probe to be killed")
        self.assertEqual(children(bridge.proc.pid), [])
        self.idle_turns(bridge)
        self.assertEqual(self.runs(), ["probe"])
        bridge.send({"jsonrpc": "2.0", "id": 9, "method": "ping"})
        self.assertEqual(bridge.response(9)["result"], {})
        self.assertEqual(bridge.close(), 0)


class ResumeRecordTest(unittest.TestCase):
    """What a successor does with the record it finds in VORN_MCP_RESUME."""

    def setUp(self):
        self.install = Install(fake_vorn=False)
        self.addCleanup(self.install.close)
        self.browser = FakeBrowser(self.install.profile)
        self.addCleanup(self.browser.close)

    def start(self, record):
        return self.install.start(extra_env={"VORN_MCP_RESUME": record})

    def test_an_empty_record_starts_afresh_from_time_zero(self):
        bridge = self.start("{}")
        bridge.initialize()
        conn = self.browser.ready_connection(0)
        self.assertEqual(conn.hello["launch"]["started"], 0)
        self.assertEqual(bridge.lines_with("could not take up"), [])
        self.assertEqual(bridge.close(), 0)

    def test_a_record_with_an_extra_key_is_taken_and_reconnects_at_once(self):
        init = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
                "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                           "clientInfo": {"name": "test-agent", "version": "1"}}}
        record = {"initialize": init, "initialized": True, "started": 7,
                  "client": "test-agent", "later_field": [1, 2]}
        bridge = self.start(json.dumps(record))
        # Before the agent writes anything, the browser gets the session back.
        conn = self.browser.ready_connection(0)
        self.browser.wait_for(lambda: len(conn.mcp) >= 2, what="the replayed opening")
        self.assertEqual(conn.mcp[:2], [init, INITIALIZED])
        self.assertEqual(conn.hello["launch"]["started"], 7)
        self.assertEqual(bridge.call(2, text="x")["result"]["content"][0]["text"], "x")
        # The replayed initialize's answer is not the agent's to see.
        self.assertEqual(bridge.responses(1), [])
        self.assertEqual(bridge.close(), 0)

    def test_a_record_with_a_duplicate_field_is_refused(self):
        bridge = self.start('{"modern":true,"modern":false}')
        line = bridge.stderr_line("could not take up")
        self.assertRegex(line, r"^vorn-mcp: could not take up the session it was handed: "
                               r"duplicate field `modern` at line 1 column \d+$")
        bridge.initialize()
        conn = self.browser.ready_connection(0)
        self.assertNotEqual(conn.hello["launch"]["started"], 0)
        self.assertEqual(bridge.close(), 0)


if __name__ == "__main__":
    unittest.main()
