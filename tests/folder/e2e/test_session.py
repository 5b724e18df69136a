"""Command line, hello, end of input and broken frames of the real service."""

import os
import struct
import subprocess

from harness import (BINARY, FRAME_LIMIT, HELLO_ANSWER, WAIT, Folder, FolderTest,
                     compact, frame, invalid, write_file)

USAGE = b"usage: vorn-folder <request directory> | --version\n"


def run(args):
    return subprocess.run([BINARY] + args, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=WAIT)


class CommandLine(FolderTest):
    def test_version(self):
        done = run(["--version"])
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stdout, b"vorn-folder 20261106100303\n")
        self.assertEqual(done.stderr, b"")

    def test_usage_errors(self):
        for args in ([], ["--version", "x"], ["-h"], ["rel/dir"], [""], ["/a", "/b"]):
            with self.subTest(args=args):
                done = run(args)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stderr, USAGE)
                self.assertEqual(done.stdout, b"")

    def test_missing_request_directory_is_accepted(self):
        f = self.start(request_dir="/nonexistent/vorn-folder-requests", make_dir=False)
        f.hello()
        f.close_stdin()
        self.assertEqual(f.wait(), 0)

    def test_closed_standard_streams_are_reopened(self):
        # Closed stdin reads as an empty stream on /dev/null: a clean end.
        done = subprocess.run(
            [BINARY, "/tmp"], stdin=subprocess.DEVNULL, capture_output=True,
            timeout=WAIT, preexec_fn=lambda: os.close(0))
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stdout, b"")


class Hello(FolderTest):
    def test_good_hellos_are_answered(self):
        for hello in (b'{"hello":1}', b'{"hello":2,"other":[1]}',
                      b'{"hello":18446744073709551615}', b'{"exitAfterMs":"x","hello":7}'):
            with self.subTest(hello=hello):
                f = self.start()
                f.hello(hello)
                self.assertEqual(f.call(f.request("exists", path="a", id="x"))[:1], b"{")

    def test_bad_hellos_end_with_status_2_and_no_output(self):
        for hello in (b'{"hello":0}', b'{"hello":true}', b'{"hello":1.0}', b'{"hello":1e0}',
                      b'{"hello":"1"}', b'{"hello":-1}', b'[1]', b'{"hi":1}', b'null',
                      b'{"hello":18446744073709551616}'):
            with self.subTest(hello=hello):
                f = self.start()
                f.send(hello)
                self.assertEqual(f.wait(), 2)
                self.assertTrue(f.read_end())

    def test_hello_answer_bytes(self):
        f = self.start()
        f.send({"hello": 1})
        # Header 00 00 00 24, then the 36-byte body, then nothing.
        data = f.read_raw(40)
        self.assertEqual(data, b"\x00\x00\x00\x24" + HELLO_ANSWER)
        f.close_stdin()
        self.assertEqual(f.wait(), 0)
        self.assertTrue(f.read_end())


class EndOfInput(FolderTest):
    def test_end_before_hello(self):
        f = self.start()
        f.close_stdin()
        self.assertEqual(f.wait(), 0)
        self.assertTrue(f.read_end())

    def test_end_after_hello_and_between_requests(self):
        f = self.session()
        self.assertEqual(f.call(f.request("removeDir", path="gone")),
                         compact({"id": "r1", "reachable": True, "removed": True}))
        f.close_stdin()
        self.assertEqual(f.wait(), 0)
        self.assertTrue(f.read_end())

    def test_end_while_a_request_runs(self):
        f = self.session()
        # Nobody reads the answer, so the request runs until the process ends.
        f.send(f.stuck_request())
        f.close_stdin()
        self.assertEqual(f.wait(), 0)
        self.assertTrue(f.holds_no_whole_answer())


class BrokenFrames(FolderTest):
    def assert_broken(self, data, hello_first=True):
        f = self.session() if hello_first else self.start()
        f.send_raw(data)
        f.close_stdin()
        self.assertEqual(f.wait(), 3)
        self.assertTrue(f.read_end())

    def test_broken_input(self):
        cases = {
            "over the limit": struct.pack(">I", FRAME_LIMIT + 1),
            "all ones": b"\xff\xff\xff\xff",
            "two header bytes": b"\x00\x00",
            "short body": struct.pack(">I", 10) + b'{"a":',
            "empty body": struct.pack(">I", 0),
            "trailing bytes": frame(b"{} x"),
            "not JSON": frame(b"hello"),
            "nested 128 deep": frame(b"[" * 128 + b"]" * 128),
        }
        for name, data in cases.items():
            with self.subTest(name):
                self.assert_broken(data)

    def test_broken_hello_frame(self):
        self.assert_broken(struct.pack(">I", FRAME_LIMIT + 1), hello_first=False)

    def test_closed_output_fails_the_answer(self):
        f = self.start()
        f.proc.stdout.close()
        # Input stays open: the end of input would otherwise race the write.
        f.send({"hello": 1})
        self.assertEqual(f.wait(), 3)

        f = self.session()
        f.proc.stdout.close()
        f.send(f.request("exists", path="a"))
        self.assertEqual(f.wait(), 3)


class NonBlockingStreams(FolderTest):
    def test_answers_larger_than_the_pipe_arrive_whole(self):
        f = self.start(nonblocking_output=True)
        f.hello()
        names = ["%04d" % i + "n" * 251 for i in range(1000)]
        for name in names:
            write_file(os.path.join(f.root, "many", name))
        # About 260 KB: the one-page pipe is full many times over.
        for id in ("a", "b"):
            answer = f.call(f.request("listNames", id=id, path="many"))
            self.assertEqual(answer, compact({"id": id, "names": names, "reachable": True}))
        f.close_stdin()
        self.assertEqual(f.wait(), 0)
        self.assertTrue(f.read_end())

    def test_empty_nonblocking_input_is_waited_on(self):
        # The service reads before anything is sent, and meets a frame cut in
        # two: both are waits, not broken streams.
        f = self.start(nonblocking_input=True)
        f.hello()
        request = frame(f.request("exists", path="a"))
        f.send_raw(request[:7])
        f.send_raw(request[7:])
        self.assertEqual(f.read_frame(), compact({"exists": False, "id": "r1", "reachable": True}))
        f.close_stdin()
        self.assertEqual(f.wait(), 0)


class FrameLimits(FolderTest):
    def padded(self, f, size):
        """An exists request whose compact text is exactly `size` bytes."""
        request = f.request("exists", path="a", pad="")
        request["pad"] = "x" * (size - len(compact(request)))
        body = compact(request)
        self.assertEqual(len(body), size)
        return body

    def test_largest_request_frame_is_read(self):
        f = self.session()
        answer = f.call(self.padded(f, FRAME_LIMIT))
        self.assertEqual(answer, compact({"exists": False, "id": "r1", "reachable": True}))

    def test_one_byte_more_is_a_broken_frame(self):
        f = self.session()
        f.send(self.padded(f, FRAME_LIMIT + 1))
        self.assertEqual(f.wait(), 3)
        self.assertTrue(f.read_end())

    def test_values_of_any_kind_are_requests(self):
        f = self.session()
        for body in (b"5", b"[1]", b"null", b'"x"', b"{}"):
            with self.subTest(body=body):
                self.assertEqual(f.call(body), invalid())
        # White space around the value is allowed; a good id is echoed.
        self.assertEqual(f.call(b'  {"id":"a"}\r\n'), invalid("a"))


if __name__ == "__main__":
    import unittest
    unittest.main()
