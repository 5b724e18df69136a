"""The probes on the machine's own libraries: they link none of them, and
with Debian's libva and Vulkan loader they give the reports a machine
without a video device must give."""
import ctypes
import glob
import os
import subprocess
import unittest

from probe_harness import ACCELPROBE, SANITIZE, VKDECPROBE, ProbeCase

RENDER_NODE = "/dev/dri/renderD128"
SOFTWARE_ICDS = sorted(glob.glob("/usr/share/vulkan/icd.d/lvp_icd*.json"))
KNOWN_KEYS = {"VAAPI_SUPPORTED", "VAAPI_HWCODECS", "VULKAN_SUPPORTED", "VULKAN_HWCODECS", "VULKAN_DEVICE",
              "ERROR"}


def loadable(name):
    try:
        ctypes.CDLL(name)
        return True
    except OSError:
        return False


class Linking(ProbeCase):
    def test_no_platform_library_is_linked(self):
        for program in (ACCELPROBE, VKDECPROBE):
            with self.subTest(program=os.path.basename(program)):
                out = subprocess.run(["ldd", program], capture_output=True, text=True, check=True).stdout
                names = {line.split()[0] for line in out.splitlines() if line.strip()}
                self.assertFalse({n for n in names if n.startswith(("libva", "libvulkan"))}, out)
                if not SANITIZE:
                    allowed = ("linux-vdso", "libc.so", "/lib64/ld-linux", "ld-linux")
                    self.assertFalse({n for n in names if not n.startswith(allowed)}, out)


class RealVaApi(ProbeCase):
    def setUp(self):
        super().setUp()
        if not (loadable("libva.so.2") and loadable("libva-drm.so.2")):
            self.skipTest("libva.so.2 / libva-drm.so.2 not installed (Debian libva2, libva-drm2)")

    def test_render_node(self):
        run = self.run_probe(ACCELPROBE, ["-d", RENDER_NODE], real_libs=True)
        if os.path.exists(RENDER_NODE):
            # A real device may answer anything; the report must still be whole.
            self.assertTrue({key for key, _ in run.records()} <= KNOWN_KEYS, run.stdout)
        else:
            self.assertReport(run, b"ERROR\nVA-API test failed: failed to open renderDeviceFD.\n")

    def test_device_that_is_no_gpu(self):
        run = self.run_probe(ACCELPROBE, ["-d", "/dev/null"], real_libs=True, debug=True)
        self.assertIn(run.stdout, (b"", b"ERROR\nVA-API test failed: vaGetDisplayDRM failed.\n"))


class RealVulkan(ProbeCase):
    def setUp(self):
        super().setUp()
        if not loadable("libvulkan.so.1"):
            self.skipTest("libvulkan.so.1 not installed (Debian libvulkan1)")
        if not SOFTWARE_ICDS:
            self.skipTest("no software Vulkan driver installed (Debian mesa-vulkan-drivers)")

    def test_software_device_is_skipped(self):
        # Only the software driver, so a machine with a GPU gives the same answer.
        env = {"VK_ICD_FILENAMES": SOFTWARE_ICDS[0], "VK_DRIVER_FILES": SOFTWARE_ICDS[0]}
        run = self.run_probe(VKDECPROBE, ["-p"], real_libs=True, env=env, debug=True)
        self.assertReport(run, b"VULKAN_SUPPORTED\nFALSE\n")
        self.assertRegex(run.stderr, rb"vkdecprobe: physdev\[0\] .* type=4 vulkan=1\.\d+ matches_renderer=0\n")
        self.assertIn(b"vkdecprobe: physdev[0] skip (CPU)\n", run.stderr)
        quiet = self.run_probe(VKDECPROBE, ["-p"], real_libs=True, env=env)
        self.assertReport(quiet, b"VULKAN_SUPPORTED\nFALSE\n")
        self.assertEqual(quiet.stderr, b"")


if __name__ == "__main__":
    unittest.main()
