"""Every operation, and requireTop, while another process swaps a directory
below the root with a link to an outside directory (or a file with a link to
an outside entry) as fast as it can: each answer is the normal one or the
refusal of the link met, what a normal answer claims holds in the real
directory, no copy holds outside bytes, and the outside tree stays exactly as
it was, modes included.

An exchange leaves both names in place at every instant, so no piece of a
path ever goes missing here: any refusal other than "Symlink" is a fault.

Run as `test_races.py swap A B SECONDS`, the module is the swapping process.
"""

import ctypes
import json
import os
import select
import stat
import subprocess
import sys
import time
import unittest

from harness import SANITIZE, WAIT, FolderTest, read_file, write_file
from ops_support import io_error, ok, tree

# Requests per case, whichever bound comes first.
ROUNDS = 800 if SANITIZE else 4000
SECONDS = 6.0 if SANITIZE else 2.5

MARK = b"OUTSIDE-MARKER"
LINKED = io_error("Symlink")

OUTSIDE = {"x": MARK + b" x", "only-out": MARK + b" only-out", "r": MARK + b" r",
           "m": MARK + b" m", "sub/y": MARK + b" y", "sub/z": MARK + b" z",
           "flat/f1": MARK + b" f1"}
# Longer than any outside file, so that a size taken through a link differs.
LONG = b"inside f, longer than anything outside the root"
# By entry name.
INSIDE = {"x": b"inside x", "only-in": b"inside only-in", "y": b"inside y", "f": LONG, "fl": LONG}
BASE_LISTING = [("only-in", None), ("sub", "IsDirectory"), ("x", None)]

AT_FDCWD = -100
RENAME_EXCHANGE = 2
_renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
_renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                       ctypes.c_uint]


def exchange(a, b):
    """0 once the two names have swapped their entries, else the errno."""
    if _renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) == 0:
        return 0
    return ctypes.get_errno()


def swap_until_told(a, b, seconds):
    """Exchanges a and b until standard input ends or `seconds` pass, then
    prints how many exchanges it made. A missing name only stalls it."""
    a, b = os.fsencode(a), os.fsencode(b)
    error = exchange(a, b)
    print("ready" if error == 0 else "errno %d" % error, flush=True)
    end = time.monotonic() + seconds
    swaps = 0
    while time.monotonic() < end and not select.select([0], [], [], 0)[0]:
        for _ in range(200):
            swaps += exchange(a, b) == 0
    print(swaps, flush=True)


def listing(walk):
    """The listing of (name, None for copied or the unreadable reason) in walk order."""
    entries, unreadable = [], []
    for name, reason in walk:
        if reason is None:
            entries.append({"copy": str(len(entries)), "name": name})
        else:
            unreadable.append({"name": name, "reason": reason})
    return {"entries": entries, "unreadable": unreadable}


class Scene:
    """A started service; below its root "d" (the real directory, also held
    open so it is found wherever its name went), "l" a link to the outside
    tree and "top"; beside the root "outside", recorded whole."""

    def __init__(self, test):
        self.f = test.session()
        self.root = self.f.root
        self.outside = os.path.join(self.f.tmp, "outside")
        self.copies = os.path.join(self.f.request_dir, "files-r1")
        for rel, data in OUTSIDE.items():
            write_file(os.path.join(self.outside, rel), data)
        os.chmod(os.path.join(self.outside, "x"), 0o640)
        os.chmod(os.path.join(self.outside, "sub"), 0o750)
        os.symlink("x", os.path.join(self.outside, "ln"))
        self.before = tree(self.outside, modes=True)
        for rel in ("x", "only-in", "sub/y"):
            write_file(os.path.join(self.root, "d", rel), INSIDE[os.path.basename(rel)])
        write_file(os.path.join(self.root, "top"), b"top")
        os.symlink(self.outside, os.path.join(self.root, "l"))
        self.real = os.open(os.path.join(self.root, "d"), os.O_RDONLY | os.O_DIRECTORY)
        test.addCleanup(os.close, self.real)

    def call(self, op, **params):
        return self.f.call(self.f.request(op, **params))

    def payloads(self, *contents):
        return [self.f.put_payload("p%d" % k, data) for k, data in enumerate(contents)]

    def inside(self, rel):
        """The bytes of the regular file d/`rel` of the real directory, or None."""
        try:
            fd = os.open(rel, os.O_RDONLY | os.O_NOFOLLOW, dir_fd=self.real)
        except FileNotFoundError:
            return None
        with os.fdopen(fd, "rb") as f:
            return f.read()

    def put(self, rel, data):
        fd = os.open(rel, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=self.real)
        with os.fdopen(fd, "wb") as f:
            f.write(data)

    def entry(self, rel):
        """The status of d/`rel` of the real directory itself, or None."""
        try:
            return os.stat(rel, dir_fd=self.real, follow_symlinks=False)
        except FileNotFoundError:
            return None

    def pair(self):
        """{"f": kind, "fl": kind} with kind "file", "link" or None, read
        between two exchanges: after an odd number of them in between, both
        names show the same entry."""
        for _ in range(1000):
            seen = {name: self.entry(name) for name in ("f", "fl")}
            if None in seen.values() or seen["f"].st_ino != seen["fl"].st_ino:
                return {name: st and ("link" if stat.S_ISLNK(st.st_mode) else "file")
                        for name, st in seen.items()}
        raise AssertionError("d/f and d/fl never held still")

    def link_pair(self, target):
        """d/f a file, d/fl a link to outside/`target`: the pair to swap."""
        self.put("f", LONG)
        os.symlink(os.path.join(self.outside, target), "fl", dir_fd=self.real)
        return ("d/f", "d/fl")


class RaceTest(FolderTest):
    def test_no_operation_leaves_the_root_while_its_path_is_swapped(self):
        cases = ["read_dir", "read_dirs", "write", "write_files", "move", "remove", "exists",
                 "remove_dir", "list_names", "make_dir", "require_top", "last_write",
                 "last_exists", "last_read_dir", "last_remove", "last_move"]
        for name in cases:
            with self.subTest(name):
                scene = Scene(self)
                pair, send, judge = getattr(self, "race_" + name)(scene)
                self.race(scene, pair, send, judge)

    def race(self, s, pair, send, judge):
        with subprocess.Popen(
                [sys.executable, os.path.abspath(__file__), "swap"]
                + [os.path.join(s.root, name) for name in pair] + [str(SECONDS + WAIT)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0) as swapper:
            try:
                ready, _, _ = select.select([swapper.stdout], [], [], WAIT)
                line = swapper.stdout.readline() if ready else b"silent"
                if line != b"ready\n":
                    self.skipTest("no exchange of names here: %r" % line)
                normal = 0
                deadline = time.monotonic() + SECONDS
                for i in range(ROUNDS):
                    if time.monotonic() > deadline:
                        break
                    answer = send(i)
                    self.assertEqual(tree(s.outside, modes=True), s.before,
                                     "round %d answered %r" % (i, answer))
                    normal += judge(i, answer)
                swaps = int(swapper.communicate(timeout=WAIT)[0])
            finally:
                if swapper.poll() is None:
                    swapper.kill()
        self.assertGreater(swaps, 0)
        self.assertGreater(normal, 0)

    def answer_in(self, i, answer, normal, refusals=(LINKED,)):
        """True for a normal answer; fails on anything but a listed refusal."""
        self.assertIn(answer, list(normal) + list(refusals), "round %d" % i)
        return answer in normal

    def only(self, normal):
        return lambda i, answer: self.answer_in(i, answer, normal)

    def listing_race(self, s, request, normal):
        """Each copy a normal answer names holds its entry's inside bytes, and
        no copy ever holds outside bytes."""
        def judge(i, answer):
            if answer in normal:
                body = json.loads(answer)
                folders = ([os.path.join(s.copies, str(k)) for k in range(len(body["dirs"]))]
                           if "dirs" in body else [s.copies])
                for folder, one in zip(folders, body.get("dirs", [body])):
                    for entry in one["entries"]:
                        self.assertEqual(read_file(os.path.join(folder, entry["copy"])),
                                         INSIDE[entry["name"]], "round %d" % i)
            for rel, data in tree(s.copies).items():
                self.assertNotIn(MARK, data if data != "dir" else b"", "round %d: copy %s" % (i, rel))
            return self.answer_in(i, answer, normal)
        return lambda i: s.call(**request), judge

    # -- a directory of the path swapped with a link to the outside tree --

    def race_read_dir(self, s):
        return ("d", "l"), *self.listing_race(s, dict(op="readDir", path="d"),
                                              [ok(**listing(BASE_LISTING))])

    def race_read_dirs(self, s):
        normal = [ok(dirs=[listing(BASE_LISTING), listing([("y", None)])])]
        return ("d", "l"), *self.listing_race(
            s, dict(op="readDirs", dirs=[{"path": "d"}, {"path": "d/sub"}]), normal)

    def race_write(self, s):
        def judge(i, answer):
            written = self.answer_in(i, answer, [ok()])
            if written:
                self.assertEqual(s.inside("x"), b"written %d" % i, "round %d" % i)
            return written
        return ("d", "l"), lambda i: s.call(
            "write", path="d/x", payloads=s.payloads(b"written %d" % i)), judge

    def race_write_files(self, s):
        def judge(i, answer):
            written = self.answer_in(i, answer, [ok()])
            if written:
                self.assertEqual((s.inside("x"), s.inside("sub/y")), (b"x %d" % i, b"y %d" % i),
                                 "round %d" % i)
            return written
        return ("d", "l"), lambda i: s.call(
            "writeFiles", files=[{"path": "d/x"}, {"path": "d/sub/y"}],
            payloads=s.payloads(b"x %d" % i, b"y %d" % i)), judge

    def race_move(self, s):
        # Round d/m -> m-top -> d/n -> d/m: out of "d" where "outside" has
        # the name too, into "d" under a name it lacks, and within "d".
        s.put("m", b"inside m")
        places = ["d/m", "m-top", "d/n"]
        at = [0]

        def holds(place):
            if place.startswith("d/"):
                return s.inside(place[2:])
            full = os.path.join(s.root, place)
            return read_file(full) if os.path.lexists(full) else None

        def judge(i, answer):
            moved = self.answer_in(i, answer, [ok()])
            at[0] = (at[0] + moved) % 3
            self.assertEqual({p: holds(p) for p in places if holds(p) is not None},
                             {places[at[0]]: b"inside m"}, "round %d" % i)
            return moved
        return ("d", "l"), lambda i: s.call(
            "move", **{"from": places[at[0]], "to": places[(at[0] + 1) % 3]}), judge

    def race_remove(self, s):
        s.put("r", b"inside r")

        def judge(i, answer):
            removed = self.answer_in(i, answer, [ok()])
            if removed:
                self.assertIsNone(s.inside("r"), "round %d" % i)
                s.put("r", b"inside r")
            return removed
        return ("d", "l"), lambda i: s.call("remove", path="d/r"), judge

    def race_exists(self, s):
        return ("d", "l"), lambda i: s.call("exists", path="d/only-out"), \
            self.only([ok(exists=False)])

    def race_remove_dir(self, s):
        def fill():
            os.mkdir("flat", dir_fd=s.real)
            s.put("flat/f1", b"inside f1")
            s.put("flat/f2", b"inside f2")
        fill()

        def judge(i, answer):
            removed = self.answer_in(i, answer, [ok(removed=True)])
            if removed:
                self.assertIsNone(s.entry("flat"), "round %d" % i)
                fill()
            return removed
        return ("d", "l"), lambda i: s.call("removeDir", path="d/flat"), judge

    def race_list_names(self, s):
        return ("d", "l"), lambda i: s.call("listNames", path="d", holding="y"), \
            self.only([ok(names=["only-in", "sub", "x"], holding=["sub"])])

    def race_make_dir(self, s):
        def judge(i, answer):
            made = self.answer_in(i, answer, [ok()])
            if made:
                self.assertIsNotNone(s.entry("new/deeper"), "round %d" % i)
                os.rmdir("new/deeper", dir_fd=s.real)
                os.rmdir("new", dir_fd=s.real)
            return made
        return ("d", "l"), lambda i: s.call("makeDir", path="d/new/deeper"), judge

    def race_require_top(self, s):
        return ("d", "l"), lambda i: s.call("exists", path="top", requireTop="d/only-in"), \
            self.only([ok(exists=True)])

    # -- the last component, a file, swapped with a link to outside --

    def race_last_write(self, s):
        def judge(i, answer):
            # A write that replaced the link leaves two files to swap.
            if s.pair() == {"f": "file", "fl": "file"}:
                os.unlink("fl", dir_fd=s.real)
                os.symlink(os.path.join(s.outside, "x"), "fl", dir_fd=s.real)
            return self.answer_in(i, answer, [ok()])
        return s.link_pair("x"), lambda i: s.call(
            "write", path="d/f", payloads=s.payloads(b"w %d" % i)), judge

    def race_last_exists(self, s):
        return s.link_pair("none"), lambda i: s.call("exists", path="d/f"), \
            self.only([ok(exists=True)])

    def race_last_read_dir(self, s):
        normal = [ok(**listing([("f", f), ("fl", fl)] + BASE_LISTING))
                  for f in (None, "Symlink") for fl in (None, "Symlink")]
        return s.link_pair("x"), *self.listing_race(s, dict(op="readDir", path="d"), normal)

    def race_last_remove(self, s):
        # Removing the name removes whichever entry it holds, the link too.
        def judge(i, answer):
            removed = self.answer_in(i, answer, [ok()], refusals=())
            kinds = s.pair()
            gone = [name for name, kind in kinds.items() if kind is None]
            self.assertEqual(len(gone), 1, "round %d: %r" % (i, kinds))
            # The swapper stalls until the pair is whole again.
            if "link" in kinds.values():
                s.put(gone[0], LONG)
            else:
                os.symlink(os.path.join(s.outside, "x"), gone[0], dir_fd=s.real)
            return removed
        return s.link_pair("x"), lambda i: s.call("remove", path="d/f"), judge

    def race_last_move(self, s):
        def judge(i, answer):
            moved = self.answer_in(i, answer, [ok()])
            self.assertEqual(s.entry("g") is not None, moved, "round %d" % i)
            if moved:
                os.rename("g", "f", src_dir_fd=s.real, dst_dir_fd=s.real)
            return moved
        return s.link_pair("sub"), lambda i: s.call("move", **{"from": "d/f", "to": "d/g"}), \
            judge


if __name__ == "__main__":
    if sys.argv[1:2] == ["swap"]:
        swap_until_told(sys.argv[2], sys.argv[3], float(sys.argv[4]))
    else:
        unittest.main()
