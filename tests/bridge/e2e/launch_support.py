"""Copies of vorn-mcp in temporary directories, with a fake `vorn` beside
them, for the tests of browser launch and self-update.

The test process makes itself a child subreaper, so the fake browsers that a
bridge starts (and that it never waits for) come back to the test when the
bridge ends, and `Install.close` can reap every one of them.
"""

import ctypes
import errno
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

from fake_browser import BridgeProcess, wait_until  # noqa: F401 (wait_until is shared)

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_DIR = os.environ.get("VORN_BUILD_DIR", "")
BINARY = os.path.join(BUILD_DIR, "bridge", "vorn-mcp")
BUILD_STAMP = "20261106100303"
PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def children(pid):
    """Process ids of the live or unreaped children of `pid`. Found through
    each process's parent in its stat file, which every kernel has (the
    per-task children lists are a build option)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue  # ended meanwhile
        # The name in parentheses may hold anything; the parent follows the
        # state after its closing parenthesis.
        if int(stat[stat.rindex(")") + 2:].split()[1]) == pid:
            found.append(int(entry))
    return found


def socket_inodes(pid):
    """The sockets that `pid` has open, as their "socket:[N]" names."""
    names = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:"):
            names.add(target)
    return names


def inheritable_fds(pid):
    """Descriptors of `pid` above the standard streams that an exec would
    keep (close-on-exec not set)."""
    kept = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        if int(fd) <= 2:
            continue
        try:
            with open("/proc/%d/fdinfo/%s" % (pid, fd)) as info:
                flags = next(int(l.split()[1], 8) for l in info if l.startswith("flags:"))
        except (OSError, StopIteration):
            continue  # closed meanwhile
        if not flags & os.O_CLOEXEC:
            kept.append(int(fd))
    return kept


def no_room(error, what, path):
    """`error` again, or for a full file system an error that says so."""
    if error.errno in (errno.ENOSPC, errno.EDQUOT):
        return OSError(error.errno, "no room for %s in %s: the file system is full (%s)"
                       % (what, os.path.dirname(path), os.strerror(error.errno)), path)
    return error


def unlink_quietly(path):
    """Removes what a failed write left at `path`, if anything."""
    try:
        os.unlink(path)
    except OSError:
        pass


def copy_program(source, target):
    """Puts a program file at `target`: a hard link where the file system
    allows one, since it costs no room and the tests only ever replace a
    program file, never write into it; else a copy with its mode. On a
    failure (a full disk) the partial copy is removed and the error names
    the cause."""
    try:
        os.link(source, target)
        return
    except OSError:
        pass  # another file system, or links to others' files are refused
    try:
        shutil.copy2(source, target)
    except OSError as error:
        unlink_quietly(target)
        raise no_room(error, "a copy of %s (%d MB)" % (os.path.basename(source),
                                                       os.path.getsize(source) >> 20),
                      target) from None


def write_executable(path, text):
    """Writes a new file (a new inode) and moves it onto `path`."""
    temp = path + ".new"
    try:
        with open(temp, "w") as out:
            out.write(text)
        os.chmod(temp, 0o755)
        os.replace(temp, path)
    except OSError as error:
        unlink_quietly(temp)
        raise no_room(error, "a script", path) from None


class CopiedBridge(BridgeProcess):
    """BridgeProcess started from a chosen program file, with a chosen
    environment (str or bytes values)."""

    def __init__(self, program, profile, env, cwd, client="test-agent"):
        self.program = program
        self.client = client
        self.proc = subprocess.Popen(
            [program, "--profile", str(profile)], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=cwd)
        self.messages = []
        self.stderr_lines = []
        self.cond = threading.Condition()
        self.threads = [
            threading.Thread(target=self._read, args=(self.proc.stdout, self.messages), daemon=True),
            threading.Thread(target=self._read, args=(self.proc.stderr, self.stderr_lines), daemon=True),
        ]
        for t in self.threads:
            t.start()

    def lines_with(self, text):
        with self.cond:
            return [line for line in self.stderr_lines if text in line]


def install_dir():
    """A new directory for an install, beside the build's own program where
    that tree may be written: the program is then linked, not copied, and
    a small TMPDIR is spared two copies of tens of MB per test."""
    try:
        return tempfile.mkdtemp(prefix="vorn-launch-e2e-", dir=os.path.dirname(BINARY))
    except OSError:
        return tempfile.mkdtemp(prefix="vorn-launch-e2e-")


class Install:
    """A temporary directory holding bin/vorn-mcp (a copy of the build), an
    optional fake bin/vorn, a profile and a directory of launch reports."""

    def __init__(self, fake_vorn=True):
        self.tmp = install_dir()
        self.bridges = []
        # A setup that fails half way leaves nothing behind.
        try:
            self.bin = os.path.join(self.tmp, "bin")
            self.profile = os.path.join(self.tmp, "profile")
            self.reports_dir = os.path.join(self.tmp, "reports")
            self.home = os.path.join(self.tmp, "home")
            for d in (self.bin, self.profile, self.reports_dir, self.home):
                os.mkdir(d)
            self.program = os.path.join(self.bin, "vorn-mcp")
            copy_program(BINARY, self.program)
            if fake_vorn:
                self.install_fake_vorn()
        except BaseException:
            shutil.rmtree(self.tmp, ignore_errors=True)
            raise

    def install_fake_vorn(self):
        write_executable(os.path.join(self.bin, "vorn"), (
            "#!/bin/sh\n"
            "FAKE_VORN_SIGIGN=$(sed -n 's/^SigIgn:\\t//p' /proc/$$/status)\n"
            "FAKE_VORN_ARGV0=$0\n"
            "export FAKE_VORN_SIGIGN FAKE_VORN_ARGV0\n"
            "exec '%s' '%s' \"$@\"\n") % (sys.executable, os.path.join(HERE, "fake_vorn.py")))

    def env(self, mode="exit", extra=None):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
            "FAKE_VORN_REPORTS": self.reports_dir,
            "FAKE_VORN_MODE": mode,
            "FAKE_VORN_LIB": os.path.join(HERE, "fake_browser.py"),
        }
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "VORN_SANITIZE"):
            if key in os.environ:
                env[key] = os.environ[key]
        env.update(extra or {})
        return env

    def start(self, program=None, mode="exit", extra_env=None, env=None):
        bridge = CopiedBridge(program or self.program, self.profile,
                              env if env is not None else self.env(mode, extra_env), self.tmp)
        self.bridges.append(bridge)
        return bridge

    def reports(self):
        found = []
        for path in sorted(glob.glob(os.path.join(self.reports_dir, "launch-*.json"))):
            with open(path) as f:
                found.append(json.load(f))
        return found

    def close(self):
        for bridge in self.bridges:
            bridge.close()
        # The bridges are gone, so the browsers they started are ours now.
        for pid in children(os.getpid()):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:
                pass
        shutil.rmtree(self.tmp, ignore_errors=True)
