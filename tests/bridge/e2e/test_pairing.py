"""Pairing between the real vorn-mcp and a fake browser."""

import json
import os
import shutil
import stat
import tempfile
import unittest

from fake_browser import (AGENTS_FILE_LIMIT, SANITIZED, BridgeProcess, FakeBrowser, compact,
                          read_text, secret_file, tool_error_code)

# Peak resident memory of a bridge that was shown a huge file: far below the
# file's size, whatever the build.
SMALL_RSS_MIB = 128 if SANITIZED else 32
HUGE = 256 << 20


def write_padded(path, text, size):
    """`text` followed by blanks up to `size` bytes: still valid JSON."""
    with open(path, "w") as f:
        f.write(text + " " * (size - len(text)))


def remove_if_present(path):
    if os.path.lexists(path):
        os.unlink(path)


def write_sparse(path, size):
    with open(path, "w") as f:
        f.truncate(size)


def not_regular_files(path):
    """Ways to put something other than a regular file at `path`: links to
    the reading process's own standard input and output, and a FIFO."""
    return {
        "link to its input": lambda: os.symlink("/proc/self/fd/0", path),
        "link to /dev/stdin": lambda: os.symlink("/dev/stdin", path),
        "link to its output": lambda: os.symlink("/proc/self/fd/1", path),
        "fifo": lambda: os.mkfifo(path, 0o600),
    }


# Calls per way of writing them; enough for a bridge that read its own
# streams even once per call to lose some.
CALLS = 300


class BridgeCase(unittest.TestCase):
    def setUp(self):
        self.profile = os.path.realpath(tempfile.mkdtemp(prefix="vorn-e2e-"))
        self.addCleanup(shutil.rmtree, self.profile, True)
        self.browsers = []
        self.bridges = []

    def tearDown(self):
        for bridge in self.bridges:
            bridge.close()
        for browser in self.browsers:
            browser.close()

    def browser(self, **kwargs):
        b = FakeBrowser(self.profile, **kwargs)
        self.browsers.append(b)
        return b

    def bridge(self, **kwargs):
        p = BridgeProcess(self.profile, **kwargs)
        self.bridges.append(p)
        return p

    def agents(self):
        return os.path.join(self.profile, "vorn-agents")


class Pairing(BridgeCase):
    def test_first_pairing_is_stored_privately_and_reused(self):
        browser = self.browser()
        agent = self.bridge()
        agent.initialize()
        conn = browser.ready_connection()
        hello = conn.hello
        self.assertEqual(hello["hello"], 1)
        self.assertIs(hello["pair"], True)
        self.assertNotIn("agent_id", hello)
        launch = hello["launch"]
        self.assertEqual(sorted(launch), ["build", "dir", "id", "started"])
        self.assertEqual(launch["build"], "20261106100303")

        path = secret_file(self.profile, agent.client)
        self.assertTrue(os.path.basename(path).startswith("secret-"))
        browser.wait_for(lambda: os.path.exists(path), what="the credentials file")
        agent_id, secret = next(iter(browser.known_agents.items()))
        with open(path) as f:
            self.assertEqual(f.read(), json.dumps({"agent_id": agent_id, "secret": secret},
                                                  separators=(",", ":")))
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(self.agents()).st_mode), 0o700)
        self.assertEqual([n for n in os.listdir(self.agents()) if n.endswith(".tmp")], [])

        self.assertEqual(agent.call(2, "hello")["result"]["content"][0]["text"], "hello")
        agent.close()

        # A second bridge of the same account presents the stored pairing.
        again = self.bridge()
        again.initialize()
        hello = browser.ready_connection(1).hello
        self.assertEqual(hello["agent_id"], agent_id)
        self.assertEqual(hello["secret"], secret)
        self.assertNotIn("pair", hello)
        # Another client name is another account with its own file.
        other = self.bridge(client="other-agent")
        other.initialize()
        self.assertIs(browser.ready_connection(2).hello["pair"], True)
        browser.wait_for(lambda: os.path.exists(secret_file(self.profile, "other-agent")),
                         what="the second credentials file")

    def test_a_new_pairing_replaces_the_file_atomically(self):
        os.makedirs(self.agents(), mode=0o755)
        os.chmod(self.agents(), 0o755)
        path = secret_file(self.profile, "test-agent")
        with open(path, "w") as f:
            f.write('{"agent_id":"forgotten","secret":"old"}')
        browser = self.browser()
        agent = self.bridge()
        agent.initialize()
        # The browser no longer knows the stored agent: the bridge deletes the
        # file and pairs afresh on a second connection within the same budget.
        browser.wait_for(lambda: len(browser.connections) >= 2, what="a second connection")
        first, second = browser.connections[0], browser.ready_connection()
        self.assertEqual(first.verdict, "unknown_agent")
        self.assertEqual(first.hello["agent_id"], "forgotten")
        self.assertIs(second.hello["pair"], True)
        agent_id = browser.wait_for(lambda: list(browser.known_agents), what="a pairing")[0]
        browser.wait_for(lambda: os.path.exists(path) and agent_id in read_text(path),
                         what="the new credentials")
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(self.agents()).st_mode), 0o700)
        self.assertEqual(sorted(os.listdir(self.agents())), ["port.json", os.path.basename(path)])

    def test_endless_or_oversized_credentials_are_paired_afresh(self):
        browser = self.browser()
        browser.known_agents["kept"] = "s" * 32
        stored = compact({"agent_id": "kept", "secret": "s" * 32})
        path = secret_file(self.profile, "test-agent")
        cases = {
            "endless": lambda: os.symlink("/dev/zero", path),
            "huge": lambda: write_sparse(path, HUGE),
            # Credentials the browser knows, but one byte past the bound.
            "over the bound": lambda: write_padded(path, stored, AGENTS_FILE_LIMIT + 1),
        }
        for index, (name, make) in enumerate(cases.items()):
            with self.subTest(name):
                make()
                agent = self.bridge()
                agent.initialize()
                hello = browser.ready_connection(index).hello
                self.assertIs(hello.get("pair"), True)
                self.assertNotIn("agent_id", hello)
                self.assertEqual(agent.call(2, "on")["result"]["content"][0]["text"], "on")
                # The new pairing replaces the link or file, not what it named.
                browser.wait_for(lambda: not os.path.islink(path)
                                 and os.path.getsize(path) < 1000, what="the new credentials")
                self.assertLess(agent.peak_rss_mib(), SMALL_RSS_MIB)
                self.assertEqual(agent.close(), 0)
            remove_if_present(path)
        # At the bound the file is still read.
        write_padded(path, stored, AGENTS_FILE_LIMIT)
        agent = self.bridge()
        agent.initialize()
        self.assertEqual(browser.ready_connection(len(cases)).hello.get("agent_id"), "kept")

    def test_credentials_that_are_not_a_regular_file_are_paired_afresh(self):
        browser = self.browser()
        # Refused as outdated, every call connects afresh and so loads the
        # credentials again.
        browser.outdated = True
        path = secret_file(self.profile, "test-agent")
        agent = self.bridge()
        agent.initialize()
        for name, make in not_regular_files(path).items():
            make()
            for one_line in (False, True):
                with self.subTest(name, one_line_at_a_time=one_line):
                    before = len(browser.connections)
                    # A burst whose answers are read only after every call
                    # had its handshake; lines one at a time read as they come.
                    def handled():
                        hellos = [c for c in browser.connections[before:] if c.hello is not None]
                        return len(hellos) >= CALLS
                    answers = agent.call_all(CALLS, one_line,
                                             read_after=None if one_line else handled)
                    self.assertEqual({tool_error_code(a) for a in answers}, {"vorn_mcp_outdated"})
                    hellos = [c.hello for c in browser.connections[before:]]
                    self.assertGreaterEqual(len(hellos), CALLS)
                    self.assertTrue(all(h["pair"] is True and "agent_id" not in h for h in hellos))
            remove_if_present(path)
        # The new pairing replaces a link to the bridge's output rather than
        # writing through it.
        not_regular_files(path)["link to its output"]()
        browser.outdated = False
        self.assertEqual(agent.call(2, "on")["result"]["content"][0]["text"], "on")
        agent_id = browser.wait_for(lambda: list(browser.known_agents), what="a pairing")[0]
        browser.wait_for(lambda: not os.path.islink(path) and agent_id in read_text(path),
                         what="the new credentials")
        self.assertEqual(agent.call(3, "whole")["result"]["content"][0]["text"], "whole")
        self.assertEqual([m for m in agent.messages if "unparsable" in m], [])

    def test_unknown_agent_twice_gives_up(self):
        browser = self.browser()
        browser.verdicts = ["unknown_agent"] * 4
        agent = self.bridge()
        agent.initialize()
        agent.stderr_line("vorn-mcp: could not reach Vorn: protocol: Vorn refused a fresh pairing handshake")
        self.assertEqual(len(browser.connections), 2)
        self.assertIs(browser.connections[1].hello["pair"], True)
        # Each connect has two attempts and no more.
        self.assertEqual(tool_error_code(agent.call(2)), "vorn_not_running")
        self.assertEqual(len(browser.connections), 4)

    def test_outdated_bridge_is_told_so(self):
        browser = self.browser()
        browser.outdated = True
        agent = self.bridge()
        agent.initialize()
        agent.stderr_line("vorn-mcp: could not reach Vorn: Vorn refused this vorn-mcp as outdated")
        self.assertEqual(tool_error_code(agent.call(2)), "vorn_mcp_outdated")
        # Outdated wins over access off, and other methods get -32000.
        agent.send({"jsonrpc": "2.0", "id": 3, "method": "resources/list"})
        error = agent.response(3)["error"]
        self.assertEqual(error["code"], -32000)
        self.assertTrue(error["message"].startswith("vorn_mcp_outdated: "))
        # A later successful pairing clears the flag.
        browser.outdated = False
        self.assertEqual(agent.call(4, "back")["result"]["content"][0]["text"], "back")

    def test_agent_access_off(self):
        browser = self.browser(write_port=False)
        browser.hold_parentlock()
        agent = self.bridge()
        agent.initialize()
        agent.stderr_line("vorn-mcp: no usable vorn-agents/port.json in " + self.profile)
        self.assertEqual(tool_error_code(agent.call(2)), "access_off")
        self.assertEqual(browser.connections, [])

    def test_workspace_and_identity_travel_in_the_hello(self):
        browser = self.browser()
        browser.workspace_on_ready = "/home/u/project"
        agent = self.bridge()
        agent.initialize()
        first = browser.ready_connection()
        self.assertNotIn("workspace", first.hello)
        browser.wait_for(lambda: len(browser.known_agents) == 1, what="pairing")
        agent.call(2)  # the workspace control has been read once this is answered
        first.drop()
        agent.stderr_line("vorn-mcp: Vorn closed the connection")
        agent.call(3)  # reconnects
        second = browser.ready_connection(1)
        self.assertIsNot(first, second)
        self.assertEqual(second.hello["workspace"], "/home/u/project")
        self.assertEqual(second.hello["launch"], first.hello["launch"])


class HostileListener(BridgeCase):
    """Listeners that fail the handshake: the bridge reports, answers offline
    and never sends its own proof to a listener that did not prove itself."""

    def run_against(self, mode, expected):
        browser = self.browser(handshake=mode)
        agent = self.bridge()
        agent.initialize()
        line = agent.stderr_line("vorn-mcp: could not reach Vorn: ", timeout=12)
        self.assertEqual(line, "vorn-mcp: could not reach Vorn: " + expected)
        self.assertEqual(tool_error_code(agent.call(2, timeout=12)), "vorn_not_running")
        return browser

    def test_wrong_or_missing_proof(self):
        for mode in ("wrong_proof", "no_proof"):
            with self.subTest(mode=mode):
                browser = self.run_against(mode, "protocol: the listener did not prove it is Vorn")
                self.assertTrue(all(c.hello is None for c in browser.connections))
                self.tearDown()
                self.browsers, self.bridges = [], []

    def test_unusable_challenge(self):
        browser = self.run_against("bad_challenge", "protocol: Vorn sent no usable challenge")
        self.assertTrue(all(c.hello is None for c in browser.connections))

    def test_broken_frames(self):
        self.run_against("huge_frame", "i/o: declared frame exceeds the limit")
        self.tearDown()
        self.browsers, self.bridges = [], []
        browser = self.browser(handshake="broken_frame")
        agent = self.bridge()
        agent.initialize()
        self.assertTrue(agent.stderr_line("could not reach Vorn: i/o: ").startswith(
            "vorn-mcp: could not reach Vorn: i/o: "))

    def test_listener_that_closes(self):
        self.run_against("close", "protocol: the listener closed before answering")

    def test_silent_listener_is_given_up_after_the_budget(self):
        # The receive time-out set to what is left of the 5 s budget expires.
        self.run_against("silent", "i/o: Resource temporarily unavailable (os error 11)")

    def test_uppercase_proof_is_a_proof(self):
        browser = self.browser(handshake="upper_proof")
        agent = self.bridge()
        agent.initialize()
        self.assertEqual(agent.call(2, "ok")["result"]["content"][0]["text"], "ok")
        self.assertEqual(browser.ready_connection().verdict, "ready")


class PortFileChecks(BridgeCase):
    def test_unusable_port_files(self):
        browser = self.browser(write_port=False)
        token = browser.token
        bad = [
            '{"token":"%s","port":%d}' % (token[:63], browser.port),
            '{"token":"%s","port":%d}' % (token.upper(), browser.port),
            '{"token":"%s","port":65536}' % token,
            '{"token":"%s","port":-1}' % token,
            '{"token":"%s","port":%d.5}' % (token, browser.port),
            '{"token":"%s","port":"%d"}' % (token, browser.port),
            '{"token":7,"port":%d}' % browser.port,
            'not json',
        ]
        agent = self.bridge()
        agent.initialize()
        for i, text in enumerate(bad):
            with self.subTest(text=text):
                browser.write_port_file(raw=text)
                before = len(agent.stderr_lines)
                self.assertEqual(tool_error_code(agent.call(10 + i)), "vorn_not_running")
                agent.wait_for(lambda: any("no usable vorn-agents/port.json" in l
                                           for l in agent.stderr_lines[before:]),
                               what="the port file complaint")
        self.assertEqual(browser.connections, [])
        # Extra keys are fine.
        browser.write_port_file(raw='{"extra":[1],"port":%d,"token":"%s"}' % (browser.port, token))
        self.assertEqual(agent.call(99, "yes")["result"]["content"][0]["text"], "yes")

    def test_endless_or_oversized_port_files(self):
        browser = self.browser(write_port=False)
        path = os.path.join(self.agents(), "port.json")
        good = compact({"port": browser.port, "token": browser.token})
        cases = {
            "endless": lambda: os.symlink("/dev/zero", path),
            "huge": lambda: write_sparse(path, HUGE),
            "over the bound": lambda: write_padded(path, good, AGENTS_FILE_LIMIT + 1),
        }
        agent = self.bridge()
        agent.initialize()
        for index, (name, make) in enumerate(cases.items()):
            with self.subTest(name):
                make()
                before = len(agent.stderr_lines)
                self.assertEqual(tool_error_code(agent.call(10 + index)), "vorn_not_running")
                agent.wait_for(lambda: any("no usable vorn-agents/port.json" in l
                                           for l in agent.stderr_lines[before:]),
                               what="the port file complaint")
            remove_if_present(path)
        self.assertEqual(browser.connections, [])
        self.assertLess(agent.peak_rss_mib(), SMALL_RSS_MIB)
        # At the bound the file is still read, and the session goes on.
        write_padded(path, good, AGENTS_FILE_LIMIT)
        self.assertEqual(agent.call(99, "yes")["result"]["content"][0]["text"], "yes")

    def test_port_file_that_is_not_a_regular_file(self):
        browser = self.browser(write_port=False)
        path = os.path.join(self.agents(), "port.json")
        agent = self.bridge()
        agent.initialize()
        complaint = "vorn-mcp: no usable vorn-agents/port.json in " + self.profile
        for name, make in not_regular_files(path).items():
            make()
            for one_line in (False, True):
                with self.subTest(name, one_line_at_a_time=one_line):
                    with agent.cond:
                        before = len(agent.stderr_lines)

                    def complained():
                        with agent.cond:
                            return agent.stderr_lines[before:].count(complaint) >= CALLS
                    # A burst whose answers are read only after every call
                    # was handled; lines one at a time read as they come.
                    answers = agent.call_all(CALLS, one_line,
                                             read_after=None if one_line else complained)
                    self.assertEqual({tool_error_code(a) for a in answers}, {"vorn_not_running"})
                    agent.wait_for(complained, what="a complaint per call")
            remove_if_present(path)
        self.assertEqual(browser.connections, [])
        browser.write_port_file()
        self.assertEqual(agent.call(99, "yes")["result"]["content"][0]["text"], "yes")


if __name__ == "__main__":
    unittest.main()
