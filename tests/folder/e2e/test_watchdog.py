"""The per-request time limit: it ends a stuck request with status 6 before
its answer is whole, covers the writing of the answer, and never counts idle
time."""

import subprocess

from harness import FolderTest, compact

# Short limits keep the tests quick; the watchdog must fire well within WAIT.
LIMIT_MS = 300


class Watchdog(FolderTest):
    def test_stuck_request_ends_with_status_6(self):
        # Nobody reads the answer, so writing it blocks; the limit covers that
        # write as much as the work before it.
        for hello in ({"hello": 1, "exitAfterMs": LIMIT_MS}, {"hello": 1, "exitAfterMs": 0.5}):
            with self.subTest(hello=hello):
                f = self.start()
                f.hello(hello)
                f.send(f.stuck_request())
                self.assertEqual(f.wait(), 6)
                self.assertTrue(f.holds_no_whole_answer())

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
