"""The official MCP SDK client talks to a fake browser through vorn-mcp."""

import os
import shutil
import subprocess
import unittest

from fake_browser import WAIT
from test_pairing import BridgeCase

INTEROP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "interop")


class SdkClient(BridgeCase):
    def test_lists_calls_and_hears_tool_changes(self):
        node = shutil.which("node")
        if node is None:
            self.skipTest("node is not installed")
        if not os.path.isdir(os.path.join(INTEROP, "node_modules", "@modelcontextprotocol", "sdk")):
            self.skipTest("the MCP SDK is not installed in tests/bridge/interop (npm ci there)")
        browser = self.browser()

        def announce_after(conn, message):
            if message.get("params", {}).get("arguments", {}).get("text") == "announce":
                browser.announce_tools_changed(conn)
        browser.after_answer = announce_after

        env = dict(os.environ, VORN_INTEROP_PROFILE=self.profile)
        env.pop("VORN_MCP_RESUME", None)
        run = subprocess.run([node, "browser_interop.mjs"], cwd=INTEROP, env=env,
                             capture_output=True, text=True, timeout=6 * WAIT)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        calls = [m for c in browser.connections for m in c.mcp
                 if isinstance(m, dict) and m.get("method") == "tools/call"]
        self.assertEqual(len(calls), 2)


if __name__ == "__main__":
    unittest.main()
