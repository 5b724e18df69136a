"""Helpers for the operation tests: a service started under a different
identity, limit or mount namespace, and small checks of the disk afterwards."""

import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

from harness import BINARY, WAIT, Folder, FolderTest, compact, write_file

TEMP_NAME = re.compile(r".*\.[0-9a-f]{16}\.tmp$")
NOBODY = 65534


def ok(**extra):
    value = {"reachable": True, "id": "r1"}
    value.update(extra)
    return compact(value)


def io_error(name, id="r1", **extra):
    value = {"reachable": False, "reason": "io-error", "error": name, "id": id}
    value.update(extra)
    return compact(value)


def tree(path, modes=False):
    """Every path below `path` (links not followed) with its content or kind;
    with `modes`, each paired with its permission bits, `path` itself as "."."""
    found = {".": stat.S_IMODE(os.lstat(path).st_mode)} if modes else {}
    for dirpath, dirnames, filenames in os.walk(path):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, path)
            if os.path.islink(full):
                found[rel] = "link:" + os.readlink(full)
            elif os.path.isdir(full):
                found[rel] = "dir"
            else:
                with open(full, "rb") as f:
                    found[rel] = f.read()
            if modes:
                found[rel] = (stat.S_IMODE(os.lstat(full).st_mode), found[rel])
    return found


def temp_files(path):
    return [n for n in os.listdir(path) if TEMP_NAME.match(n)]


def reaches(path, preexec):
    """Whether a process that `preexec` makes another user can read and run
    (or enter) `path`: a directory above it may be closed to others (a home
    or a TMPDIR of mode 0700)."""
    check = subprocess.run(["/bin/sh", "-c", 'test -r "$1" && test -x "$1"', "sh", path],
                           preexec_fn=preexec, stdin=subprocess.DEVNULL, timeout=WAIT)
    return check.returncode == 0


def skip_unless_reachable(path, preexec):
    if not reaches(path, preexec):
        raise unittest.SkipTest("another user cannot reach %s: a directory above it is "
                                "closed to others (TMPDIR=%s)"
                                % (path, os.environ.get("TMPDIR", "unset")))


def reachable_program(program, directory, preexec):
    """`program`, or where the other user cannot reach it (a checkout in a
    home of mode 0700), a copy in `directory`, which that user reaches."""
    if reaches(program, preexec):
        return program
    copy = os.path.join(directory, os.path.basename(program))
    try:
        shutil.copyfile(program, copy)
    except OSError as e:
        raise OSError(e.errno, "%s, copying %s to %s" % (e.strerror, program, copy)) from e
    os.chmod(copy, 0o755)
    return copy


class WrappedFolder(Folder):
    """A Folder whose service is started through `wrapper` (a shell command
    run by `sh -c` that ends by exec'ing "$@"), optionally after `preexec`.

    The temporary directory is open to all (0755), the request directory and
    root to all writers too (0777). With `other_user`, `preexec` makes the
    service another user, who must reach the temporary directory (else the
    test is skipped) and is given a program it can run."""

    def __init__(self, wrapper='exec "$@"', preexec=None, prepare=None, other_user=False):
        """`prepare`(folder) runs once the directories exist; "@TMP@" in
        `wrapper` stands for the folder's temporary directory."""
        self.tmp = tempfile.mkdtemp(prefix="vorn-folder-")
        self.proc = None
        try:
            os.chmod(self.tmp, 0o755)
            self.request_dir = os.path.join(self.tmp, "req")
            self.root = os.path.join(self.tmp, "root")
            for path in (self.request_dir, self.root):
                os.mkdir(path)
                os.chmod(path, 0o777)
            if prepare is not None:
                prepare(self)
            program = BINARY
            if other_user:
                skip_unless_reachable(self.tmp, preexec)
                program = reachable_program(BINARY, self.tmp, preexec)
            self._start(["sh", "-c", wrapper.replace("@TMP@", self.tmp), "sh", program,
                         self.request_dir], preexec=preexec)
        except BaseException:
            self.close()
            raise

    def inside(self, path):
        """`path` as the service sees it, through its mount namespace."""
        return "/proc/%d/root%s" % (self.proc.pid, path)


def as_nobody():
    """Runs the child as the unprivileged user nobody (a preexec function)."""
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def have_mount_namespaces():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "-m", "true"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return probe.returncode == 0


class OutsideTest(FolderTest):
    """A started service whose root has a sibling "outside" that no request
    may touch: every test ends by checking that it stayed as it was."""

    def setUp(self):
        super().setUp()
        self.f = self.session()
        self.outside = os.path.join(self.f.tmp, "outside")
        write_file(os.path.join(self.outside, "secret"), b"outside secret")
        os.mkdir(os.path.join(self.outside, "sub"))
        self.before = tree(self.outside)

    def tearDown(self):
        self.assertEqual(tree(self.outside), self.before)

    def path(self, rel):
        return os.path.join(self.f.root, rel)

    def put(self, rel, data=b""):
        write_file(self.path(rel), data)

    def call(self, op, **params):
        return self.f.call(self.f.request(op, **params))
