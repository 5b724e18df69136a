"""How a session ends when the agent closes its input while the bridge is
connected: the browser sees the end of input, what it still answers reaches
the agent, and its closing ends the bridge quietly with status 0."""

import unittest

from fake_browser import tool_error_code
from test_pairing import BridgeCase


class EndWhileConnected(BridgeCase):
    def close_input(self, agent):
        agent.proc.stdin.close()
        return agent.proc.wait(timeout=60)

    def test_answers_still_reach_the_agent_after_its_input_ended(self):
        browser = self.browser()
        agent = self.bridge()
        agent.initialize()
        conn = browser.ready_connection(0)
        agent.send({"jsonrpc": "2.0", "id": 2, "method": "tools/call",
                    "params": {"name": "echo", "arguments": {"text": "late"}}})
        # The browser answers, then sees the end of the agent's input and
        # closes; the bridge relays the answer and ends.
        self.assertEqual(self.close_input(agent), 0)
        answer = agent.response(2)
        self.assertEqual(answer["result"]["content"][0]["text"], "late")
        browser.wait_for(lambda: conn.closed, what="the browser's end of the connection")
        agent.wait_for(lambda: agent.proc.returncode is not None)
        self.assertEqual([l for l in agent.stderr_lines if "closed the connection" in l
                          or "lost Vorn" in l], [])

    def test_a_call_left_unanswered_is_reported_as_disconnected(self):
        browser = self.browser()
        browser.answering = False
        agent = self.bridge()
        agent.initialize()
        browser.ready_connection(0)
        agent.send({"jsonrpc": "2.0", "id": 3, "method": "tools/call",
                    "params": {"name": "echo", "arguments": {"text": "never"}}})
        self.assertEqual(self.close_input(agent), 0)
        self.assertEqual(tool_error_code(agent.response(3)), "vorn_disconnected")
        self.assertEqual([l for l in agent.stderr_lines if "closed the connection" in l], [])


if __name__ == "__main__":
    unittest.main()
