"""The vorn-mcp command line: modes, usage errors, profile choice, exit."""

import fcntl
import os
import tempfile
import unittest

from bridge_proc import BUILD_STAMP, USAGE, WAIT, Bridge, run


class VersionAndHelp(unittest.TestCase):
    def test_version_and_help_go_to_stdout_and_exit_zero(self):
        for args, out in (
            (["--version"], "vorn-mcp %s\n" % BUILD_STAMP),
            (["--version", "--no-such-option"], "vorn-mcp %s\n" % BUILD_STAMP),
            (["-h"], USAGE + "\n"),
            (["--help", "--version"], USAGE + "\n"),
            (["--profile", "/tmp", "--version"], "vorn-mcp %s\n" % BUILD_STAMP),
        ):
            with self.subTest(args=args):
                status, stdout, stderr = run(args)
                self.assertEqual(status, 0)
                self.assertEqual(stdout, out)
                self.assertEqual(stderr, "")


class UsageErrors(unittest.TestCase):
    def check_usage_error(self, args, message):
        status, stdout, stderr = run(args)
        self.assertEqual(status, 2, args)
        self.assertEqual(stdout, "")
        self.assertEqual(stderr, USAGE + "\nvorn-mcp: " + message + "\n")

    def test_unknown_arguments(self):
        self.check_usage_error(["--bogus", "--version"], "unknown argument --bogus")
        self.check_usage_error(["profile"], "unknown argument profile")
        self.check_usage_error(["--profile", "/tmp", "-x"], "unknown argument -x")

    def test_argument_that_is_not_utf8_is_shown_with_replacement(self):
        status, _, stderr = run([b"ab\xffc"])
        self.assertEqual(status, 2)
        self.assertEqual(stderr, USAGE + "\nvorn-mcp: unknown argument ab\ufffdc\n")

    def test_profile_needs_a_directory(self):
        self.check_usage_error(["--profile"], "--profile needs a directory")
        self.check_usage_error(["--profile", ""], "--profile needs a directory")

    def test_no_home_directory(self):
        for env in ({}, {"XDG_CONFIG_HOME": "relative/dir"}):
            with self.subTest(env=env):
                status, stdout, stderr = run([], env=env)
                self.assertEqual(status, 2)
                self.assertEqual(stdout, "")
                self.assertEqual(
                    stderr,
                    USAGE
                    + "\nvorn-mcp found no home directory to find Vorn's data in: give --profile\n",
                )


class Profiles(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vorn-mcp-cli-")
        self.addCleanup(self.tmp.cleanup)

    def make_profile(self, name):
        agents = os.path.join(self.tmp.name, name, "vorn-agents")
        os.makedirs(agents)
        lock = os.path.join(agents, "live-1.lock")
        open(lock, "w").close()
        return os.path.join(self.tmp.name, name), lock

    def test_last_profile_wins_and_its_stale_locks_are_swept(self):
        first, first_lock = self.make_profile("first")
        second, second_lock = self.make_profile("second")
        status, stdout, stderr = run(["--profile", first, "--profile", second])
        self.assertEqual((status, stdout, stderr), (0, "", ""))
        self.assertTrue(os.path.exists(first_lock))
        self.assertFalse(os.path.exists(second_lock))

    def test_a_held_lock_is_kept(self):
        profile, lock = self.make_profile("held")
        with open(lock, "w") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            status, _, _ = run(["--profile", profile])
        self.assertEqual(status, 0)
        self.assertTrue(os.path.exists(lock))

    def test_missing_and_relative_profiles_are_accepted(self):
        for profile in (
            os.path.join(self.tmp.name, "not", "there", "yet"),
            "rel/./profile//",
        ):
            with self.subTest(profile=profile):
                status, stdout, stderr = run(["--profile", profile], cwd=self.tmp.name)
                self.assertEqual((status, stdout, stderr), (0, "", ""))
        self.assertFalse(os.path.exists(os.path.join(self.tmp.name, "not")))

    def test_default_profile_under_home(self):
        home = os.path.join(self.tmp.name, "home")
        agents = os.path.join(home, ".vorn", "Data", "vorn-agents")
        os.makedirs(agents)
        lock = os.path.join(agents, "live-9.lock")
        open(lock, "w").close()
        status, _, stderr = run([], env={"HOME": home, "XDG_CONFIG_HOME": "/elsewhere"})
        self.assertEqual((status, stderr), (0, ""))
        self.assertFalse(os.path.exists(lock))


class EndOfInput(unittest.TestCase):
    def test_closed_input_with_nothing_pending_exits_zero_at_once(self):
        with Bridge() as bridge:
            bridge.close_input()
            self.assertEqual(bridge.wait_exit(), 0)
            self.assertEqual(bridge.rest_of_output(), "")

    def test_closed_standard_streams_are_replaced_by_the_null_device(self):
        # Were fd 1 left closed, the next descriptor opened would take its
        # place and receive the protocol.
        import subprocess

        from bridge_proc import BINARY

        with tempfile.TemporaryDirectory(prefix="vorn-mcp-cli-") as tmp:
            done = subprocess.run(
                [BINARY, "--profile", tmp],
                input=b'{"jsonrpc":"2.0","id":1,"method":"initialize"}\n',
                preexec_fn=lambda: (os.close(1), os.close(2)),
                env={"PATH": os.environ.get("PATH", ""), "HOME": tmp},
                timeout=WAIT,
            )
            self.assertEqual(done.returncode, 0)


if __name__ == "__main__":
    unittest.main()
