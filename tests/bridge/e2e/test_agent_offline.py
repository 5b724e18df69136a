"""An agent talking to vorn-mcp while no browser runs: the bridge's own
answers, its refusals, and everything an agent can get wrong."""

import json
import os
import threading
import unittest

from bridge_proc import (
    FRAME_LIMIT,
    MODERN,
    NOT_RUNNING,
    TOO_LARGE,
    Bridge,
    compact,
    initialize,
    keys_sorted,
    modern_meta,
    parse_pairs,
    request,
)


class Lifecycle(unittest.TestCase):
    def setUp(self):
        self.bridge = Bridge()
        self.addCleanup(self.bridge.close)

    def test_initialize_then_offline_requests_then_clean_exit(self):
        b = self.bridge
        b.send(initialize(1, "2025-06-18"))
        raw = b.line()
        self.assertTrue(keys_sorted(parse_pairs(raw)), raw)
        answer = json.loads(raw)
        self.assertEqual(answer["id"], 1)
        result = answer["result"]
        self.assertEqual(result["protocolVersion"], "2025-06-18")
        self.assertEqual(result["capabilities"], {"tools": {"listChanged": True}})
        self.assertEqual(result["serverInfo"], {"name": "vorn", "version": "0.1.0-rc.8"})
        self.assertEqual(len(result["instructions"].encode()), 6288)
        b.send({"jsonrpc": "2.0", "method": "notifications/initialized"})

        self.assertEqual(b.ask(request(2, "ping")), {"id": 2, "jsonrpc": "2.0", "result": {}})
        self.assertEqual(
            b.ask(request(3, "tools/list")), {"id": 3, "jsonrpc": "2.0", "result": {"tools": []}}
        )
        called = b.ask(request(4, "tools/call", {"name": "open_tab", "arguments": {}}))
        self.assertEqual(called["id"], 4)
        self.assertTrue(called["result"]["isError"])
        text = json.loads(called["result"]["content"][0]["text"])
        self.assertEqual(text, {"error": "vorn_not_running", "message": NOT_RUNNING})
        self.assertEqual(
            b.ask(request(5, "resources/list")),
            {"error": {"code": -32000, "message": NOT_RUNNING}, "id": 5, "jsonrpc": "2.0"},
        )
        b.close_input()
        self.assertEqual(b.wait_exit(), 0)
        self.assertEqual(b.rest_of_output(), "")
        # The failed start of the browser is reported, not hidden.
        self.assertIn("vorn-mcp: could not start Vorn: ", b.stderr())

    def test_initialize_version_choice_and_second_initialize(self):
        b = self.bridge
        for version, chosen in (
            ("2025-11-25", "2025-11-25"),
            (MODERN, "2025-11-25"),
            (7, "2025-11-25"),
            ("2025-06-18", "2025-06-18"),
        ):
            answer = b.ask(initialize("i-%s" % version, version))
            self.assertEqual(answer["id"], "i-%s" % version)
            self.assertEqual(answer["result"]["protocolVersion"], chosen)
            self.assertNotIn("_meta", answer["result"])
        no_params = b.ask({"jsonrpc": "2.0", "id": 9, "method": "initialize"})
        self.assertEqual(no_params["result"]["protocolVersion"], "2025-11-25")

    def test_requests_before_initialize(self):
        b = self.bridge
        for method in ("ping", "tools/list", "tools/call"):
            self.assertEqual(
                b.ask(request(1, method, {"_meta": {"io.modelcontextprotocol/protocolVersion": "2025-06-18"}})),
                {"error": {"code": -32601, "message": "method not found"}, "id": 1, "jsonrpc": "2.0"},
            )
        # A modern request needs no initialize, and is decorated.
        listed = b.ask(request(2, "tools/list", modern_meta()))
        self.assertEqual(
            listed["result"],
            {
                "_meta": {"io.modelcontextprotocol/serverInfo": {"name": "vorn", "version": "0.1.0-rc.8"}},
                "cacheScope": "private",
                "resultType": "complete",
                "tools": [],
                "ttlMs": 0,
            },
        )
        # Without an initialize only modern requests are served.
        self.assertEqual(b.ask(request(3, "ping"))["error"]["code"], -32601)
        self.assertEqual(b.ask(request(4, "ping", modern_meta()))["result"]["resultType"], "complete")


class ProtocolVersions(unittest.TestCase):
    def setUp(self):
        self.bridge = Bridge()
        self.addCleanup(self.bridge.close)
        self.bridge.ask(initialize(0))

    def ask_meta(self, method, meta):
        return self.bridge.ask(request(1, method, {"_meta": meta}))

    def test_version_refusals(self):
        key = "io.modelcontextprotocol/protocolVersion"
        caps = "io.modelcontextprotocol/clientCapabilities"
        cases = [
            ({key: None}, -32602, "invalid params: " + key),
            ({key: 20260728}, -32602, "invalid params: " + key),
            ({key: MODERN}, -32602, "invalid params: " + caps),
            ({key: MODERN, caps: []}, -32602, "invalid params: " + caps),
            ({key: MODERN, caps: None}, -32602, "invalid params: " + caps),
        ]
        for meta, code, message in cases:
            with self.subTest(meta=meta):
                self.assertEqual(
                    self.ask_meta("tools/list", meta)["error"], {"code": code, "message": message}
                )
        for version in ("2024-11-05", "", "2025-11-25 "):
            with self.subTest(version=version):
                raw_answer = self.bridge.ask(request(1, "ping", {"_meta": {key: version}}))
                self.assertEqual(
                    raw_answer["error"],
                    {
                        "code": -32022,
                        "data": {"requested": version, "supported": ["2025-06-18", "2025-11-25", MODERN]},
                        "message": "Unsupported protocol version",
                    },
                )

    def test_server_discover(self):
        b = self.bridge
        self.assertEqual(
            b.ask(request(1, "server/discover"))["error"],
            {"code": -32602, "message": "invalid params: io.modelcontextprotocol/protocolVersion"},
        )
        found = self.ask_meta("server/discover", {"io.modelcontextprotocol/protocolVersion": "2025-06-18"})
        self.assertEqual(
            sorted(found["result"]),
            ["_meta", "cacheScope", "capabilities", "instructions", "resultType", "supportedVersions", "ttlMs"],
        )
        self.assertEqual(found["result"]["cacheScope"], "public")

    def test_subscriptions_listen(self):
        b = self.bridge
        b.send(request("s1", "subscriptions/listen", dict(modern_meta(), notifications={"toolsListChanged": True})))
        self.assertEqual(
            b.message(),
            {
                "jsonrpc": "2.0",
                "method": "notifications/subscriptions/acknowledged",
                "params": {
                    "_meta": {"io.modelcontextprotocol/subscriptionId": "s1"},
                    "notifications": {"toolsListChanged": True},
                },
            },
        )
        for notifications in ({}, {"toolsListChanged": "yes"}, None):
            params = modern_meta()
            if notifications is not None:
                params["notifications"] = notifications
            b.send(request(["s", 2], "subscriptions/listen", params))
            ack = b.message()
            self.assertEqual(ack["params"]["notifications"], {})
            self.assertEqual(ack["params"]["_meta"]["io.modelcontextprotocol/subscriptionId"], ["s", 2])
        # Unversioned, it is just another request, answered offline.
        self.assertEqual(b.ask(request(3, "subscriptions/listen"))["error"]["code"], -32000)


class BadInput(unittest.TestCase):
    """Whatever the agent writes, it gets its proper answer and the
    session goes on: later requests are still answered in order."""

    def setUp(self):
        self.bridge = Bridge()
        self.addCleanup(self.bridge.close)
        self.bridge.ask(initialize(0))

    def assert_alive(self, id_=99):
        self.assertEqual(self.bridge.ask(request(id_, "ping"))["id"], id_)

    def test_ids_of_every_json_type_are_echoed_as_written(self):
        b = self.bridge
        for raw_id in (
            "1", "1.0", "-7", '"1"', '""', "null", "true", "false", "[1,{\"a\":null}]",
            '{"b":1,"a":2}', "18446744073709551615", "18446744073709551616", "-9223372036854775808",
            "1e300", "0.1", '"\\u00e9\\ud83d\\ude00"',
        ):
            with self.subTest(id=raw_id):
                b.write_raw(('{"id":%s,"jsonrpc":"2.0","method":"ping"}\n' % raw_id).encode())
                line = b.line()
                expected = compact(json.loads(raw_id)) if raw_id not in ("1.0", "1e300", "18446744073709551616") else None
                got_id = line[len('{"id":'): line.index(',"jsonrpc"')]
                if expected is not None:
                    self.assertEqual(got_id, expected)
                if raw_id == "18446744073709551616":
                    # Past 64 bits an integer is a double.
                    self.assertEqual(got_id, "1.8446744073709552e19")
                else:
                    # Whatever the form, it reads back as the same kind.
                    self.assertEqual(type(json.loads(got_id)), type(json.loads(raw_id)))
        self.assert_alive()

    def test_text_that_is_not_json(self):
        b = self.bridge
        parse_error = {"error": {"code": -32700, "message": "parse error"}, "id": None, "jsonrpc": "2.0"}
        for text in (
            b"not json",
            b"{",
            b'{"id":1,"method":"ping"} trailing',
            b"[" * 128 + b"]" * 128,
            b"[" * 100000,
            b'{"a":' * 5000,
            b'"\\ud800"',
            b"\x00",
            b"nul\x00l",
        ):
            with self.subTest(text=text[:40]):
                b.write_raw(text + b"\n")
                self.assertEqual(b.message(), parse_error)
        self.assert_alive()

    def test_json_that_is_not_a_request_gets_no_answer(self):
        b = self.bridge
        for text in (
            b"[" * 127 + b"]" * 127,
            b"5",
            b'"ping"',
            b"null",
            b"[]",
            b"{}",
            b'{"method":"ping"}',
            b'{"id":3,"method":5}',
            b'{"id":4,"method":null}',
            b'{"id":5,"result":{}}',
            b'{"method":"ping","method":"x"}',
            b'{"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}}',
            b'{"jsonrpc":"2.0","method":"notifications/cancelled","params":7}',
        ):
            b.write_raw(text + b"\n")
        # The next answer is the ping's: nothing above produced a line.
        self.assert_alive(42)

    def test_blank_lines_and_line_endings(self):
        b = self.bridge
        b.write_raw(b"\n   \n\t\r\n\r\n \xc2\xa0 \n")
        b.write_raw(b'  {"id":1,"jsonrpc":"2.0","method":"ping"}  \r\n')
        self.assertEqual(b.message()["id"], 1)
        # A carriage return inside the line is part of it; JSON allows it as
        # white space.
        b.write_raw(b'{"id":2,\r"jsonrpc":"2.0","method":"ping"}\r\r\n')
        self.assertEqual(b.message()["id"], 2)

    def test_wrong_types_in_fields_the_bridge_reads(self):
        b = self.bridge
        cases = [
            request(1, "ping", "params as text"),
            request(2, "ping", {"_meta": []}),
            request(3, "ping", {"_meta": "x"}),
            request(4, "tools/list", [1, 2]),
            request(5, "tools/call", {"name": 5, "arguments": "x"}),
            {"jsonrpc": 2, "id": 6, "method": "ping"},
        ]
        for case in cases:
            with self.subTest(case=case):
                answer = b.ask(case)
                self.assertEqual(answer["id"], case["id"])
                self.assertIn("result", answer)
        for params in ({"requestId": {"x": [1]}}, [1], {"requestId": None}, "x"):
            b.send({"jsonrpc": "2.0", "method": "notifications/cancelled", "params": params})
        for params in ({"clientInfo": {"name": 5}}, [1], {"clientInfo": "x", "protocolVersion": None},
                       {"_meta": {"io.modelcontextprotocol/clientInfo": 3}}):
            b.send({"jsonrpc": "2.0", "id": 7, "method": "initialize", "params": params})
            self.assertEqual(b.message()["result"]["protocolVersion"], "2025-11-25")
        self.assert_alive()

    def test_requests_over_the_frame_limit(self):
        b = self.bridge
        # The wrapped frame is {"mcp":<request>}: 8 bytes more than the request.
        def sized(id_, method, total):
            message = request(id_, method, {"arguments": {"pad": ""}, "name": "x"})
            pad = total - 8 - len(compact(message))
            message["params"]["arguments"]["pad"] = "p" * pad
            self.assertEqual(len(compact(message)) + 8, total)
            return message

        at_limit = b.ask(sized(1, "tools/call", FRAME_LIMIT))
        self.assertIn("vorn_not_running", at_limit["result"]["content"][0]["text"])
        over = b.ask(sized(2, "tools/call", FRAME_LIMIT + 1))
        self.assertEqual(
            json.loads(over["result"]["content"][0]["text"]),
            {"error": "invalid_arguments", "message": TOO_LARGE},
        )
        self.assertEqual(
            b.ask(sized(3, "resources/read", FRAME_LIMIT + 1)),
            {"error": {"code": -32000, "message": TOO_LARGE}, "id": 3, "jsonrpc": "2.0"},
        )
        # Ten megabytes in one line, split across many reads.
        huge = request(4, "tools/call", {"name": "x", "arguments": {"pad": "é" * (5 * 1024 * 1024)}})
        self.assertIn("invalid_arguments", b.ask(huge)["result"]["content"][0]["text"])
        b.send({"jsonrpc": "2.0", "method": "notifications/progress", "params": {"pad": "n" * (2 * FRAME_LIMIT)}})
        self.assert_alive()


class HandedOverSession(unittest.TestCase):
    """A session taken over from an older copy, with no browser around."""

    def start(self, record):
        bridge = Bridge(env={"VORN_MCP_RESUME": json.dumps(record)})
        self.addCleanup(bridge.close)
        return bridge

    def test_restored_session_serves_its_cached_tools_at_once(self):
        tools = {"tools": [{"name": "open_tab", "inputSchema": {"type": "object"}}]}
        b = self.start({"initialize": initialize(1), "initialized": True, "tools": tools,
                        "client": "handed", "subscriptions": ["sub"]})
        # No initialize needed: the session is the old one.
        self.assertEqual(b.ask(request(2, "tools/list")), {"id": 2, "jsonrpc": "2.0", "result": tools})
        self.assertEqual(b.ask(request(3, "ping"))["result"], {})
        b.close_input()
        self.assertEqual(b.wait_exit(), 0)
        # It tried the browser before reading any input.
        self.assertIn("vorn-mcp: no usable vorn-agents/port.json in ", b.stderr())

    def test_a_modern_only_session_is_restored_too(self):
        b = self.start({"modern": True, "tools": {"tools": ["t"]}})
        listed = b.ask(request(1, "tools/list", modern_meta()))
        self.assertEqual(listed["result"]["tools"], ["t"])
        # Unversioned requests still need an initialize of their own.
        self.assertEqual(b.ask(request(2, "ping"))["error"]["code"], -32601)

    def test_a_record_without_a_session_keeps_nothing_but_its_start(self):
        b = self.start({"tools": {"tools": ["stale"]}, "client": "x", "started": 5})
        self.assertEqual(b.ask(request(1, "tools/list"))["error"]["code"], -32601)
        b.ask(initialize(2))
        self.assertEqual(b.ask(request(3, "tools/list"))["result"], {"tools": []})


class NonBlockingOutput(unittest.TestCase):
    def test_more_answers_than_the_pipe_holds_all_arrive(self):
        with Bridge(nonblocking_output=True) as b:
            # Written from a thread: the bridge stops reading while it waits
            # for the full pipe, and so would this writer.
            lines = [compact(initialize(0))] + [compact(request(i, "ping")) for i in range(1, 5001)]
            writer = threading.Thread(target=b.write_raw, args=("\n".join(lines).encode() + b"\n",))
            writer.start()
            self.addCleanup(writer.join)
            ids = [b.message()["id"] for _ in lines]
            self.assertEqual(ids, list(range(5001)))
            writer.join()
            b.close_input()
            self.assertEqual(b.wait_exit(), 0)
            self.assertEqual(b.rest_of_output(), "")


class FatalInput(unittest.TestCase):
    def test_invalid_utf8_ends_the_run_after_earlier_answers(self):
        with Bridge() as b:
            b.write_raw(b'{"jsonrpc":"2.0","id":1,"method":"initialize"}\n"\xff"\n{"jsonrpc":"2.0","id":2,"method":"ping"}\n')
            self.assertEqual(b.message()["id"], 1)
            self.assertEqual(b.wait_exit(), 1)
            self.assertEqual(b.rest_of_output(), "")
            self.assertTrue(
                b.stderr().endswith("vorn-mcp: i/o: invalid utf-8 sequence of 1 bytes from index 1\n"),
                b.stderr(),
            )

    def test_agent_that_stops_reading_ends_the_run_with_status_one(self):
        with Bridge() as b:
            b.proc.stdout.close()
            b.write_raw(compact(initialize(1)).encode() + b"\n")
            b.close_input()
            status = b.proc.wait(timeout=60)
            self.assertEqual(status, 1)
            err = b.proc.stderr.read().decode()
            self.assertEqual(err, "vorn-mcp: i/o: Broken pipe (os error 32)\n")

    def test_input_ending_without_newline_still_answers_the_last_line(self):
        with Bridge() as b:
            b.write_raw(compact(initialize(1)).encode() + b"\n" + b'{"jsonrpc":"2.0","id":2,"method":"ping"}')
            b.close_input()
            self.assertEqual(b.message()["id"], 1)
            self.assertEqual(b.message()["id"], 2)
            self.assertEqual(b.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
