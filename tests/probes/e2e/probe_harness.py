"""Runs the probes against fake or real platform libraries.

Each run gets a directory of its own that holds symbolic links named like the
platform libraries (libva.so.2, libvulkan.so.1, ...) to the chosen fake
builds; it goes first on LD_LIBRARY_PATH, so dlopen finds exactly those.
The fakes append their calls to a log file in the same directory.
"""
import os
import resource
import shutil
import subprocess
import tempfile
import unittest
from dataclasses import dataclass

BUILD_DIR = os.environ.get("VORN_BUILD_DIR", "")
SANITIZE = os.environ.get("VORN_SANITIZE", "0") in ("1", "ON", "TRUE", "true")
FAKES_DIR = os.environ.get("VORN_PROBE_FAKES") or os.path.join(BUILD_DIR, "tests", "probes", "fakes")
ACCELPROBE = os.path.join(BUILD_DIR, "probes", "accelprobe")
VKDECPROBE = os.path.join(BUILD_DIR, "probes", "vkdecprobe")

# Fake builds, by role.
VA_FULL = "libfake_va_full.so"
VA_PARTIAL = "libfake_va_partial.so"      # lacks one required entry point
VA_DRM_FULL = "libfake_va_drm_full.so"
VA_DRM_NOSYM = "libfake_va_drm_nosym.so"  # lacks vaGetDisplayDRM
VULKAN_FULL = "libfake_vulkan_full.so"
VULKAN_NOGIPA = "libfake_vulkan_nogipa.so"  # lacks vkGetInstanceProcAddr
BROKEN = "libfake_broken.so"              # found, but fails to load

# How a probe ends when a fake could not append to its call log.
FAKE_LOG_FAILED = 97

VA_OK = {"libva.so.2": VA_FULL, "libva-drm.so.2": VA_DRM_FULL}
VULKAN_OK = {"libvulkan.so.1": VULKAN_FULL}

ACCEL_USAGE = (b"Vorlane VA-API probe utility\n\nusage: accelprobe [options]\n\nOptions:\n\n"
               b"  -h --help                 show this message\n"
               b"  -d --drm drm_device       probe VA-API on drm_device (may be /dev/dri/renderD128)\n\n")
VK_USAGE = (b"Vorlane Vulkan video decode probe utility\n\nusage: vkdecprobe [options]\n\nOptions:\n\n"
            b"  -h --help                 show this message\n"
            b"  -p --probe               probe Vulkan (no DRM device)\n"
            b"  -d --drm drm_device       probe Vulkan (drm_device is ignored)\n\n")


@dataclass
class Run:
    returncode: int
    stdout: bytes
    stderr: bytes
    calls: list  # lines the fakes logged

    def records(self):
        """The report as (key, value) pairs; fails on a dangling key line."""
        lines = self.stdout.decode().split("\n")
        assert lines[-1] == "", f"report does not end with a line feed: {self.stdout!r}"
        lines = lines[:-1]
        assert len(lines) % 2 == 0, f"odd number of report lines: {self.stdout!r}"
        return list(zip(lines[0::2], lines[1::2]))


def limit_address_space():
    """Makes huge allocations fail without touching ordinary ones."""
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


class ProbeCase(unittest.TestCase):
    """Base for probe tests: a scratch directory and a run helper."""

    def setUp(self):
        for path in (ACCELPROBE, VKDECPROBE):
            self.assertTrue(os.access(path, os.X_OK), f"missing {path}; set VORN_BUILD_DIR")
        self.dir = tempfile.mkdtemp(prefix="probe-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def run_probe(self, program, args, libs=None, env=None, debug=False, starve_memory=False,
                  pass_fds=(), real_libs=False):
        """Runs a probe to its end. `libs` maps library names to fake builds;
        without it (and without `real_libs`) no fake is on the path."""
        libdir = tempfile.mkdtemp(dir=self.dir, prefix="lib-")
        for name, fake in (libs or {}).items():
            os.symlink(os.path.join(FAKES_DIR, fake), os.path.join(libdir, name))
        log = os.path.join(libdir, "calls.log")
        asan_log = os.path.join(libdir, "asan")
        child_env = {k: v for k, v in os.environ.items()
                     if not k.startswith(("FAKE_", "ZAX_", "LD_"))}
        child_env["LD_LIBRARY_PATH"] = libdir
        child_env["FAKE_CALL_LOG"] = log
        asan = [f"log_path={asan_log}"]
        if real_libs:
            # Leaks inside the platform's own drivers are not the probe's.
            asan.append("detect_leaks=0")
        if starve_memory:
            asan += ["allocator_may_return_null=1", "max_allocation_size_mb=1024"]
        child_env["ASAN_OPTIONS"] = ":".join(asan)
        if debug:
            child_env["ZAX_GFX_DEBUG"] = "1"
        child_env.update(env or {})
        preexec = limit_address_space if starve_memory and not SANITIZE else None
        proc = subprocess.run([program, *args], env=child_env, capture_output=True, timeout=120,
                              preexec_fn=preexec, pass_fds=pass_fds, stdin=subprocess.DEVNULL)
        sanitizer_reports = ""
        for name in os.listdir(libdir):
            if name.startswith("asan"):
                with open(os.path.join(libdir, name)) as f:
                    # A refused allocation that the test provoked is no finding.
                    sanitizer_reports += "".join(
                        line for line in f if "AddressSanitizer failed to allocate" not in line)
        self.assertEqual(sanitizer_reports, "", "sanitizer report")
        if proc.returncode == FAKE_LOG_FAILED:
            fs = os.statvfs(libdir)
            self.fail("a fake could not append to %s; its file system has %d KiB free"
                      % (log, fs.f_bavail * fs.f_frsize >> 10))
        self.assertEqual(proc.returncode, 0, proc.stderr.decode(errors="replace"))
        calls = []
        if os.path.exists(log):
            with open(log) as f:
                calls = f.read().splitlines()
        return Run(proc.returncode, proc.stdout, proc.stderr, calls)

    def accel(self, args, libs=VA_OK, **kw):
        return self.run_probe(ACCELPROBE, args, libs=libs, **kw)

    def vulkan(self, config, args=("-p",), libs=VULKAN_OK, **kw):
        env = kw.pop("env", {})
        env["FAKE_VK_CONFIG"] = self.write("vulkan.conf", config)
        return self.run_probe(VKDECPROBE, list(args), libs=libs, env=env, **kw)

    def assertReport(self, run, expected: bytes):
        self.assertEqual(run.stdout, expected, run.stderr.decode(errors="replace"))
