"""vorn-mcp starts the browser for a tool call and holds the call until the
browser listens."""

import os
import unittest

from fake_browser import WAIT, tool_error_code
from launch_support import Install, become_subreaper, children, wait_until

SIGPIPE_BIT = 1 << (13 - 1)
NO_SUCH_FILE = "vorn-mcp: could not start Vorn: No such file or directory (os error 2)"


def setUpModule():
    become_subreaper()


class LaunchTest(unittest.TestCase):
    def setUp(self):
        self.install = Install()
        self.addCleanup(self.install.close)

    def test_tool_call_starts_the_browser_once_and_is_forwarded_when_it_listens(self):
        # Started through a link elsewhere: `vorn` is looked for beside the
        # real program file, not beside the link.
        elsewhere = os.path.join(self.install.tmp, "elsewhere")
        os.mkdir(elsewhere)
        link = os.path.join(elsewhere, "vorn-mcp")
        os.symlink(self.install.program, link)
        bridge = self.install.start(program=link, mode="browser", extra_env={
            "ZAX_GFX_DEBUG": "1", "ZAX_OTHER": "x", "ZAX_ENABLE_WAYLAND": "1",
            "ZAXIS": "kept", "zax_lower": "kept", "XDG_ACTIVATION_TOKEN": "t",
            "DESKTOP_STARTUP_ID": "inherited", "VORN_MCP_RESUME": "{}",
        })
        bridge.initialize()
        answer = bridge.call(2, text="first")
        self.assertEqual(answer["result"]["content"][0]["text"], "first")
        # The browser now runs on the profile: the next call goes straight on.
        answer = bridge.call(3, text="second")
        self.assertEqual(answer["result"]["content"][0]["text"], "second")

        [report] = self.install.reports()
        pid = bridge.proc.pid
        self.assertEqual(report["args"], ["--profile", self.install.profile])
        self.assertEqual(report["argv0"], os.path.join(self.install.bin, "vorn"))
        self.assertEqual(report["cwd"], self.install.tmp)
        env = report["env"]
        self.assertEqual(env["DESKTOP_STARTUP_ID"], "vorn-mcp-%d_TIME1" % pid)
        self.assertEqual(env["ZAX_ENABLE_WAYLAND"], "1")
        self.assertEqual(env["ZAXIS"], "kept")
        self.assertEqual(env["zax_lower"], "kept")
        for gone in ("ZAX_GFX_DEBUG", "ZAX_OTHER", "XDG_ACTIVATION_TOKEN", "VORN_MCP_RESUME"):
            self.assertNotIn(gone, env)
        self.assertEqual(report["fds"], {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"})
        self.assertEqual(report["pgid"], report["pid"])
        self.assertNotEqual(report["pgid"], os.getpgid(pid))
        self.assertEqual(int(report["sigign"], 16) & SIGPIPE_BIT, 0)
        self.assertEqual(bridge.close(), 0)

    def test_a_missing_browser_is_reported_once_and_not_tried_again_soon(self):
        os.unlink(os.path.join(self.install.bin, "vorn"))
        bridge = self.install.start()
        bridge.initialize()
        answer = bridge.call(2)
        self.assertEqual(tool_error_code(answer), "vorn_not_running")
        # Standard error is read on its own thread: wait for the line.
        self.assertEqual(bridge.stderr_line("could not start Vorn"), NO_SUCH_FILE)
        # The failed start left no child behind.
        self.assertEqual(children(bridge.proc.pid), [])

        # With a browser in place now, a call within 30 seconds still starts
        # nothing and is answered at once.
        self.install.install_fake_vorn()
        answer = bridge.call(3)
        self.assertEqual(tool_error_code(answer), "vorn_not_running")
        self.assertEqual(self.install.reports(), [])
        self.assertEqual(len(bridge.lines_with("could not start Vorn")), 1)
        self.assertEqual(bridge.close(), 0)

    def test_closed_input_still_forwards_the_queued_call_when_the_browser_comes_up(self):
        gate = os.path.join(self.install.tmp, "gate")
        bridge = self.install.start(mode="browser", extra_env={"FAKE_VORN_GATE": gate})
        bridge.initialize()
        bridge.send({"jsonrpc": "2.0", "id": 7, "method": "tools/call",
                     "params": {"name": "echo", "arguments": {"text": "queued"}}})
        wait_until(self.install.reports, what="the browser's start")
        bridge.proc.stdin.close()
        open(gate, "w").close()
        answer = bridge.response(7)
        self.assertEqual(answer["result"]["content"][0]["text"], "queued")
        # The browser sees the end of input and closes; the bridge then ends.
        self.assertEqual(bridge.proc.wait(timeout=WAIT), 0)

    def test_a_browser_that_never_listens_gets_the_calls_answered_after_the_wait(self):
        bridge = self.install.start(mode="exit")
        bridge.initialize()
        for id in (4, 5):
            bridge.send({"jsonrpc": "2.0", "id": id, "method": "tools/call",
                         "params": {"name": "echo", "arguments": {}}})
        wait_until(self.install.reports, what="the browser's start")
        # The browser has ended; the bridge collects it instead of keeping a
        # zombie for the rest of the session.
        wait_until(lambda: children(bridge.proc.pid) == [], what="the ended browser to be reaped")
        bridge.proc.stdin.close()
        answers = [bridge.response(id, timeout=30 + WAIT) for id in (4, 5)]
        self.assertEqual([tool_error_code(a) for a in answers], ["vorn_not_running"] * 2)
        self.assertEqual(len(self.install.reports()), 1)
        self.assertEqual(bridge.proc.wait(timeout=WAIT), 0)

    def test_a_resume_text_that_is_not_utf8_is_left_for_the_browser(self):
        env = {k.encode(): v.encode() for k, v in self.install.env("browser").items()}
        env[b"VORN_MCP_RESUME"] = b'{"modern":\xff}'
        bridge = self.install.start(env=env)
        bridge.initialize()
        self.assertEqual(bridge.call(2, text="x")["result"]["content"][0]["text"], "x")
        [report] = self.install.reports()
        self.assertEqual(report["env"]["VORN_MCP_RESUME"], '{"modern":\xff}')
        self.assertEqual(bridge.lines_with("could not take up"), [])


if __name__ == "__main__":
    unittest.main()
