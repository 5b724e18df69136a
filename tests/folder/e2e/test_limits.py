"""Answers past the frame limit, and memory that stays bounded however fast
the browser writes or however large the files are."""

import os
import select
import time

from harness import SANITIZE, FolderTest, compact, frame, refusal, write_file

MIB = 1 << 20


def peak_rss_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmHWM for %d" % pid)


class ResponseTooLarge(FolderTest):
    def test_oversized_listing_is_replaced_and_copies_stay(self):
        f = self.session()
        listed = os.path.join(f.root, "many")
        os.mkdir(listed)
        for i in range(1000):
            open(os.path.join(listed, "%04d" % i + "n" * 251), "wb").close()
        # Four listings of about 280 KB each: more than one frame may carry.
        dirs = [{"path": "many"}] * 4
        self.assertEqual(f.call(f.request("readDirs", id="big", dirs=dirs)),
                         refusal("too-large", "ResponseTooLarge", "big"))
        output = os.path.join(f.request_dir, "files-big")
        self.assertEqual(sorted(os.listdir(output)), ["0", "1", "2", "3"])
        self.assertEqual(len(os.listdir(os.path.join(output, "3"))), 1000)
        # The session goes on.
        self.assertEqual(f.call(f.request("exists", path="many")),
                         compact({"exists": True, "id": "r1", "reachable": True}))


class BoundedMemory(FolderTest):
    def test_reader_runs_at_most_a_few_frames_ahead(self):
        f = self.session()
        f.send(f.stuck_request())
        # While that request hangs, offer many large requests without blocking
        # and count what the service takes in.
        request = f.request("exists", path="a", pad="")
        request["pad"] = "x" * (MIB - len(compact(request)) - 100)
        data = memoryview(frame(request) * 40)
        fd = f.proc.stdin.fileno()
        os.set_blocking(fd, False)
        accepted = 0
        while accepted < len(data):
            try:
                accepted += os.write(fd, data[accepted:])
                continue
            except BlockingIOError:
                pass
            # Full pipe: go on only if the service drains it again soon.
            _, writable, _ = select.select([], [fd], [], 2.0)
            if not writable:
                break
        # The request in progress, one value in the channel and one the reader
        # holds, plus whatever the pipe buffers.
        self.assertLess(accepted, 5 * MIB)
        if not SANITIZE:
            self.assertLess(peak_rss_mib(f.proc.pid), 48)

    def test_huge_payload_is_refused_without_being_held(self):
        f = self.session()
        name = f.put_payload("huge", b"")
        os.truncate(os.path.join(f.request_dir, name), 512 * MIB)  # sparse
        self.assertEqual(f.call(f.request("write", path="t", payloads=[name])),
                         refusal("io-error", "TooLarge", "r1"))
        self.assertFalse(os.path.exists(os.path.join(f.root, "t")))
        if not SANITIZE:
            self.assertLess(peak_rss_mib(f.proc.pid), 80)

    def test_listing_copies_hold_one_file_at_a_time(self):
        if SANITIZE:
            self.skipTest("sanitizer shadow memory distorts the peak")
        f = self.session()
        self.need_room(f.tmp, 130)  # the files and their copies
        for i in range(8):
            write_file(os.path.join(f.root, "big", "f%d" % i), bytes([i]) * (8 * MIB))
        answer = f.call_json(f.request("readDir", path="big"))
        self.assertEqual(len(answer["entries"]), 8)
        self.assertEqual(os.path.getsize(os.path.join(f.request_dir, "files-r1", "7")), 8 * MIB)
        self.assertLess(peak_rss_mib(f.proc.pid), 40)
