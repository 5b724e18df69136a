"""accelprobe against fake VA-API libraries: options, every outcome, the
codec bitmask, clean-up calls, and drivers that answer badly."""
import os
import unittest

from probe_harness import (ACCEL_USAGE, BROKEN, SANITIZE, VA_DRM_FULL, VA_DRM_NOSYM, VA_FULL,
                           VA_OK, VA_PARTIAL, ProbeCase)

DEVICE = "/dev/null"  # opens read-write; the fakes never look at it
H264_HIGH, VP9_0, MPEG2_MAIN, JPEG = 7, 19, 1, 12
VLD, ENC_SLICE, VIDEO_PROC = 1, 6, 10


def error(message):
    return b"ERROR\n" + message.encode() + b"\n"


class CommandLine(ProbeCase):
    def test_without_a_device_the_usage_is_printed_and_nothing_probed(self):
        for args in ([], ["-h"], ["--help"], ["stray"], ["-x"]):
            with self.subTest(args=args):
                run = self.accel(args)
                self.assertEqual(run.stdout, ACCEL_USAGE)
                self.assertEqual(run.calls, [])

    def test_unknown_option_is_reported_by_the_parser_and_passed_over(self):
        run = self.accel(["--bogus", "-d", DEVICE], env={"FAKE_VA_PROFILES": "7:1"})
        self.assertIn(b"bogus", run.stderr)
        self.assertReport(run, b"VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n16\n")

    def test_help_with_a_device_probes(self):
        for args in (["-h", "-d", DEVICE], ["--drm", DEVICE, "--help"], [f"--drm={DEVICE}"]):
            with self.subTest(args=args):
                run = self.accel(args, env={"FAKE_VA_PROFILES": "7:1"})
                self.assertReport(run, b"VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n16\n")

    def test_last_device_wins(self):
        missing = os.path.join(self.dir, "no-such-node")
        run = self.accel(["-d", missing, "-d", DEVICE], env={"FAKE_VA_PROFILES": "7:1"})
        self.assertReport(run, b"VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n16\n")
        run = self.accel(["-d", DEVICE, "-d", missing])
        self.assertReport(run, error("VA-API test failed: failed to open renderDeviceFD."))


class Outcomes(ProbeCase):
    def test_unopenable_device(self):
        for path in (os.path.join(self.dir, "absent"), ""):
            with self.subTest(path=path):
                run = self.accel(["-d", path])
                self.assertReport(run, error("VA-API test failed: failed to open renderDeviceFD."))
                self.assertEqual(run.calls, [])

    def test_missing_libva_drm_gives_an_empty_report(self):
        run = self.accel(["-d", DEVICE], libs={"libva.so.2": VA_FULL, "libva-drm.so.2": BROKEN},
                         debug=True)
        self.assertEqual(run.stdout, b"")
        self.assertIn(b"accelprobe failed: libva-drm.so.2 is missing\n", run.stderr)

    def test_libva_drm_without_get_display(self):
        run = self.accel(["-d", DEVICE], libs={"libva.so.2": VA_FULL, "libva-drm.so.2": VA_DRM_NOSYM})
        self.assertReport(run, error("VA-API test failed: sVaGetDisplayDRM is missing."))

    def test_no_display(self):
        run = self.accel(["-d", DEVICE], env={"FAKE_VA_NO_DISPLAY": "1"})
        self.assertReport(run, error("VA-API test failed: vaGetDisplayDRM failed."))
        self.assertNotIn("vaTerminate", run.calls)

    def test_unusable_libva_gives_an_empty_report_and_no_driver_calls(self):
        for fake in (BROKEN, VA_PARTIAL):
            with self.subTest(fake=fake):
                run = self.accel(["-d", DEVICE], libs={"libva.so.2": fake, "libva-drm.so.2": VA_DRM_FULL},
                                 debug=True, env={"FAKE_VA_PROFILES": "7:1"})
                self.assertEqual(run.stdout, b"")
                self.assertIn(b"vaInitialize failed 20\n", run.stderr)
                self.assertEqual(run.calls, ["vaGetDisplayDRM"])

    def test_failed_initialisation_is_empty_but_still_terminated(self):
        run = self.accel(["-d", DEVICE], debug=True, env={"FAKE_VA_INIT_STATUS": "3"})
        self.assertEqual(run.stdout, b"")
        self.assertIn(b"vaInitialize failed 3\n", run.stderr)
        self.assertEqual(run.calls, ["vaGetDisplayDRM", "vaInitialize", "vaTerminate"])

    def test_bad_limits(self):
        for name, value in (("FAKE_VA_MAX_PROFILES", "0"), ("FAKE_VA_MAX_ENTRYPOINTS", "-4")):
            with self.subTest(**{name: value}):
                run = self.accel(["-d", DEVICE], env={name: value, "FAKE_VA_PROFILES": "7:1"})
                self.assertReport(run, error("VA-API test failed: wrong VAAPI profiles/entry point nums."))
                self.assertEqual(run.calls[-1], "vaTerminate")

    def test_failed_profile_query(self):
        run = self.accel(["-d", DEVICE], env={"FAKE_VA_QUERY_PROFILES_STATUS": "1", "FAKE_VA_PROFILES": "7:1"})
        self.assertReport(run, error("VA-API test failed: vaQueryConfigProfiles() failed."))

    def test_only_unknown_profiles_or_entry_points(self):
        for profiles in (f"{MPEG2_MAIN}:1;{JPEG}:1", f"{H264_HIGH}:{VIDEO_PROC}", ""):
            with self.subTest(profiles=profiles):
                run = self.accel(["-d", DEVICE], env={"FAKE_VA_PROFILES": profiles})
                self.assertReport(run, b"VAAPI_SUPPORTED\nFALSE\n")
                self.assertFalse([c for c in run.calls if c.startswith("vaCreateConfig")])
                self.assertEqual(run.calls[-1], "vaTerminate")


class Codecs(ProbeCase):
    def test_h264_high_both_ways_and_vp9_decode(self):
        run = self.accel(["-d", DEVICE], debug=True,
                         env={"FAKE_VA_PROFILES": f"{H264_HIGH}:{VLD},{ENC_SLICE};{VP9_0}:{VLD}"})
        self.assertReport(run, b"VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n304\n")
        self.assertEqual(run.stderr.count(b"Profile: H264High\n"), 2)
        self.assertIn(b"Profile: VP9Profile0\n", run.stderr)
        created = [c for c in run.calls if c.startswith("vaCreateConfig")]
        self.assertEqual(created, ["vaCreateConfig 7 1 attribs=0", "vaCreateConfig 7 6 attribs=0",
                                   "vaCreateConfig 19 1 attribs=0"])
        destroyed = [c for c in run.calls if c.startswith("vaDestroyConfig")]
        self.assertEqual(destroyed, ["vaDestroyConfig 100", "vaDestroyConfig 101", "vaDestroyConfig 102"])
        self.assertEqual(run.calls[-1], "vaTerminate")

    def test_debug_transcript(self):
        # Every debug line of a successful run, in order, then the report copy.
        run = self.accel(["-d", DEVICE], debug=True,
                         env={"FAKE_VA_PROFILES": f"{MPEG2_MAIN}:{VLD};{H264_HIGH}:{VIDEO_PROC},{VLD}"})
        report = b"VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n16\n"
        self.assertReport(run, report)
        self.assertEqual(run.stderr, b"accelprobe start, device /dev/null\nvaInitialize finished\n"
                                     b"Profile: H264High\naccelprobe finished\n" + report)

    def test_every_table_row_and_its_bits(self):
        rows = {13: 0x10, 6: 0x10, 7: 0x10, 14: 0x40, 19: 0x100, 21: 0x100, 32: 0x400, 33: 0x400,
                17: 0x1000, 18: 0x1000, 23: 0x1000}
        for profile, bit in rows.items():
            with self.subTest(profile=profile):
                run = self.accel(["-d", DEVICE], env={"FAKE_VA_PROFILES": f"{profile}:{VLD},{ENC_SLICE}"})
                self.assertReport(run, b"VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n%d\n" % (bit | bit << 1))

    def test_refused_configuration_adds_no_bit(self):
        run = self.accel(["-d", DEVICE], env={"FAKE_VA_PROFILES": f"{H264_HIGH}:{VLD},{ENC_SLICE};{VP9_0}:{VLD}",
                                              "FAKE_VA_CONFIG_FAIL": f"{H264_HIGH}:{ENC_SLICE}"})
        self.assertReport(run, b"VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n272\n")
        run = self.accel(["-d", DEVICE], env={"FAKE_VA_PROFILES": f"{VP9_0}:{VLD}",
                                              "FAKE_VA_CONFIG_FAIL": f"{VP9_0}:{VLD}"})
        self.assertReport(run, b"VAAPI_SUPPORTED\nFALSE\n")
        self.assertFalse([c for c in run.calls if c.startswith("vaDestroyConfig")])

    def test_failed_entry_point_query_skips_only_that_profile(self):
        run = self.accel(["-d", DEVICE], env={"FAKE_VA_PROFILES": f"{H264_HIGH}:{VLD}",
                                              "FAKE_VA_QUERY_ENTRY_STATUS": "1"})
        self.assertReport(run, b"VAAPI_SUPPORTED\nFALSE\n")


class BadDrivers(ProbeCase):
    """Counts that do not fit the lists must never be read past (the ASan
    build turns such a read into a failed run)."""

    def test_counts_larger_than_the_lists(self):
        env = {"FAKE_VA_PROFILES": f"{H264_HIGH}:{VLD}", "FAKE_VA_MAX_PROFILES": "2",
               "FAKE_VA_MAX_ENTRYPOINTS": "1", "FAKE_VA_PROFILE_COUNT": "5000",
               "FAKE_VA_ENTRY_COUNT": "7000"}
        run = self.accel(["-d", DEVICE], env=env)
        self.assertReport(run, b"VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n16\n")
        # Only the profiles that fit were asked about: H.264 and one filler.
        self.assertEqual([c for c in run.calls if c.startswith("vaQueryConfigEntrypoints")],
                         ["vaQueryConfigEntrypoints 7"])

    def test_negative_counts(self):
        for name in ("FAKE_VA_PROFILE_COUNT", "FAKE_VA_ENTRY_COUNT"):
            with self.subTest(name=name):
                run = self.accel(["-d", DEVICE], env={"FAKE_VA_PROFILES": f"{H264_HIGH}:{VLD}", name: "-3"})
                self.assertReport(run, b"VAAPI_SUPPORTED\nFALSE\n")

    def test_list_that_cannot_be_allocated(self):
        run = self.accel(["-d", DEVICE], starve_memory=True,
                         env={"FAKE_VA_PROFILES": f"{H264_HIGH}:{VLD}", "FAKE_VA_MAX_PROFILES": str(2**31 - 1)})
        self.assertReport(run, error("VA-API test failed: out of memory."))
        self.assertEqual(run.calls[-1], "vaTerminate")
        run = self.accel(["-d", DEVICE], starve_memory=True,
                         env={"FAKE_VA_PROFILES": f"{H264_HIGH}:{VLD}", "FAKE_VA_MAX_ENTRYPOINTS": str(2**31 - 1)})
        self.assertReport(run, error("VA-API test failed: out of memory."))


if __name__ == "__main__":
    unittest.main()
