"""Relaying between an agent and a fake browser through the real vorn-mcp."""

import json
import os
import unittest

from fake_browser import FRAME_LIMIT, compact, tool_error_code
from test_pairing import BridgeCase


def text_of(answer):
    return answer["result"]["content"][0]["text"]


class Relay(BridgeCase):
    def test_session_opening_is_replayed_and_its_second_answer_swallowed(self):
        browser = self.browser()
        agent = self.bridge()
        agent.initialize(id="init")
        self.assertEqual(text_of(agent.call(2, "a")), "a")
        first = browser.ready_connection(0)
        self.assertEqual([m.get("method") for m in first.mcp[:2]],
                         ["initialize", "notifications/initialized"])
        self.assertEqual(first.mcp[0]["id"], "init")
        first.drop()
        agent.stderr_line("vorn-mcp: Vorn closed the connection")
        self.assertEqual(text_of(agent.call(3, "b")), "b")
        second = browser.ready_connection(1)
        self.assertEqual([m.get("method") for m in second.mcp[:3]],
                         ["initialize", "notifications/initialized", "tools/call"])
        # The browser answered both replayed initializes; the agent saw one.
        self.assertEqual(len(agent.responses("init")), 1)

    def test_lost_connection_answers_every_pending_call(self):
        browser = self.browser()
        agent = self.bridge()
        agent.initialize()
        agent.send({"jsonrpc": "2.0", "id": 2, "method": "tools/list"})
        cached = agent.response(2)["result"]
        browser.answering = False
        agent.send({"jsonrpc": "2.0", "id": 3, "method": "tools/call",
                    "params": {"name": "echo", "arguments": {}}})
        agent.send({"jsonrpc": "2.0", "id": 4, "method": "ping"})
        agent.send({"jsonrpc": "2.0", "id": 5, "method": "tools/list"})
        agent.send({"jsonrpc": "2.0", "id": 6, "method": "resources/list"})
        agent.send({"jsonrpc": "2.0", "id": 6.0, "method": "ping"})  # another key than 6
        conn = browser.ready_connection()
        browser.wait_for(lambda: len(conn.mcp) >= 8, what="the forwarded requests")
        conn.drop()
        self.assertEqual(tool_error_code(agent.response(3)), "vorn_disconnected")
        self.assertEqual(agent.response(4)["result"], {})
        self.assertEqual(agent.response(5)["result"], cached)
        error = agent.response(6)["error"]
        self.assertEqual(error["code"], -32000)
        self.assertTrue(error["message"].startswith("vorn_not_running: "), error["message"])
        self.assertEqual(agent.response(6.0)["result"], {})
        self.assertEqual(len(agent.responses(6)), 1)
        self.assertEqual(len(agent.responses(1)), 1)  # nothing for the replayed initialize

    def test_duplicate_ids_leave_one_pending_entry(self):
        browser = self.browser()
        browser.answering = False
        agent = self.bridge()
        agent.initialize()
        for _ in range(2):
            agent.send({"jsonrpc": "2.0", "id": 7, "method": "tools/call",
                        "params": {"name": "echo", "arguments": {}}})
        conn = browser.ready_connection()
        browser.wait_for(lambda: len(conn.mcp) >= 4, what="both calls")
        conn.drop()
        agent.response(7)
        # One more round trip proves that no second answer was on its way.
        browser.answering = True
        agent.stderr_line("vorn-mcp: Vorn closed the connection")
        self.assertEqual(text_of(agent.call(8, "x")), "x")
        self.assertEqual(len(agent.responses(7)), 1)

    def test_tool_changes_reach_the_agent(self):
        browser = self.browser()
        agent = self.bridge()
        agent.initialize()
        agent.call(2)
        browser.announce_tools_changed()
        agent.wait_for(lambda: agent.notifications("notifications/tools/list_changed"),
                       what="the relayed notification")

    def test_new_browser_instance_announces_a_tools_change(self):
        browser = self.browser()
        agent = self.bridge()
        agent.initialize()
        agent.call(2)
        browser.remove_port_file()
        browser.ready_connection().drop()
        agent.stderr_line("vorn-mcp: Vorn closed the connection")
        before = len(agent.notifications("notifications/tools/list_changed"))
        browser.write_port_file(token="ab" * 32)
        agent.wait_for(lambda: len(agent.notifications("notifications/tools/list_changed")) > before,
                       what="the announcement of the new instance")

    def test_offline_listing_is_followed_by_an_announcement_after_connecting(self):
        browser = self.browser(write_port=False)
        browser.hold_parentlock()  # running, agent access off: no launch attempt
        agent = self.bridge()
        agent.initialize()
        agent.send({"jsonrpc": "2.0", "id": 2, "method": "tools/list"})
        self.assertEqual(agent.response(2)["result"], {"tools": []})
        self.assertEqual(agent.notifications("notifications/tools/list_changed"), [])
        browser.write_port_file()
        agent.wait_for(lambda: agent.notifications("notifications/tools/list_changed"),
                       what="the announcement")
        self.assertEqual(text_of(agent.call(3, "on")), "on")

    def test_request_limit_at_the_exact_byte(self):
        browser = self.browser()
        agent = self.bridge()
        agent.initialize()

        def request(id, size):
            message = {"jsonrpc": "2.0", "id": id, "method": "tools/call",
                       "params": {"name": "echo", "arguments": {"text": ""}}}
            pad = size - len(compact({"mcp": message}).encode())
            message["params"]["arguments"]["text"] = "x" * pad
            self.assertEqual(len(compact({"mcp": message}).encode()), size)
            return message, pad

        message, pad = request(2, FRAME_LIMIT)
        agent.send(message)
        self.assertEqual(len(text_of(agent.response(2))), pad)
        agent.send(request(3, FRAME_LIMIT + 1)[0])
        self.assertEqual(tool_error_code(agent.response(3)), "invalid_arguments")
        conn = browser.ready_connection()
        self.assertEqual([m["id"] for m in conn.mcp if m.get("method") == "tools/call"], [2])

    def test_stale_lock_files_are_swept_at_start(self):
        browser = self.browser()
        held = browser.hold_live_lock("live-held.lock")
        for name in ("live-stale.lock", "alive-1.lock"):
            open(os.path.join(self.agents(), name), "w").close()
        agent = self.bridge()
        agent.initialize()
        agent.call(2)
        names = sorted(os.listdir(self.agents()))
        self.assertIn("live-held.lock", names)
        self.assertIn("alive-1.lock", names)
        self.assertNotIn("live-stale.lock", names)
        held.close()


if __name__ == "__main__":
    unittest.main()
