"""The per-request time limit: it ends a stuck request with status 6 and no
answer, covers the writing of the answer, and never counts idle time."""

import os
import subprocess

from harness import FolderTest, compact

# Short limits keep the tests quick; the watchdog must fire well within WAIT.
LIMIT_MS = 300


class Watchdog(FolderTest):
    def blocked_write(self, f):
        """A write request whose payload is a FIFO without a writer: reading
        it blocks the request for as long as the process lives."""
        os.mkfifo(os.path.join(f.request_dir, "payload-fifo.bin"))
        return f.request("write", path="t", payloads=["payload-fifo.bin"])

    def test_stuck_request_ends_with_status_6(self):
        for hello in ({"hello": 1, "exitAfterMs": LIMIT_MS}, {"hello": 1, "exitAfterMs": 0.5}):
            with self.subTest(hello=hello):
                f = self.start()
                f.hello(hello)
                f.send(self.blocked_write(f))
                self.assertEqual(f.wait(), 6)
                self.assertTrue(f.read_end())
                self.assertFalse(os.path.exists(os.path.join(f.root, "t")))

    def test_unread_answer_counts_against_the_limit(self):
        f = self.start()
        f.hello({"hello": 1, "exitAfterMs": LIMIT_MS})
        # About 250 KB of names: more than a pipe holds, so the write blocks
        # while nobody reads.
        listed = os.path.join(f.root, "many")
        os.mkdir(listed)
        for i in range(1000):
            open(os.path.join(listed, "%04d" % i + "n" * 240), "wb").close()
        f.send(f.request("listNames", path="many"))
        self.assertEqual(f.wait(), 6)

    def test_idle_time_between_requests_is_not_counted(self):
        f = self.start()
        # Long enough for one exists request on a loaded sanitizer build.
        f.hello({"hello": 1, "exitAfterMs": 1000})
        exists = compact({"exists": False, "id": "r1", "reachable": True})
        self.assertEqual(f.call(f.request("exists", path="a")), exists)
        # Stay idle for several times the limit: the process must not end.
        with self.assertRaises(subprocess.TimeoutExpired):
            f.wait(timeout=3.0)
        self.assertEqual(f.call(f.request("exists", path="a")), exists)
        f.close_stdin()
        self.assertEqual(f.wait(), 0)
