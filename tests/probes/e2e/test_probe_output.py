"""The debug switch, the silencing of standard error, and the report copy,
for both probes."""
import os
import unittest

from probe_harness import ACCELPROBE, VKDECPROBE, VA_OK, VULKAN_OK, ProbeCase

VULKAN_CONFIG = "device\nname GPU\next VK_KHR_video_queue\next VK_KHR_video_decode_queue\n" \
                "ext VK_KHR_video_decode_h264\n"
ACCEL_REPORT = b"VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n16\n"
VULKAN_REPORT = b"VULKAN_DEVICE\nGPU\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n16\n"


class DebugSwitch(ProbeCase):
    def probes(self, env):
        accel = self.accel(["-d", "/dev/null"], env={"FAKE_VA_PROFILES": "7:1", **env})
        self.assertEqual(accel.stdout, ACCEL_REPORT)
        vulkan = self.vulkan(VULKAN_CONFIG, env=env)
        self.assertEqual(vulkan.stdout, VULKAN_REPORT)
        return accel, vulkan

    def test_values_that_leave_debugging_off(self):
        for value in (None, "", "0", "true", " 1", "yes1"):
            with self.subTest(value=value):
                env = {} if value is None else {"ZAX_GFX_DEBUG": value}
                for run in self.probes(env):
                    self.assertEqual(run.stderr, b"")

    def test_values_that_turn_debugging_on(self):
        for value in ("1", "12", "1abc"):
            with self.subTest(value=value):
                accel, vulkan = self.probes({"ZAX_GFX_DEBUG": value})
                self.assertTrue(accel.stderr.startswith(b"accelprobe start, device /dev/null\n"))
                self.assertTrue(accel.stderr.endswith(b"accelprobe finished\n" + ACCEL_REPORT))
                self.assertTrue(vulkan.stderr.startswith(b"vkdecprobe start\n"))
                self.assertTrue(vulkan.stderr.endswith(b"vkdecprobe finished\n" + VULKAN_REPORT))

    def test_usage_ignores_the_switch(self):
        for program in (ACCELPROBE, VKDECPROBE):
            with self.subTest(program=program):
                run = self.run_probe(program, [], debug=True)
                self.assertEqual(run.stderr, b"")


class Silencing(ProbeCase):
    """Descriptors inherited between standard error and the one /dev/null is
    opened on must lead to /dev/null before any driver code runs."""

    def run_with_inherited(self, program, args, libs, env):
        # The shell leaves descriptors 3 and 4 open on files of ours, so
        # /dev/null lands on 5 inside the probe.
        targets = [os.path.join(self.dir, f"inherited-{fd}") for fd in (3, 4)]
        script = f'exec 3>"{targets[0]}" 4>"{targets[1]}"; exec "$0" "$@"'
        run = self.run_probe("/bin/sh", ["-c", script, program, *args], libs=libs,
                             env={"FAKE_LOG_FDS": "1", **env})
        fds = dict(line.split(" ", 2)[1:] for line in run.calls if line.startswith("fd "))
        return run, fds, targets

    def test_quiet_run_points_every_slot_at_dev_null(self):
        device = self.write("device", "")
        cases = ((ACCELPROBE, ["-d", device], VA_OK, {"FAKE_VA_PROFILES": "7:1"}),
                 (VKDECPROBE, ["-p"], VULKAN_OK, {"FAKE_VK_CONFIG": self.write("vk.conf", VULKAN_CONFIG)}))
        for program, args, libs, env in cases:
            with self.subTest(program=os.path.basename(program)):
                run, fds, targets = self.run_with_inherited(program, args, libs, env)
                self.assertEqual({fd: fds.get(fd) for fd in ("2", "3", "4")},
                                 {"2": "/dev/null", "3": "/dev/null", "4": "/dev/null"})
                # The /dev/null descriptor itself is closed (accelprobe's device takes its slot).
                self.assertNotEqual(fds.get("5"), "/dev/null")
                self.assertEqual(fds.get("1", "").startswith("pipe:"), True)
                self.assertEqual(run.stderr, b"")
                for target in targets:
                    self.assertEqual(os.path.getsize(target), 0)

    def test_debug_run_leaves_descriptors_alone(self):
        env = {"FAKE_VA_PROFILES": "7:1", "ZAX_GFX_DEBUG": "1"}
        run, fds, targets = self.run_with_inherited(ACCELPROBE, ["-d", "/dev/null"], VA_OK, env)
        self.assertTrue(fds["2"].startswith("pipe:"))
        self.assertEqual((fds["3"], fds["4"]), tuple(targets))


if __name__ == "__main__":
    unittest.main()
