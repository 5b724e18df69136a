"""Validation refusals, payload reading and root checks, as the browser sees them."""

import os

from harness import FolderTest, compact, frame, invalid, read_file, refusal, write_file


class ValidationRefusals(FolderTest):
    def test_ids(self):
        f = self.session()
        good = "A-z" + "0" * 61
        self.assertEqual(f.call(f.request("list", id=good)), invalid(good))
        for bad in (good + "1", "", "a_b", "a.b", "a b", "\u00e9", 5, None):
            with self.subTest(id=bad):
                self.assertEqual(f.call(f.request("list", id=bad)), invalid())
        # Numbers keep their kind: 1.0 is no string id either.
        self.assertEqual(f.call(b'{"id":1.0,"op":"exists"}'), invalid())

    def test_fields_in_order_each_refused(self):
        f = self.session()
        cases = {
            "empty root": dict(root=""),
            "relative root": dict(root="relative/dir"),
            "root with NUL": dict(root="/tmp\u0000x"),
            "root not a string": dict(root=["/"]),
            "requireTop escapes": dict(requireTop="a/../b"),
            "requireTop absolute": dict(requireTop="/a"),
            "op case": dict(op="Exists"),
            "path dotdot": dict(path=".."),
            "path with backslash": dict(path="a\\b"),
            "path with colon": dict(path="a:b"),
            "path trailing slash": dict(path="a/"),
        }
        for name, change in cases.items():
            with self.subTest(name):
                request = f.request("exists", path="a")
                request.update(change)
                self.assertEqual(f.call(request), invalid("r1"))
        request = f.request("exists", path="a")
        del request["requireTop"]
        self.assertEqual(f.call(request), invalid("r1"))

    def test_list_limits(self):
        f = self.session()
        for i in range(64):
            os.mkdir(os.path.join(f.root, "d%d" % i))
        dirs = [{"path": "d%d" % i} for i in range(64)]
        answer = f.call_json(f.request("readDirs", dirs=dirs))
        self.assertEqual(answer["reachable"], True)
        self.assertEqual(len(answer["dirs"]), 64)
        self.assertEqual(f.call(f.request("readDirs", dirs=dirs + [{"path": "x"}])),
                         invalid("r1"))

        files = [{"path": "f%d" % i} for i in range(65)]
        payloads = [f.put_payload(str(i), b"%d" % i) for i in range(65)]
        self.assertEqual(f.call(f.request("writeFiles", files=files, payloads=payloads)),
                         invalid("r1"))
        self.assertFalse(os.path.exists(os.path.join(f.root, "f0")))
        self.assertEqual(f.call(f.request("writeFiles", files=files[:64], payloads=payloads[:64])),
                         compact({"id": "r1", "reachable": True}))
        self.assertEqual(read_file(os.path.join(f.root, "f63")), b"63")

    def test_payload_names_and_counts(self):
        f = self.session()
        f.put_payload("a", b"A")
        for payloads in ([], ["payload-a.bin", "payload-a.bin"], ["payload-.bin"],
                         ["payload-a_b.bin"], ["payload-a.BIN"], ["payload-a/b.bin"],
                         ["payload-" + "x" * 101 + ".bin"], "payload-a.bin"):
            with self.subTest(payloads=payloads):
                self.assertEqual(f.call(f.request("write", path="t", payloads=payloads)),
                                 invalid("r1"))
        self.assertFalse(os.path.exists(os.path.join(f.root, "t")))
        # With no files, "payloads" is never looked at.
        self.assertEqual(f.call(f.request("writeFiles", files=[], payloads=7)),
                         compact({"id": "r1", "reachable": True}))

    def test_max_bytes_and_holding(self):
        f = self.session()
        for max_bytes in (0, -1, 1.5, 33554433, "10", True):
            with self.subTest(maxBytes=max_bytes):
                self.assertEqual(f.call(f.request("readDir", path="d", maxBytes=max_bytes)),
                                 invalid("r1"))
        for max_bytes in (1, 33554432, None, 100.0):
            with self.subTest(maxBytes=max_bytes):
                answer = f.call_json(f.request("readDir", path="d", maxBytes=max_bytes))
                self.assertEqual(answer["reachable"], True)
        for holding in ("a/b", "..", 3):
            with self.subTest(holding=holding):
                self.assertEqual(f.call(f.request("listNames", path="d", holding=holding)),
                                 invalid("r1"))
        self.assertEqual(f.call(f.request("listNames", path="d", holding=None)),
                         compact({"id": "r1", "names": [], "reachable": True}))


class PayloadsAndRoot(FolderTest):
    def test_missing_payload_wins_over_missing_root(self):
        f = self.session()
        answer = f.call(f.request("write", path="t", payloads=["payload-gone.bin"],
                                  root=os.path.join(f.root, "missing")))
        self.assertEqual(answer, refusal("io-error", "NotFoundError", "r1"))

    def test_payload_that_is_not_a_regular_file(self):
        # A FIFO would hold the request until the watchdog ends the service, a
        # link to the service's own input would take the requests that follow
        # as payload, and a device reads as anything; each is refused as a
        # directory is, and the session goes on.
        cases = {
            "directory": os.mkdir,
            "fifo": os.mkfifo,
            "device": lambda path: os.symlink("/dev/null", path),
        }
        if os.path.isdir("/proc/self/fd"):
            cases["own input"] = lambda path: os.symlink("/proc/self/fd/0", path)
        for name, make in cases.items():
            with self.subTest(name):
                f = self.session()
                make(os.path.join(f.request_dir, "payload-odd.bin"))
                # The next request travels in the same write, so it already
                # waits on the input while the payload is looked at.
                write = f.request("write", path="t", payloads=["payload-odd.bin"])
                self.assertTrue(f.send_raw(frame(write)
                                           + frame(f.request("exists", path="t", id="r2"))))
                self.assertEqual(f.read_frame(), refusal("io-error", "InvalidAccessError", "r1"))
                self.assertEqual(f.read_frame(),
                                 compact({"exists": False, "id": "r2", "reachable": True}))

    def test_payload_is_read_not_consumed(self):
        f = self.session()
        name = f.put_payload("keep", b"contents")
        for target in ("one", "two"):
            self.assertEqual(f.call(f.request("write", path=target, payloads=[name])),
                             compact({"id": "r1", "reachable": True}))
            self.assertEqual(read_file(os.path.join(f.root, target)), b"contents")
        self.assertEqual(read_file(os.path.join(f.request_dir, name)), b"contents")

    def test_payload_past_the_write_limit(self):
        f = self.session()
        self.need_room(f.tmp, 100)  # two payloads and the file written
        limit = 33554432
        exact = f.put_payload("exact", b"\x01" * limit)
        self.assertEqual(f.call(f.request("write", path="big", payloads=[exact])),
                         compact({"id": "r1", "reachable": True}))
        self.assertEqual(os.path.getsize(os.path.join(f.root, "big")), limit)
        over = f.put_payload("over", b"\x02" * (limit + 1))
        self.assertEqual(f.call(f.request("write", path="sub/over", payloads=[over])),
                         refusal("io-error", "TooLarge", "r1"))
        self.assertFalse(os.path.exists(os.path.join(f.root, "sub")))

    def test_root_checks(self):
        f = self.session()
        write_file(os.path.join(f.tmp, "plain"), b"x")
        os.symlink(f.root, os.path.join(f.tmp, "link"))
        cases = {
            os.path.join(f.tmp, "missing"): refusal("missing", "NotFoundError", "r1"),
            os.path.join(f.tmp, "plain"): refusal("not-a-directory", None, "r1"),
            os.path.join(f.tmp, "plain", "below"): refusal("io-error", "InvalidAccessError", "r1"),
            os.path.join(f.tmp, "link"): compact({"exists": False, "id": "r1", "reachable": True}),
            f.root + "/../root//": compact({"exists": False, "id": "r1", "reachable": True}),
        }
        for root, expected in cases.items():
            with self.subTest(root=root):
                self.assertEqual(f.call(f.request("exists", path="a", root=root)), expected)

    def test_unreadable_root(self):
        if os.geteuid() == 0:
            self.skipTest("permissions do not bind root")
        f = self.session()
        locked = os.path.join(f.tmp, "locked")
        os.mkdir(locked, 0o000)
        self.addCleanup(os.chmod, locked, 0o700)
        self.assertEqual(f.call(f.request("exists", path="a", root=locked + "/inner")),
                         refusal("io-error", "NotAllowedError", "r1"))

    def test_id_replaces_any_id_an_answer_carries(self):
        # A session keeps answering after refusals; each answer carries its
        # own request's id.
        f = self.session()
        write_file(os.path.join(f.root, "a"), b"")
        for i in range(3):
            self.assertEqual(f.call(f.request("exists", path="a", id="n%d" % i)),
                             compact({"exists": True, "id": "n%d" % i, "reachable": True}))
            self.assertEqual(f.call(f.request("exists", id="n%d" % i)), invalid("n%d" % i))
