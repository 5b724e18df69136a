"""readDir and readDirs through the real service: answers byte for byte,
copies in the request directory, links never read through."""

import json
import os
import unittest

from harness import read_file, refusal
from ops_support import OutsideTest, io_error, ok


class ReadDirTest(OutsideTest):
    def copies(self, id="r1"):
        return os.path.join(self.f.request_dir, "files-" + id)

    def test_listing_in_utf16_order_with_own_file_first(self):
        self.put("d/b.txt", b"bee")
        self.put("d/B.txt", b"Bee")
        self.put("d/\U0001F600.txt", b"smile")
        self.put("d/\uE000.txt", b"private use")
        self.put("d/mine.txt", b"my own")
        self.put("d/skip.bin", b"no suffix")
        os.mkdir(os.path.join(self.f.root, "d", "sub.txt"))
        body = self.f.call(self.f.request("readDir", path="d", suffix=".txt", mine="mine.txt"))
        self.assertEqual(body, ok(
            entries=[{"copy": "1", "name": "B.txt"}, {"copy": "2", "name": "b.txt"},
                     {"copy": "0", "name": "mine.txt"},
                     {"copy": "3", "name": "\U0001F600.txt"},
                     {"copy": "4", "name": "\uE000.txt"}],
            unreadable=[{"name": "sub.txt", "reason": "IsDirectory"}]))
        self.assertEqual(sorted(os.listdir(self.copies())), ["0", "1", "2", "3", "4"])
        self.assertEqual(read_file(os.path.join(self.copies(), "0")), b"my own")
        self.assertEqual(read_file(os.path.join(self.copies(), "3")), b"smile")

    def test_links_are_never_copied_or_followed(self):
        self.put("d/plain.txt", b"inside")
        os.symlink(os.path.join(self.outside, "secret"), os.path.join(self.f.root, "d", "link.txt"))
        os.symlink(self.outside, os.path.join(self.f.root, "out"))
        body = self.f.call(self.f.request("readDir", path="d"))
        self.assertEqual(body, ok(entries=[{"copy": "0", "name": "plain.txt"}],
                                  unreadable=[{"name": "link.txt", "reason": "Symlink"}]))
        self.assertEqual(self.f.call(self.f.request("readDir", id="r2", path="out")),
                         io_error("Symlink", id="r2"))
        self.assertEqual(self.f.call(self.f.request("readDir", id="r3", path="d", mine="link.txt")),
                         ok(id="r3", entries=[{"copy": "0", "name": "plain.txt"}],
                            unreadable=[{"name": "link.txt", "reason": "Symlink"}]))
        for id in ("r1", "r3"):
            for name in os.listdir(self.copies(id)):
                self.assertEqual(read_file(os.path.join(self.copies(id), name)), b"inside")

    def test_missing_directory_and_file_path(self):
        self.assertEqual(self.f.call(self.f.request("readDir", path="none")),
                         ok(entries=[], unreadable=[]))
        self.assertTrue(os.path.isdir(self.copies()))
        self.put("file", b"x")
        self.assertEqual(self.f.call(self.f.request("readDir", path="file")),
                         io_error("InvalidAccessError"))

    def test_thousand_entry_limit(self):
        for i in range(1001):
            self.put("d/%04d" % i, b"%d" % i)
        answer = json.loads(self.f.call(self.f.request("readDir", path="d")))
        self.assertEqual(len(answer["entries"]), 1000)
        self.assertEqual(answer["unreadable"], [{"name": "1000", "reason": "TooManyEntries"}])
        self.assertEqual(read_file(os.path.join(self.copies(), "999")), b"999")

    def test_request_id_names_the_folder_and_is_reused(self):
        self.put("d/a", b"first")
        self.f.call(self.f.request("readDir", id="Req-7", path="d"))
        self.assertEqual(read_file(os.path.join(self.copies("Req-7"), "0")), b"first")
        self.put("d/a", b"second")
        self.f.call(self.f.request("readDir", id="Req-7", path="d"))
        self.assertEqual(read_file(os.path.join(self.copies("Req-7"), "0")), b"second")

    def test_failed_entry_leaves_an_older_copy_of_a_reused_id(self):
        self.put("d/a", b"older copy")
        self.f.call(self.f.request("readDir", id="X", path="d"))
        older = os.path.join(self.copies("X"), "0")
        before = os.stat(older)
        # A status file tells size 0 and then reads more: it fails "Changed"
        # after it was opened, and as the own file it ends the listing.
        body = self.f.call(self.f.request("readDir", id="X", root="/proc", path=str(os.getpid()),
                                          suffix="status", mine="status"))
        self.assertEqual(body, refusal("own-file-unreadable", "Changed", id="X"))
        self.assertEqual(os.listdir(self.copies("X")), ["0"])
        after = os.stat(older)
        self.assertEqual((after.st_ino, after.st_mtime_ns, read_file(older)),
                         (before.st_ino, before.st_mtime_ns, b"older copy"))

    def test_read_dirs_numbers_its_folders(self):
        self.put("a/one", b"1")
        self.put("b/two", b"22")
        self.assertEqual(self.f.call(self.f.request("readDirs", dirs=[])), ok(dirs=[]))
        self.assertFalse(os.path.exists(self.copies()))
        body = self.f.call(self.f.request("readDirs", dirs=[{"path": "a"}, {"path": "b", "maxBytes": 1}]))
        self.assertEqual(body, ok(dirs=[
            {"entries": [{"copy": "0", "name": "one"}], "unreadable": []},
            {"entries": [], "unreadable": [{"name": "two", "reason": "TooLarge"}]}]))
        self.assertEqual(sorted(os.listdir(self.copies())), ["0", "1"])
        self.assertEqual(os.listdir(os.path.join(self.copies(), "1")), [])

    def test_read_dirs_stops_at_a_link(self):
        self.put("a/one", b"1")
        os.symlink(self.outside, os.path.join(self.f.root, "out"))
        body = self.f.call(self.f.request("readDirs", dirs=[{"path": "a"}, {"path": "out"}, {"path": "a"}]))
        self.assertEqual(body, io_error("Symlink"))
        # The folder of a spec is made before its path is probed.
        self.assertEqual(sorted(os.listdir(self.copies())), ["0", "1"])

    def test_require_top(self):
        self.put("top/x", b"x")
        self.assertEqual(self.f.call(self.f.request("readDir", requireTop="missing", path="top")),
                         refusal("no-vorn-dir", id="r1"))
        self.assertFalse(os.path.exists(self.copies()))
        self.assertEqual(self.f.call(self.f.request("readDir", requireTop="top", path="top")),
                         ok(entries=[{"copy": "0", "name": "x"}], unreadable=[]))


if __name__ == "__main__":
    unittest.main()
