"""write and writeFiles through the real service: whole or not at all, the
temporary file beside the target, the sweep, and links never written
through."""

import json
import os
import resource
import select
import signal
import subprocess
import sys
import time
import unittest

from harness import WAIT, FolderTest, read_file, write_file
from ops_support import OutsideTest, WrappedFolder, as_nobody, io_error, ok, temp_files

LIMIT = 33554432

# Run by another user: watches one directory, opens every temporary file the
# moment it is created and, once it is renamed away (its content complete),
# reads what that descriptor can read. Prints "ready", then, when its
# standard input ends, how many temporary files it saw, opened and read
# content from.
WATCHER = r"""
import ctypes, json, os, select, struct, sys
IN_MOVED_FROM, IN_CREATE, IN_Q_OVERFLOW = 0x40, 0x100, 0x4000
libc = ctypes.CDLL(None, use_errno=True)
directory = sys.argv[1]
events = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
if events < 0 or libc.inotify_add_watch(events, os.fsencode(directory),
                                        IN_CREATE | IN_MOVED_FROM) < 0:
    print("cannot watch %s: errno %d" % (directory, ctypes.get_errno()), flush=True)
    sys.exit(1)
print("ready", flush=True)
seen = {"created": 0, "opened": 0, "read": 0, "overflow": 0}
held = {}

def read_held(name):
    fd = held.pop(name, None)
    if fd is not None:
        seen["read"] += len(os.pread(fd, 64, 0)) > 0
        os.close(fd)

def drain():
    while True:
        try:
            data = os.read(events, 1 << 16)
        except BlockingIOError:
            return
        pos = 0
        while pos < len(data):
            _, mask, _, length = struct.unpack_from("iIII", data, pos)
            name = data[pos + 16:pos + 16 + length].rstrip(b"\0").decode()
            pos += 16 + length
            seen["overflow"] += bool(mask & IN_Q_OVERFLOW)
            if not name.endswith(".tmp"):
                continue
            if mask & IN_CREATE:
                seen["created"] += 1
                try:
                    held[name] = os.open(os.path.join(directory, name),
                                         os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
                    seen["opened"] += 1
                except OSError:
                    pass
            elif mask & IN_MOVED_FROM:
                read_held(name)

while True:
    readable = select.select([events, 0], [], [])[0]
    drain()
    if 0 in readable:
        break
for name in list(held):
    read_held(name)
print(json.dumps(seen), flush=True)
"""


def start_watcher(directory):
    """The watcher running as nobody on `directory`, once it is watching; a
    reason text instead when no interpreter nobody can run gets that far."""
    reasons = []
    for python in dict.fromkeys([sys.executable, "/usr/bin/python3"]):
        try:
            watcher = subprocess.Popen([python, "-I", "-c", WATCHER, directory],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, preexec_fn=as_nobody)
        except OSError as error:
            reasons.append("%s: %s" % (python, error))
            continue
        ready, _, _ = select.select([watcher.stdout], [], [], WAIT)
        line = watcher.stdout.readline() if ready else b"silent"
        if line == b"ready\n":
            return watcher
        watcher.kill()
        watcher.wait(timeout=WAIT)
        watcher.stdout.close()
        watcher.stdin.close()
        reasons.append("%s: %r" % (python, line))
    return "; ".join(reasons)


class WriteTest(OutsideTest):
    def write(self, rel, data, id="r1"):
        name = self.f.put_payload(id, data)
        return self.f.call(self.f.request("write", id=id, path=rel, payloads=[name]))

    def test_write_creates_parents_and_replaces_whole(self):
        old = os.umask(0)
        os.umask(old)
        self.assertEqual(self.write("a/b/c.txt", b"first version, long"), ok())
        self.assertEqual(read_file(self.path("a/b/c.txt")), b"first version, long")
        self.assertEqual(os.stat(self.path("a/b")).st_mode & 0o777, 0o777 & ~old)
        self.assertEqual(os.stat(self.path("a/b/c.txt")).st_mode & 0o777, 0o666 & ~old)
        self.assertEqual(self.write("a/b/c.txt", b"v2"), ok())
        self.assertEqual(read_file(self.path("a/b/c.txt")), b"v2")
        self.assertEqual(self.write("a/b/c.txt", b""), ok())
        self.assertEqual(read_file(self.path("a/b/c.txt")), b"")
        self.assertEqual(os.listdir(self.path("a/b")), ["c.txt"])

    def test_replacing_keeps_the_mode_and_new_files_follow_the_umask(self):
        umask = os.umask(0)
        os.umask(umask)
        for rel, mode in (("private", 0o600), ("tool", 0o755)):
            write_file(self.path(rel), b"old")
            os.chmod(self.path(rel), mode)
        self.assertEqual(self.write("private", b"new private"), ok())
        payloads = [self.f.put_payload("p%d" % i, b"new %d" % i) for i in range(2)]
        files = [{"path": "tool"}, {"path": "fresh"}]
        self.assertEqual(self.f.call(self.f.request("writeFiles", files=files, payloads=payloads)),
                         ok())
        for rel, mode, data in (("private", 0o600, b"new private"), ("tool", 0o755, b"new 0"),
                                ("fresh", 0o666 & ~umask, b"new 1")):
            self.assertEqual((oct(os.stat(self.path(rel)).st_mode & 0o777),
                              read_file(self.path(rel))), (oct(mode), data), rel)

    def test_replaced_private_file_is_never_readable_by_another_user(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to watch as another user")
        # Every directory down to "d" must be searchable by nobody.
        for path in (self.f.tmp, self.f.root, self.path("d")):
            os.makedirs(path, exist_ok=True)
            os.chmod(path, 0o755)
        write_file(self.path("d/private"), b"old")
        os.chmod(self.path("d/private"), 0o600)
        watcher = start_watcher(self.path("d"))
        if isinstance(watcher, str):
            self.skipTest("nobody cannot watch the test's directory: " + watcher)
        rounds = 2000
        try:
            for i in range(rounds):
                self.assertEqual(self.write("d/private", b"private %d" % i), ok(), "round %d" % i)
            out, _ = watcher.communicate(timeout=WAIT)
        finally:
            if watcher.poll() is None:
                watcher.kill()
                watcher.communicate(timeout=WAIT)
        seen = json.loads(out)
        self.assertEqual((seen["created"], seen["read"], seen["overflow"]), (rounds, 0, 0), seen)
        self.assertEqual((oct(os.stat(self.path("d/private")).st_mode & 0o777),
                          read_file(self.path("d/private"))),
                         (oct(0o600), b"private %d" % (rounds - 1)))

    def test_payload_limit(self):
        self.need_room(self.f.tmp, 100)  # two payloads and the file written
        self.assertEqual(self.write("exact", b"e" * LIMIT), ok())
        self.assertEqual(os.path.getsize(self.path("exact")), LIMIT)
        self.assertEqual(self.write("new/over", b"o" * (LIMIT + 1), id="r2"),
                         io_error("TooLarge", id="r2"))
        self.assertFalse(os.path.exists(self.path("new")))

    def test_refusals_leave_the_disk_alone(self):
        os.mkdir(self.path("dir"))
        write_file(self.path("file"), b"keep")
        os.symlink(os.path.join(self.outside, "secret"), self.path("link"))
        os.symlink(os.path.join(self.outside, "gone"), self.path("dangling"))
        os.symlink(self.outside, self.path("out"))
        cases = [("dir", "IsDirectory"), ("link", "Symlink"), ("dangling", "Symlink"),
                 ("out/secret", "Symlink"), ("out/new/x", "Symlink"),
                 ("file/x", "NoModificationAllowedError"), ("file/y/x", "InvalidAccessError")]
        for rel, name in cases:
            self.assertEqual(self.write(rel, b"pwned"), io_error(name), rel)
        self.assertEqual(read_file(self.path("file")), b"keep")
        self.assertEqual(temp_files(self.f.root), [])

    def test_stale_temporary_is_swept_after_a_write(self):
        os.mkdir(self.path("d"))
        now = time.time()
        names = {"t.0123456789abcdef.tmp": 601, "t.aaaaaaaaaaaaaaaa.tmp": 590,
                 "t.0123456789ABCDEF.tmp": 601, "t.tmp": 601, "u.0123456789abcdef.tmp": 601}
        for name, age in names.items():
            write_file(self.path("d/" + name), b"left by a crash")
            os.utime(self.path("d/" + name), (now - age, now - age))
        self.assertEqual(self.write("d/t", b"new"), ok())
        self.assertEqual(sorted(os.listdir(self.path("d"))),
                         sorted(["t", "t.aaaaaaaaaaaaaaaa.tmp", "t.0123456789ABCDEF.tmp",
                                 "t.tmp", "u.0123456789abcdef.tmp"]))

    def test_write_files_stops_at_the_first_refusal(self):
        os.symlink(self.outside, self.path("out"))
        payloads = [self.f.put_payload("p%d" % i, b"content %d" % i) for i in range(4)]
        body = self.f.call(self.f.request(
            "writeFiles", files=[{"path": "one"}, {"path": "sub/two"}, {"path": "out/x"},
                                 {"path": "four"}], payloads=payloads))
        self.assertEqual(body, io_error("Symlink"))
        self.assertEqual(read_file(self.path("one")), b"content 0")
        self.assertEqual(read_file(self.path("sub/two")), b"content 1")
        self.assertFalse(os.path.exists(self.path("four")))
        self.assertEqual(self.f.call(self.f.request("writeFiles", id="r2", files=[])), ok(id="r2"))


def file_size_limit():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (8, 8))


class FailedWriteTest(FolderTest):
    def test_failed_write_keeps_old_content_and_no_temporary(self):
        f = WrappedFolder(preexec=file_size_limit)
        self.addCleanup(f.close)
        f.hello()
        write_file(os.path.join(f.root, "d", "t"), b"old")
        name = f.put_payload("big", b"much longer than eight bytes")
        self.assertEqual(f.call(f.request("write", path="d/t", payloads=[name])),
                         io_error("NotReadableError"))
        self.assertEqual(os.listdir(os.path.join(f.root, "d")), ["t"])
        self.assertEqual(read_file(os.path.join(f.root, "d", "t")), b"old")


if __name__ == "__main__":
    unittest.main()
