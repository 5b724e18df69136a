"""Drives the real vorn-mcp binary over its standard streams.

Every process runs with a private HOME and profile under a temporary
directory, so no test touches a real profile, and with no `vorn` program
beside the binary, so no browser is ever started.
"""

import fcntl
import json
import os
import select
import subprocess
import tempfile
import time

BUILD_DIR = os.environ.get("VORN_BUILD_DIR", "")
BINARY = os.path.join(BUILD_DIR, "bridge", "vorn-mcp")
SANITIZED = os.environ.get("VORN_SANITIZE") == "1"
# Bounds for waiting on an event; generous, since sanitizer builds are slow.
WAIT = 60.0 if SANITIZED else 20.0

USAGE = "usage: vorn-mcp [--profile <Vorn profile directory>] | --version | --help"
BUILD_STAMP = "20261106100303"
NOT_RUNNING = (
    "vorn_not_running: Vorn is not running, or agent access is off in Vorn's settings. "
    "Ask the user to start Vorn or turn agent access on in its settings, then try again."
)
TOO_LARGE = (
    "invalid_arguments: The request is over 1 MiB, the most Vorn reads in one message. "
    "Send less in one call, such as fewer or shorter fields."
)
FRAME_LIMIT = 1048576
MODERN = "2026-07-28"


def compact(value):
    """The bridge's own compact form: sorted keys, no blanks, UTF-8."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def keys_sorted(value):
    """True when every object in a decoded-with-pairs value has its keys in
    ascending byte order."""
    if isinstance(value, list) and value and isinstance(value[0], tuple):
        keys = [k.encode() for k, _ in value]
        return keys == sorted(keys) and all(keys_sorted(v) for _, v in value)
    if isinstance(value, list):
        return all(keys_sorted(v) for v in value)
    return True


def parse_pairs(text):
    return json.loads(text, object_pairs_hook=lambda pairs: pairs)


def initialize(id_=0, version="2025-11-25", name="e2e"):
    return {
        "jsonrpc": "2.0",
        "id": id_,
        "method": "initialize",
        "params": {
            "protocolVersion": version,
            "capabilities": {},
            "clientInfo": {"name": name, "version": "1"},
        },
    }


def request(id_, method, params=None):
    message = {"jsonrpc": "2.0", "id": id_, "method": method}
    if params is not None:
        message["params"] = params
    return message


def modern_meta(extra=None):
    meta = {
        "io.modelcontextprotocol/protocolVersion": MODERN,
        "io.modelcontextprotocol/clientCapabilities": {},
    }
    if extra:
        meta.update(extra)
    return {"_meta": meta}


class Bridge:
    """One running vorn-mcp with a private home and profile.
    `nonblocking_output` hands over a non-blocking output pipe of one page,
    as an agent may."""

    def __init__(self, args=None, env=None, profile=True, nonblocking_output=False):
        self.tmp = tempfile.TemporaryDirectory(prefix="vorn-mcp-e2e-")
        try:
            self._start(args, env, profile, nonblocking_output)
        except BaseException:
            self.tmp.cleanup()  # a start that failed half way leaves nothing behind
            raise

    def _start(self, args, env, profile, nonblocking_output):
        self.home = os.path.join(self.tmp.name, "home")
        os.mkdir(self.home)
        self.profile = os.path.join(self.tmp.name, "profile")
        os.mkdir(self.profile)
        full_env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
        }
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                full_env[key] = os.environ[key]
        if env:
            full_env.update(env)
        argv = [BINARY]
        if profile:
            argv += ["--profile", self.profile]
        argv += list(args or [])
        output = subprocess.PIPE
        if nonblocking_output:
            read_end, output = os.pipe2(os.O_CLOEXEC)
            os.set_blocking(output, False)
            fcntl.fcntl(output, fcntl.F_SETPIPE_SZ, 4096)
        try:
            self.proc = subprocess.Popen(
                argv,
                stdin=subprocess.PIPE,
                stdout=output,
                stderr=subprocess.PIPE,
                env=full_env,
                cwd=self.tmp.name,
            )
        except BaseException:
            if nonblocking_output:
                os.close(read_end)
                os.close(output)
            raise
        if nonblocking_output:
            os.close(output)
            self.proc.stdout = os.fdopen(read_end, "rb", buffering=0)
        self._out = b""
        self._err = b""
        self._err_eof = False

    # -- input --------------------------------------------------------------
    def write_raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send(self, message):
        self.write_raw(compact(message).encode() + b"\n")

    def close_input(self):
        self.proc.stdin.close()

    # -- output -------------------------------------------------------------
    def _pump(self, deadline):
        """Reads whatever is ready on stdout or stderr; False at EOF of
        stdout or when the deadline passed."""
        streams = [self.proc.stdout]
        if not self._err_eof:
            streams.append(self.proc.stderr)
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        ready, _, _ = select.select(streams, [], [], remaining)
        got = False
        for stream in ready:
            chunk = os.read(stream.fileno(), 1 << 20)
            if stream is self.proc.stdout:
                if not chunk:
                    return False
                self._out += chunk
            elif chunk:
                self._err += chunk
            else:
                self._err_eof = True
            got = True
        return got or time.monotonic() < deadline

    def line(self, wait=WAIT):
        """The next raw line of standard output (without its newline)."""
        deadline = time.monotonic() + wait
        while b"\n" not in self._out:
            if not self._pump(deadline):
                raise AssertionError(
                    "no line from vorn-mcp; stdout so far %r, stderr %r"
                    % (self._out[:500], self._err[-2000:])
                )
        text, _, self._out = self._out.partition(b"\n")
        return text.decode()

    def message(self, wait=WAIT):
        return json.loads(self.line(wait))

    def ask(self, message):
        self.send(message)
        return self.message()

    def wait_exit(self, wait=WAIT):
        """Waits for the process to end, collecting its output; returns the
        exit status."""
        deadline = time.monotonic() + wait
        while self._pump(deadline):
            pass
        # Stdout ended; stderr may still hold the last words.
        remaining = max(0.0, deadline - time.monotonic())
        try:
            status = self.proc.wait(timeout=remaining)
        except subprocess.TimeoutExpired:
            raise AssertionError("vorn-mcp did not exit; stderr %r" % self._err[-2000:])
        rest = self.proc.stderr.read()
        if rest:
            self._err += rest
        return status

    def rest_of_output(self):
        return self._out.decode(errors="replace")

    def stderr(self):
        return self._err.decode(errors="replace")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except Exception:
                pass
        self.tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def run(args, env=None, cwd=None, stdin=b""):
    """Runs vorn-mcp to its end; returns (status, stdout, stderr)."""
    full_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if key in os.environ:
            full_env[key] = os.environ[key]
    if env:
        full_env.update(env)
    done = subprocess.run(
        [BINARY] + list(args),
        input=stdin,
        capture_output=True,
        env=full_env,
        cwd=cwd,
        timeout=WAIT,
    )
    return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")
