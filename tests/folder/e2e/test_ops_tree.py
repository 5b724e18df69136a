"""move, remove, exists, removeDir, listNames and makeDir through the real
service: answers byte for byte and the disk afterwards, links below the root
never followed."""

import json
import os
import unittest

from harness import read_file
from ops_support import OutsideTest, io_error, ok, tree


class TreeTest(OutsideTest):
    def setUp(self):
        super().setUp()
        os.symlink(self.outside, self.path("out"))
        os.symlink(os.path.join(self.outside, "secret"), self.path("secret-link"))

    def test_exists(self):
        self.put("d/file", b"x")
        self.assertEqual(self.call("exists", path="d/file"), ok(exists=True))
        self.assertEqual(self.call("exists", path="d"), ok(exists=True))
        self.assertEqual(self.call("exists", path="d/none/deeper"), ok(exists=False))
        self.assertEqual(self.call("exists", path="d/file/below"), io_error("InvalidAccessError"))
        self.assertEqual(self.call("exists", path="secret-link"), io_error("Symlink"))
        self.assertEqual(self.call("exists", path="out/secret"), io_error("Symlink"))

    def test_move(self):
        self.put("a", b"A")
        self.put("b", b"B")
        os.mkdir(self.path("dir"))
        self.assertEqual(self.call("move", **{"from": "a", "to": "dir/a2"}), ok())
        self.assertEqual(read_file(self.path("dir/a2")), b"A")
        self.assertFalse(os.path.exists(self.path("a")))
        self.assertEqual(self.call("move", **{"from": "a", "to": "c"}), ok())
        self.assertFalse(os.path.exists(self.path("c")))
        self.assertEqual(self.call("move", **{"from": "b", "to": "b"}), io_error("Exists"))
        self.assertEqual(self.call("move", **{"from": "dir/a2", "to": "b"}), io_error("Exists"))
        self.assertEqual(read_file(self.path("b")), b"B")
        self.assertEqual(self.call("move", **{"from": "b", "to": "none/b"}), io_error("NotFoundError"))
        self.assertEqual(self.call("move", **{"from": "dir", "to": "dir2"}), io_error("IsDirectory"))
        for source, target in (("secret-link", "x"), ("b", "secret-link"), ("b", "out/b"),
                               ("out/secret", "stolen")):
            self.assertEqual(self.call("move", **{"from": source, "to": target}),
                             io_error("Symlink"), (source, target))
        self.assertEqual(read_file(self.path("b")), b"B")

    def test_remove(self):
        self.put("d/f", b"x")
        os.mkdir(self.path("empty"))
        self.assertEqual(self.call("remove", path="none"), ok())
        self.assertEqual(self.call("remove", path="d"), io_error("OperationError"))
        self.assertEqual(self.call("remove", path="empty"), ok())
        self.assertEqual(self.call("remove", path="out/secret"), io_error("Symlink"))
        self.assertEqual(self.call("remove", path="secret-link"), ok())
        self.assertEqual(self.call("remove", path="out"), ok())
        self.assertEqual(sorted(os.listdir(self.f.root)), ["d"])

    def test_remove_dir(self):
        self.put("flat/a", b"a")
        os.symlink(os.path.join(self.outside, "sub"), self.path("flat/to-sub"))
        self.put("deep/a", b"a")
        self.put("deep/sub/kept", b"kept")
        self.assertEqual(self.call("removeDir", path="flat"), ok(removed=True))
        self.assertFalse(os.path.lexists(self.path("flat")))
        self.assertEqual(self.call("removeDir", path="deep"), ok(removed=False))
        self.assertEqual(tree(self.path("deep")), {"sub": "dir", "sub/kept": b"kept"})
        self.assertEqual(self.call("removeDir", path="none"), ok(removed=True))
        self.assertEqual(self.call("removeDir", path="out"), io_error("Symlink"))
        self.put("file", b"x")
        self.assertEqual(self.call("removeDir", path="file"), io_error("InvalidAccessError"))

    def test_list_names(self):
        for name in ("b", "B", "\u00e9", "\U0001F600", "\uE000"):
            os.makedirs(self.path("d/" + name))
        self.put("d/b/n", b"x")
        os.makedirs(self.path("d/\u00e9/n"))
        self.put("d/z-file", b"x")
        os.symlink(self.path("d/b"), self.path("d/link"))
        os.symlink(self.path("nowhere"), self.path("d/B/n"))
        self.assertEqual(self.call("listNames", path="d"),
                         ok(names=["B", "b", "link", "z-file", "\u00e9", "\U0001F600", "\uE000"]))
        self.assertEqual(self.call("listNames", path="d", holding="n"),
                         ok(names=["B", "b", "link", "z-file", "\u00e9", "\U0001F600", "\uE000"],
                            holding=["b", "\u00e9"]))
        self.assertEqual(self.call("listNames", path="none", holding="n"), ok(names=[], holding=[]))
        self.assertEqual(self.call("listNames", path="out"), io_error("Symlink"))
        self.assertEqual(self.call("listNames", path="z-none/x"), ok(names=[]))

    def test_list_names_limit(self):
        for i in range(1500):
            self.put("many/%d" % i)
        answer = json.loads(self.call("listNames", path="many"))
        self.assertEqual(len(answer["names"]), 1000)
        self.assertEqual(len(set(answer["names"])), 1000)

    def test_make_dir(self):
        self.assertEqual(self.call("makeDir", path="a/b/c"), ok())
        self.assertTrue(os.path.isdir(self.path("a/b/c")))
        self.assertEqual(self.call("makeDir", path="a/b/c"), ok())
        self.put("file", b"x")
        self.assertEqual(self.call("makeDir", path="file"), io_error("NoModificationAllowedError"))
        self.assertEqual(self.call("makeDir", path="out/new"), io_error("Symlink"))


if __name__ == "__main__":
    unittest.main()
