"""Drives the real vorn-folder the way the browser does.

A Folder starts the binary on a fresh request directory, writes frames to its
standard input, reads answer frames from its standard output within a bound,
and reaps it. Every wait is for an event (bytes, exit) with a deadline, never
a fixed sleep.

Typical use:

    with Folder() as f:
        f.hello()
        body = f.call({"id": "a", "op": "exists", ...})
        self.assertEqual(body, compact({...}))
"""

import fcntl
import json
import os
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

BUILD_DIR = os.environ.get("VORN_BUILD_DIR", "")
BINARY = os.path.join(BUILD_DIR, "folder", "vorn-folder")
SANITIZE = os.environ.get("VORN_SANITIZE", "0") in ("1", "ON", "TRUE", "true")

# Bound for any single wait; generous so a loaded or sanitized build passes.
WAIT = 60.0 if SANITIZE else 30.0

FRAME_LIMIT = 1048576
BUILD_STAMP = "20261106100303"
HELLO_ANSWER = b'{"build":"20261106100303","hello":1}'


def compact(value):
    """The compact JSON text the service writes: sorted keys, no spaces, UTF-8."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True,
                      ensure_ascii=False).encode("utf-8")


def frame(body):
    """A whole frame around `body` (bytes, or a value to be written compactly)."""
    if not isinstance(body, (bytes, bytearray)):
        body = compact(body)
    return struct.pack(">I", len(body)) + bytes(body)


def refusal(reason, error=None, id=None, **extra):
    value = {"reachable": False, "reason": reason, "id": id}
    if error is not None:
        value["error"] = error
    value.update(extra)
    return compact(value)


def invalid(id=None):
    return refusal("io-error", "InvalidRequest", id)


class Folder:
    """One running vorn-folder with its own temporary request directory.

    `request_dir` overrides the directory passed (default: <tmp>/req, made);
    `args` replaces the whole argument list; `nonblocking_output` hands over
    a non-blocking output pipe of one page, and `nonblocking_input` a
    non-blocking input pipe, as a browser may.
    """

    def __init__(self, request_dir=None, args=None, make_dir=True, nonblocking_output=False,
                 nonblocking_input=False):
        self.tmp = tempfile.mkdtemp(prefix="vorn-folder-")
        self.proc = None
        try:
            self.request_dir = request_dir or os.path.join(self.tmp, "req")
            if make_dir and request_dir is None:
                os.mkdir(self.request_dir)
            self.root = os.path.join(self.tmp, "root")
            os.mkdir(self.root)
            self._start([BINARY] + (args if args is not None else [self.request_dir]),
                        nonblocking_output, nonblocking_input)
        except BaseException:
            self.close()
            raise

    def _start(self, argv, nonblocking_output=False, nonblocking_input=False, preexec=None):
        output = subprocess.PIPE
        if nonblocking_output:
            read_end, output = os.pipe2(os.O_CLOEXEC)
            os.set_blocking(output, False)
            fcntl.fcntl(output, fcntl.F_SETPIPE_SZ, 4096)
        source = subprocess.PIPE
        if nonblocking_input:
            source, write_end = os.pipe2(os.O_CLOEXEC)
            os.set_blocking(source, False)
        try:
            self.proc = subprocess.Popen(argv, stdin=source, stdout=output,
                                         stderr=subprocess.PIPE, bufsize=0, preexec_fn=preexec)
        except BaseException:
            if nonblocking_output:
                os.close(read_end)
            if nonblocking_input:
                os.close(write_end)
            raise
        finally:
            if nonblocking_output:
                os.close(output)
            if nonblocking_input:
                os.close(source)
        if nonblocking_output:
            self.proc.stdout = os.fdopen(read_end, "rb", buffering=0)
        if nonblocking_input:
            self.proc.stdin = os.fdopen(write_end, "wb", buffering=0)
        # Writes wait for room with a bound (see send_raw); the service's own
        # end stays as it was handed over.
        os.set_blocking(self.proc.stdin.fileno(), False)
        self._pending = b""
        self._told_full_disk = False

    # -- lifecycle ---------------------------------------------------------

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        """Kills the service if it still runs, reaps it, removes the files
        (also those of a start that failed half way)."""
        try:
            if self.proc is not None:
                if self.proc.poll() is None:
                    self.proc.kill()
                self.proc.wait(timeout=WAIT)
                for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
                    try:
                        stream.close()
                    except OSError:
                        pass
        finally:
            shutil.rmtree(self.tmp, ignore_errors=True)

    def wait(self, timeout=WAIT):
        """The exit status, waiting at most `timeout` seconds for it."""
        return self.proc.wait(timeout=timeout)

    def close_stdin(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass

    def stderr_text(self, timeout=WAIT):
        """Everything written to standard error; only after the process ended."""
        deadline = time.monotonic() + timeout
        fd = self.proc.stderr.fileno()
        text = b""
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
                raise TimeoutError("standard error of vorn-folder did not end in time")
            chunk = os.read(fd, 65536)
            if not chunk:
                return text
            text += chunk

    # -- writing -----------------------------------------------------------

    def send_raw(self, data, timeout=WAIT):
        """Writes bytes to standard input; False when the service has gone.
        A service that stops reading fails the test after `timeout`."""
        deadline = time.monotonic() + timeout
        data = memoryview(data)
        try:
            fd = self.proc.stdin.fileno()
            while data:
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([], [fd], [], remaining)[1]:
                    raise TimeoutError("vorn-folder took no input for %.0f s, %d bytes unsent"
                                       % (timeout, len(data)))
                try:
                    data = data[os.write(fd, data):]
                except BlockingIOError:
                    pass
            return True
        except (BrokenPipeError, ValueError):
            return False

    def send(self, value):
        """Sends one frame holding `value` (bytes are sent as the body)."""
        return self.send_raw(frame(value))

    def hello(self, value=None):
        """Sends a hello and checks its answer byte for byte."""
        self.send({"hello": 1} if value is None else value)
        body = self.read_frame()
        if body != HELLO_ANSWER:
            raise AssertionError("hello answered with %r" % (body,))

    # -- reading -----------------------------------------------------------

    def _read_some(self, deadline):
        fd = self.proc.stdout.fileno()
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("no output from vorn-folder in time")
        ready, _, _ = select.select([fd], [], [], remaining)
        if not ready:
            raise TimeoutError("no output from vorn-folder in time")
        return os.read(fd, 1 << 20)

    def _read_exact(self, n, deadline):
        while len(self._pending) < n:
            chunk = self._read_some(deadline)
            if not chunk:
                raise EOFError("vorn-folder closed its output after %d of %d bytes%s"
                               % (len(self._pending), n, self._exit_note()))
            self._pending += chunk
        data, self._pending = self._pending[:n], self._pending[n:]
        return data

    def _exit_note(self):
        """How the service ended, with its standard error, when it ended
        soon after closing its output; for failure messages."""
        try:
            status = self.proc.wait(timeout=5.0)
            return " (exit status %d; standard error: %r)" % (status, self.stderr_text(5.0)[-2000:])
        except (subprocess.TimeoutExpired, TimeoutError, OSError, ValueError):
            return ""

    def read_raw(self, n, timeout=WAIT):
        """Exactly `n` bytes of standard output."""
        return self._read_exact(n, time.monotonic() + timeout)

    def read_frame(self, timeout=WAIT):
        """The body of the next answer frame, as raw bytes."""
        deadline = time.monotonic() + timeout
        (n,) = struct.unpack(">I", self._read_exact(4, deadline))
        if n > FRAME_LIMIT:
            raise AssertionError("answer declares %d bytes" % n)
        return self._read_exact(n, deadline)

    def read_end(self, timeout=WAIT):
        """True when standard output ends with no further byte."""
        deadline = time.monotonic() + timeout
        if self._pending:
            return False
        return self._read_some(deadline) == b""

    def call(self, request):
        """Sends one request and returns its answer's raw body."""
        self.send(request)
        body = self.read_frame()
        if b'"NotReadableError"' in body and not self._told_full_disk:
            # The name the service gives a full disk: say so once, or a
            # failure it causes would read as the service's own fault.
            self._told_full_disk = True
            sys.stderr.write("note: vorn-folder answered NotReadableError (a full disk); the file "
                             "system of %s has %d KiB free\n" % (self.tmp, free_bytes(self.tmp) >> 10))
        return body

    def call_json(self, request):
        return json.loads(self.call(request))

    # -- requests ----------------------------------------------------------

    def request(self, op, id="r1", root=None, requireTop=None, **params):
        """A request object for `op` below this folder's root."""
        value = {"id": id, "op": op, "root": self.root if root is None else root,
                 "requireTop": requireTop}
        value.update(params)
        return value

    def stuck_request(self):
        """A listNames request whose answer is larger than the output pipe
        holds: while nobody reads, writing that answer holds the request.
        (Every file the service reads it opens without waiting, so a slow
        reader is the one way a test can keep a request running.)"""
        listed = os.path.join(self.root, "many")
        os.mkdir(listed)
        room = fcntl.fcntl(self.proc.stdout.fileno(), fcntl.F_GETPIPE_SZ)
        for i in range(room // 240 + 20):
            open(os.path.join(listed, "%05d" % i + "n" * 240), "wb").close()
        return self.request("listNames", path="many")

    def holds_no_whole_answer(self, timeout=WAIT):
        """True when standard output, read to its end, holds no whole answer
        frame (only part of one, or nothing)."""
        deadline = time.monotonic() + timeout
        data = self._pending
        self._pending = b""
        while True:
            chunk = self._read_some(deadline)
            if not chunk:
                break
            data += chunk
        if len(data) < 4:
            return True
        (n,) = struct.unpack(">I", data[:4])
        return len(data) - 4 < n

    def put_payload(self, token, data):
        """Leaves a payload file in the request directory; returns its name."""
        name = "payload-%s.bin" % token
        write_file(os.path.join(self.request_dir, name), data)
        return name


def free_bytes(path):
    """What an unprivileged writer may still put on the file system of `path`."""
    fs = os.statvfs(path)
    return fs.f_bavail * fs.f_frsize


def write_file(path, data=b""):
    """Writes `path` whole, parents made; a failure (a full disk) names the file."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    try:
        with open(path, "wb") as f:
            f.write(data)
    except OSError as e:
        raise OSError(e.errno, "%s, writing %d bytes to %s" % (e.strerror, len(data), path)) from e


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


class FolderTest(unittest.TestCase):
    """Base class: skips when the binary is missing, starts one Folder each."""

    def setUp(self):
        if not os.path.exists(BINARY):
            self.skipTest("vorn-folder is not built at " + BINARY)

    def need_room(self, path, mib):
        """Skips unless the file system of `path` has `mib` MiB free: a small
        TMPDIR is no fault of the service."""
        free = free_bytes(path) >> 20
        if free < mib:
            self.skipTest("needs %d MiB free, but the file system of %s has %d MiB"
                          % (mib, path, free))

    def start(self, **kwargs):
        folder = Folder(**kwargs)
        self.addCleanup(folder.close)
        return folder

    def session(self, **kwargs):
        """A started service that has answered its hello."""
        folder = self.start(**kwargs)
        folder.hello()
        return folder
