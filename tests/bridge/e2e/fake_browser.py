"""A fake Vorn browser and an agent-side driver for vorn-mcp.

FakeBrowser plays the browser's side of the agent connection: it keeps
`port.json` in the profile's `vorn-agents` directory, listens on 127.0.0.1,
proves itself over the bridge's challenge, checks the bridge's proof, answers
the hello (ready, refused "outdated" or refused "unknown_agent"), issues
pairings, sends `paired`/`workspace` controls and tool-change notifications,
answers or ignores forwarded requests and can drop a connection mid-call. It
can also hold the profile's `.parentlock` (POSIX record lock) and
`live-*.lock` files (flock), as the real browser does.

BridgeProcess starts the real vorn-mcp with pipes and reads its output lines
on a thread, so tests wait for events with a bound instead of sleeping.
"""

import fcntl
import hashlib
import hmac
import json
import os
import secrets
import socket
import struct
import subprocess
import threading
import time

FRAME_LIMIT = 1048576
SANITIZED = os.environ.get("VORN_SANITIZE") == "1"
WAIT = 15.0 if SANITIZED else 8.0
# The most the bridge reads of port.json or a credentials file.
AGENTS_FILE_LIMIT = 64 * 1024


def compact(value):
    """The bridge's compact JSON text: sorted keys, no white space."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def same_id(a, b):
    """Ids match by their JSON text, so 6 and 6.0 stay apart."""
    return compact(a) == compact(b)


def proof(token, label, challenge):
    return hmac.new(token.encode(), (label + challenge).encode(), hashlib.sha256).hexdigest()


def short_digest(text):
    return hashlib.sha256(text.encode()).hexdigest()[:32]


def account_text(profile, client):
    return compact([str(profile), client])


def secret_file(profile, client):
    return os.path.join(profile, "vorn-agents",
                        "secret-" + short_digest(account_text(profile, client)) + ".json")


def send_frame(sock, value):
    body = compact(value).encode()
    sock.sendall(struct.pack(">I", len(body)) + body)


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def recv_frame(sock):
    """One decoded frame, or None when the peer closed or broke the stream."""
    header = recv_exact(sock, 4)
    if header is None:
        return None
    (length,) = struct.unpack(">I", header)
    if length > FRAME_LIMIT:
        return None
    body = recv_exact(sock, length)
    if body is None:
        return None
    return json.loads(body)


def read_text(path):
    with open(path) as f:
        return f.read()


def wait_until(condition, timeout=WAIT, what="condition"):
    """Polls `condition` until it gives a true value or the bound passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


def wait_on(cond, condition, timeout, what, detail=lambda: ""):
    """Waits on `cond` (held while testing) until `condition` gives a true
    value, or fails once the bound has passed."""
    deadline = time.monotonic() + timeout
    with cond:
        while True:
            value = condition()
            if value:
                return value
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out waiting for " + what + detail())
            cond.wait(min(left, 0.05))


class Connection:
    """One accepted connection and what travelled on it."""

    def __init__(self, sock):
        self.sock = sock
        self.challenge = None  # the bridge's challenge
        self.hello = None
        self.verdict = None
        self.mcp = []  # MCP messages the bridge sent after ready
        self.closed = False
        self.lock = threading.Lock()

    def send(self, value):
        with self.lock:
            send_frame(self.sock, value)

    def drop(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class FakeBrowser:
    """See the module's description. `handshake` chooses a misbehaviour:
    None (honest), "wrong_proof", "no_proof", "upper_proof", "bad_challenge",
    "huge_frame", "broken_frame", "silent", "close"."""

    def __init__(self, profile, handshake=None, write_port=True):
        self.profile = str(profile)
        self.agents = os.path.join(self.profile, "vorn-agents")
        os.makedirs(self.agents, exist_ok=True)
        self.token = secrets.token_hex(32)
        self.handshake = handshake
        self.verdicts = []  # forced verdicts for the next connections, in order
        self.outdated = False
        self.known_agents = {}  # agent_id -> secret
        self.tools = [{"name": "echo", "description": "Echo the text back",
                       "inputSchema": {"type": "object",
                                       "properties": {"text": {"type": "string"}}}}]
        self.answering = True  # False: forwarded requests get no answer
        self.answer_initialize = True
        self.workspace_on_ready = None
        self.after_answer = None  # called with (connection, request) after each answer
        self.connections = []
        self.cond = threading.Condition()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.lock_files = []
        self.running = True
        self.thread = threading.Thread(target=self._accept_loop, daemon=True)
        self.thread.start()
        if write_port:
            self.write_port_file()

    # -- files of the profile ------------------------------------------------

    def write_port_file(self, token=None, port=None, raw=None):
        if token is not None:
            self.token = token
        text = raw if raw is not None else compact(
            {"port": self.port if port is None else port, "token": self.token})
        path = os.path.join(self.agents, "port.json")
        with open(path + ".tmp", "w") as out:
            out.write(text)
        os.replace(path + ".tmp", path)

    def remove_port_file(self):
        try:
            os.unlink(os.path.join(self.agents, "port.json"))
        except FileNotFoundError:
            pass

    def hold_parentlock(self):
        """Marks the profile as in use, as a running browser does."""
        f = open(os.path.join(self.profile, ".parentlock"), "a+")
        fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.lock_files.append(f)
        return f

    def hold_live_lock(self, name="live-1.lock"):
        f = open(os.path.join(self.agents, name), "a+")
        fcntl.flock(f, fcntl.LOCK_SH)
        self.lock_files.append(f)
        return f

    # -- the listener ------------------------------------------------------

    def close(self):
        self.running = False
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        for conn in list(self.connections):
            conn.drop()
            conn.sock.close()
        for f in self.lock_files:
            f.close()
        self.thread.join(timeout=WAIT)

    def _accept_loop(self):
        while self.running:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            conn = Connection(sock)
            with self.cond:
                self.connections.append(conn)
                self.cond.notify_all()
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _changed(self):
        with self.cond:
            self.cond.notify_all()

    def wait_for(self, condition, timeout=WAIT, what="browser condition"):
        return wait_on(self.cond, condition, timeout, what)

    def ready_connection(self, index=None, timeout=WAIT):
        """Waits for the index-th connection answered "ready" (counting closed
        ones), or by default for the latest one that is still open."""
        def found():
            ready = [c for c in self.connections if c.verdict == "ready"]
            if index is None:
                open_ones = [c for c in ready if not c.closed]
                return open_ones[-1] if open_ones else None
            return ready[index] if len(ready) > index else None
        return self.wait_for(found, timeout, "a ready connection")

    def _serve(self, conn):
        try:
            self._handshake(conn)
            if conn.verdict == "ready":
                self._relay(conn)
        except (OSError, ValueError):
            pass
        finally:
            conn.closed = True
            try:
                conn.sock.close()
            except OSError:
                pass
            self._changed()

    def _handshake(self, conn):
        first = recv_frame(conn.sock)
        if first is None:
            return
        conn.challenge = first.get("challenge")
        self._changed()
        mode = self.handshake
        if mode == "silent":
            recv_frame(conn.sock)  # until the bridge gives up and closes
            return
        if mode == "close":
            return
        if mode == "huge_frame":
            conn.sock.sendall(struct.pack(">I", FRAME_LIMIT + 1) + b"{")
            recv_frame(conn.sock)
            return
        if mode == "broken_frame":
            conn.sock.sendall(struct.pack(">I", 5) + b"{\"ctl")
            recv_frame(conn.sock)
            return
        ours = secrets.token_hex(32)
        my_proof = proof(self.token, "vorn:", conn.challenge)
        if mode == "wrong_proof":
            my_proof = proof(self.token, "agent:", conn.challenge)
        elif mode == "upper_proof":
            my_proof = my_proof.upper()
        ctl = {"challenge": ours.upper() if mode == "bad_challenge" else ours}
        if mode != "no_proof":
            ctl["vorn"] = my_proof
        conn.send({"ctl": ctl})
        hello = recv_frame(conn.sock)
        conn.hello = hello
        self._changed()
        if hello is None:
            return
        if not hmac.compare_digest(hello.get("proof", ""), proof(self.token, "agent:", ours)):
            conn.verdict = "bad_proof"
            return
        verdict = self.verdicts.pop(0) if self.verdicts else None
        if verdict is None:
            if self.outdated:
                verdict = "outdated"
            elif "agent_id" in hello and self.known_agents.get(hello["agent_id"]) != hello.get("secret"):
                verdict = "unknown_agent"
            else:
                verdict = "ready"
        if verdict == "ready":
            conn.send({"ctl": {"ready": "vorn-test"}})
            conn.verdict = "ready"
            if hello.get("pair") is True:
                agent_id, secret = "agent-" + secrets.token_hex(4), secrets.token_hex(16)
                self.known_agents[agent_id] = secret
                conn.send({"ctl": {"paired": {"agent_id": agent_id, "secret": secret}}})
            if self.workspace_on_ready is not None:
                conn.send({"ctl": {"workspace": self.workspace_on_ready}})
        else:
            conn.send({"ctl": {"refused": verdict}})
            conn.verdict = verdict
            recv_frame(conn.sock)
        self._changed()

    def answer(self, message):
        """The browser's answer to one forwarded request (None: no answer)."""
        method = message.get("method")
        if method == "initialize":
            result = {"protocolVersion": "2025-06-18", "capabilities": {"tools": {}},
                      "serverInfo": {"name": "vorn-browser", "version": "1"}}
        elif method == "tools/list":
            result = {"tools": self.tools}
        elif method == "tools/call":
            args = message.get("params", {}).get("arguments", {})
            result = {"content": [{"type": "text", "text": str(args.get("text", ""))}]}
        elif method == "ping":
            result = {}
        else:
            return {"jsonrpc": "2.0", "id": message["id"],
                    "error": {"code": -32601, "message": "method not found"}}
        return {"jsonrpc": "2.0", "id": message["id"], "result": result}

    def _relay(self, conn):
        while True:
            frame = recv_frame(conn.sock)
            if frame is None:
                return
            message = frame.get("mcp")
            with self.cond:
                conn.mcp.append(message)
                self.cond.notify_all()
            if not isinstance(message, dict) or "id" not in message or "method" not in message:
                continue
            if message["method"] == "initialize" and not self.answer_initialize:
                continue
            if self.answering:
                reply = self.answer(message)
                if reply is not None:
                    conn.send({"mcp": reply})
                if self.after_answer is not None:
                    self.after_answer(conn, message)

    def announce_tools_changed(self, conn=None):
        (conn or self.ready_connection()).send(
            {"mcp": {"jsonrpc": "2.0", "method": "notifications/tools/list_changed"}})


class BridgeProcess:
    """The real vorn-mcp, driven as an agent program drives it."""

    def __init__(self, profile, client="test-agent", extra_env=None):
        build = os.environ.get("VORN_BUILD_DIR")
        if not build:
            raise RuntimeError("VORN_BUILD_DIR is not set")
        self.program = os.path.join(build, "bridge", "vorn-mcp")
        self.client = client
        env = dict(os.environ)
        env.pop("VORN_MCP_RESUME", None)
        env.update(extra_env or {})
        self.proc = subprocess.Popen(
            [self.program, "--profile", str(profile)], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.messages = []
        self.stderr_lines = []
        self.cond = threading.Condition()
        self.threads = [threading.Thread(target=self._read, args=(self.proc.stdout, self.messages), daemon=True),
                        threading.Thread(target=self._read, args=(self.proc.stderr, self.stderr_lines), daemon=True)]
        for t in self.threads:
            t.start()

    # When set, output is read only while this event is set; the answers wait
    # in the pipe meanwhile.
    _output_gate = None

    def _read(self, stream, into):
        while True:
            gate = self._output_gate
            if gate is not None and into is self.messages:
                gate.wait()
            raw = stream.readline()
            if not raw:
                return
            line = raw.decode("utf-8", "replace").rstrip("\n")
            value = line
            if into is self.messages:
                try:
                    value = json.loads(line)
                except ValueError:
                    # A torn line is kept for the test to see, and reading goes on.
                    value = {"unparsable": line}
            with self.cond:
                into.append(value)
                self.cond.notify_all()

    def send(self, message):
        data = message if isinstance(message, (bytes, str)) else compact(message)
        if isinstance(data, str):
            data = data.encode()
        self.proc.stdin.write(data + b"\n")
        self.proc.stdin.flush()

    def wait_for(self, condition, timeout=WAIT, what="bridge condition"):
        return wait_on(self.cond, condition, timeout, what,
                       lambda: "; stderr: %r; out: %.2000r" % (self.stderr_lines, self.messages))

    def response(self, id, timeout=WAIT):
        def found():
            hits = [m for m in self.messages if "method" not in m and same_id(m.get("id"), id)]
            return hits[0] if hits else None
        return self.wait_for(found, timeout, "the answer to " + repr(id))

    def responses(self, id):
        with self.cond:
            return [m for m in self.messages if "method" not in m and same_id(m.get("id"), id)]

    def notifications(self, method):
        with self.cond:
            return [m for m in self.messages if m.get("method") == method and "id" not in m]

    def stderr_line(self, text, timeout=WAIT):
        return self.wait_for(lambda: [l for l in self.stderr_lines if text in l], timeout,
                             "stderr line " + repr(text))[0]

    def initialize(self, id=1, initialized=True):
        self.send({"jsonrpc": "2.0", "id": id, "method": "initialize",
                   "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                              "clientInfo": {"name": self.client, "version": "1"}}})
        answer = self.response(id)
        if initialized:
            self.send({"jsonrpc": "2.0", "method": "notifications/initialized"})
        return answer

    def call_all(self, count, one_line_at_a_time=False, read_after=None, timeout=WAIT):
        """Sends `count` tools/calls (ids "c0", "c1", ...) in one write, or in
        one write per line, then a ping, and returns the calls' answers in id
        order. With `read_after`, a condition that holds once the bridge has
        handled every call, the answers stay unread in the output pipe until
        then, as with an agent that reads only after it has written all.
        Meant for calls that the bridge answers itself: those answers come
        before the ping's, so once that is in, each call must have been
        answered exactly once and every line of output must have been whole."""
        ids = ["c%d" % i for i in range(count)]
        lines = [compact({"jsonrpc": "2.0", "id": id, "method": "tools/call",
                          "params": {"name": "echo", "arguments": {"text": "hi"}}}).encode() + b"\n"
                 for id in ids]
        lines.append(compact({"jsonrpc": "2.0", "id": "last", "method": "ping"}).encode() + b"\n")
        # Well below a pipe's capacity, so no write waits on the bridge.
        assert sum(map(len, lines)) < 60000
        with self.cond:
            start = len(self.messages)
        if read_after is not None:
            # Room for every answer, so the bridge never waits on the pipe.
            fcntl.fcntl(self.proc.stdout.fileno(), fcntl.F_SETPIPE_SZ, max(count * 1024, 1 << 16))
            self._output_gate = threading.Event()
        try:
            if one_line_at_a_time:
                for line in lines:
                    self.proc.stdin.write(line)
                    self.proc.stdin.flush()
            else:
                self.proc.stdin.write(b"".join(lines))
                self.proc.stdin.flush()
            if read_after is not None:
                wait_until(read_after, timeout * 4, "the bridge to handle all %d calls" % count)
        finally:
            if self._output_gate is not None:
                self._output_gate.set()
                self._output_gate = None

        def answered():
            seen = {m.get("id") for m in self.messages[start:]}
            return "last" in seen and seen.issuperset(ids)
        try:
            self.wait_for(answered, timeout * 4, "answers to all %d calls" % count)
        except AssertionError:
            with self.cond:
                seen = {m.get("id") for m in self.messages[start:]}
            raise AssertionError("%d of %d calls unanswered, ping %s; %d unparsable lines" % (
                len(set(ids) - seen), count, "answered" if "last" in seen else "unanswered",
                sum("unparsable" in m for m in self.messages[start:]))) from None
        with self.cond:
            got = self.messages[start:]
        broken = [m for m in got if "unparsable" in m]
        if broken:
            raise AssertionError("%d torn lines of output, such as %.200r"
                                 % (len(broken), broken[0]))
        answers = {}
        for m in got:
            if "method" not in m:
                answers.setdefault(m.get("id"), []).append(m)
        twice = [id for id, hits in answers.items() if len(hits) != 1]
        if twice:
            raise AssertionError("answered more than once: %r" % twice[:10])
        return [answers[id][0] for id in ids]

    def peak_rss_mib(self):
        with open("/proc/%d/status" % self.proc.pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        raise AssertionError("no VmHWM for vorn-mcp")

    def call(self, id, text="hi", name="echo", timeout=WAIT):
        self.send({"jsonrpc": "2.0", "id": id, "method": "tools/call",
                   "params": {"name": name, "arguments": {"text": text}}})
        return self.response(id, timeout)

    def close(self, timeout=WAIT):
        """Ends the agent's input and reaps the process; kills it if it lingers."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()
        finally:
            for t in self.threads:
                t.join(timeout=WAIT)
            self.proc.stdout.close()
            self.proc.stderr.close()


def tool_error_code(answer):
    """The code of a tool error result, or None."""
    result = answer.get("result", {})
    if not result.get("isError"):
        return None
    return json.loads(result["content"][0]["text"])["error"]
