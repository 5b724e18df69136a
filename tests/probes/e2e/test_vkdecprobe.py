"""vkdecprobe against a fake Vulkan loader: options, every outcome, the
device choice, the version rule, clean-up calls, and drivers that answer
badly."""
import os
import unittest

from probe_harness import BROKEN, VK_USAGE, VULKAN_FULL, VULKAN_NOGIPA, VULKAN_OK, ProbeCase

VIDEO = ("VK_KHR_video_queue", "VK_KHR_video_decode_queue")
DISCRETE, INTEGRATED, VIRTUAL, CPU = 2, 1, 3, 4
PROPS2 = "instance_ext VK_KHR_get_physical_device_properties2\n"
DEVICE_NODE = "/dev/null"  # a character device with non-zero numbers


def device(name, kind=DISCRETE, api="1.3", exts=VIDEO, extra=""):
    lines = ["device", f"name {name}", f"type {kind}", f"api {api}"]
    lines += [f"ext {e}" for e in exts]
    return "\n".join(lines) + "\n" + extra


def node_numbers(path):
    rdev = os.stat(path).st_rdev
    return os.major(rdev), os.minor(rdev)


def error(message):
    return b"ERROR\nVulkan test failed: " + message.encode() + b"\n"


UNSUPPORTED = b"VULKAN_SUPPORTED\nFALSE\n"


class CommandLine(ProbeCase):
    def test_usage_without_a_request_to_probe(self):
        for args in ([], ["-h"], ["--help"], ["-q"]):
            with self.subTest(args=args):
                run = self.vulkan(device("GPU"), args=args)
                self.assertEqual(run.stdout, VK_USAGE)
                self.assertEqual(run.calls, [])

    def test_each_request_to_probe(self):
        config = device("GPU", exts=VIDEO + ("VK_KHR_video_decode_h264",))
        for args in (["-p"], ["--probe"], ["-d", DEVICE_NODE], ["--drm", ""], ["anything"], ["-h", "x"]):
            with self.subTest(args=args):
                run = self.vulkan(config, args=args)
                self.assertReport(run, b"VULKAN_DEVICE\nGPU\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n16\n")


class Outcomes(ProbeCase):
    def test_no_loader(self):
        run = self.vulkan(device("GPU"), libs={"libvulkan.so.1": BROKEN, "libvulkan.so": BROKEN}, debug=True)
        self.assertEqual(run.stdout, UNSUPPORTED)
        self.assertIn(b"vkdecprobe: libvulkan not found\n", run.stderr)

    def test_unversioned_loader_is_the_fallback(self):
        run = self.vulkan(device("GPU", exts=VIDEO + ("VK_KHR_video_decode_h265",)),
                          libs={"libvulkan.so.1": BROKEN, "libvulkan.so": VULKAN_FULL})
        self.assertReport(run, b"VULKAN_DEVICE\nGPU\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n4096\n")

    def test_loader_without_get_instance_proc_addr(self):
        run = self.vulkan(device("GPU"), libs={"libvulkan.so.1": VULKAN_NOGIPA})
        self.assertReport(run, error("vkGetInstanceProcAddr not found."))

    def test_no_create_instance(self):
        run = self.vulkan("hide vkCreateInstance\n" + device("GPU"))
        self.assertReport(run, error("vkCreateInstance not found."))
        self.assertEqual(run.calls, [])

    def test_instance_creation_fails(self):
        run = self.vulkan("create_result -9\n" + device("GPU"), debug=True)
        self.assertEqual(run.stdout, UNSUPPORTED)
        self.assertIn(b"vkdecprobe: vkCreateInstance failed -9\n", run.stderr)
        self.assertFalse([c for c in run.calls if c.startswith("vkDestroyInstance")])

    def test_required_instance_function_missing(self):
        for name in ("vkDestroyInstance", "vkEnumeratePhysicalDevices", "vkGetPhysicalDeviceProperties",
                     "vkEnumerateDeviceExtensionProperties"):
            with self.subTest(name=name):
                run = self.vulkan(f"hide {name}\n" + device("GPU"))
                self.assertReport(run, error("required entry points not found."))
                self.assertFalse([c for c in run.calls if c.startswith("vkDestroyInstance")])

    def test_no_devices_or_unreadable_list(self):
        for config in ("", "enum_result -3\n" + device("GPU"), "fetch_result 5\n" + device("GPU"),
                       "fetch_result -1\n" + device("GPU")):
            with self.subTest(config=config):
                run = self.vulkan(config, debug=True)
                self.assertReport(run, UNSUPPORTED)
                # Only an empty or failed count is told as "no physical devices".
                self.assertEqual(b"vkdecprobe: no physical devices\n" in run.stderr,
                                 "fetch_result" not in config)
                self.assertEqual(run.calls[-1], "vkDestroyInstance ours allocator=0")

    def test_no_candidate(self):
        cases = {
            device("Soft", kind=CPU, exts=VIDEO + ("VK_KHR_video_decode_h264",)): b"physdev[0] skip (CPU)\n",
            device("Old", api="1.2"): b"physdev[0] skip (need Vulkan 1.3+)\n",
            device("Ancient", api="0.9"): b"physdev[0] skip (need Vulkan 1.3+)\n",
            device("NoQueue", exts=("VK_KHR_video_decode_queue",)):
                b"missing required extension VK_KHR_video_queue\n",
            device("NoDecode", exts=("VK_KHR_video_queue", "VK_KHR_video_encode_queue")):
                b"missing required extension VK_KHR_video_decode_queue\n",
            device("Bare", exts=()): b"physdev[0] skip (no VK_KHR_video_queue / VK_KHR_video_decode_queue)\n",
        }
        for config, log in cases.items():
            with self.subTest(config=config):
                run = self.vulkan(config, debug=True)
                self.assertEqual(run.stdout, UNSUPPORTED)
                self.assertIn(log, run.stderr)
                self.assertIn(b"vkdecprobe: no suitable devices (need non-CPU, Vulkan 1.3+, "
                              b"VK_KHR_video_queue + VK_KHR_video_decode_queue)\n", run.stderr)
                self.assertEqual(run.calls[-1], "vkDestroyInstance ours allocator=0")

    def test_candidate_without_a_known_decode_extension(self):
        run = self.vulkan(device("Encoder", exts=VIDEO + ("VK_KHR_video_encode_h264",)))
        self.assertReport(run, b"VULKAN_DEVICE\nEncoder\n" + UNSUPPORTED)

    def test_h264_and_av1(self):
        run = self.vulkan(device("Arc", exts=VIDEO + ("VK_KHR_video_decode_h264", "VK_KHR_video_decode_av1")),
                          debug=True)
        self.assertReport(run, b"VULKAN_DEVICE\nArc\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n1040\n")
        for line in (b"vkdecprobe: device 0: Arc\n", b"vkdecprobe: device 0 extension VK_KHR_video_decode_queue\n",
                     b"vkdecprobe: device 0 has VK_KHR_video_decode_h264\n",
                     b"vkdecprobe: device 0 has VK_KHR_video_decode_av1\n", b"vkdecprobe: codecs bitmask 1040\n",
                     b"vkdecprobe finished\n"):
            self.assertIn(line, run.stderr)
        self.assertEqual(run.calls[-1], "vkDestroyInstance ours allocator=0")

    def test_debug_transcript(self):
        # Every debug line of a run that skips one device and selects another,
        # in order, then the report copy.
        config = device("Soft", kind=CPU) + \
            device("Arc", exts=VIDEO + ("VK_KHR_video_encode_h264", "VK_KHR_video_decode_h265"))
        run = self.vulkan(config, debug=True)
        report = b"VULKAN_DEVICE\nArc\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n4096\n"
        self.assertReport(run, report)
        self.assertEqual(run.stderr.decode().splitlines(keepends=True), [
            "vkdecprobe start\n",
            "vkdecprobe: 2 physical device(s)\n",
            "vkdecprobe: physdev[0] Soft type=4 vulkan=1.3 matches_renderer=0\n",
            "vkdecprobe: physdev[0] skip (CPU)\n",
            "vkdecprobe: physdev[1] Arc type=2 vulkan=1.3 matches_renderer=0\n",
            "vkdecprobe: physdev[1] -> decode candidate[0]\n",
            "vkdecprobe: selected: Arc (matches_renderer=0)\n",
            "vkdecprobe: device 0: Arc\n",
            "vkdecprobe: device 0 extension VK_KHR_video_decode_queue\n",
            "vkdecprobe: device 0 extension VK_KHR_video_decode_h265\n",
            "vkdecprobe: device 0 has VK_KHR_video_decode_h265\n",
            "vkdecprobe: codecs bitmask 4096\n",
            "vkdecprobe finished\n",
            "VULKAN_DEVICE\n", "Arc\n", "VULKAN_SUPPORTED\n", "TRUE\n", "VULKAN_HWCODECS\n", "4096\n",
        ])

    def test_all_four_decode_extensions(self):
        exts = VIDEO + tuple(f"VK_KHR_video_decode_{c}" for c in ("h264", "h265", "vp9", "av1"))
        run = self.vulkan(device("All", exts=exts))
        self.assertReport(run, b"VULKAN_DEVICE\nAll\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n5392\n")

    def test_version_rule(self):
        for api, kept in (("1.2", False), ("1.3", True), ("1.4", True), ("2.0", True), ("0.7", False)):
            with self.subTest(api=api):
                run = self.vulkan(device("GPU", api=api, exts=VIDEO + ("VK_KHR_video_decode_vp9",)))
                expected = b"VULKAN_DEVICE\nGPU\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n256\n"
                self.assertEqual(run.stdout, expected if kept else UNSUPPORTED)


class Instance(ProbeCase):
    def creation(self, run):
        created = [c for c in run.calls if c.startswith("vkCreateInstance")]
        self.assertEqual(len(created), 1)
        return created[0]

    def test_properties2_enabled_only_when_listed(self):
        listed = self.vulkan(PROPS2 + "instance_ext VK_KHR_surface\n" + device("GPU"))
        self.assertIn(" exts=VK_KHR_get_physical_device_properties2, ", self.creation(listed))
        unlisted = self.vulkan("instance_ext VK_KHR_surface\n" + device("GPU"))
        self.assertIn(" exts= ", self.creation(unlisted))

    def test_application_information(self):
        run = self.vulkan(device("GPU"))
        self.assertTrue(self.creation(run).startswith(
            "vkCreateInstance app=vkdecprobe/1 engine=vkdecprobe/1 api=0x400000 layers=0 exts="))


class DeviceChoice(ProbeCase):
    CODEC = VIDEO + ("VK_KHR_video_decode_h264",)

    def chosen(self, run):
        records = run.records()
        self.assertEqual(records[0][0], "VULKAN_DEVICE", run.stdout)
        return records[0][1]

    def test_matching_render_node_beats_a_discrete_gpu(self):
        major, minor = node_numbers(DEVICE_NODE)
        config = PROPS2 + device("Discrete", DISCRETE, exts=self.CODEC, extra="render 226 129\n") + \
            device("Integrated", INTEGRATED, exts=self.CODEC, extra=f"render {major} {minor}\n")
        run = self.vulkan(config, args=["-d", DEVICE_NODE], debug=True)
        self.assertEqual(self.chosen(run), "Integrated")
        self.assertIn(b"vkdecprobe: selected: Integrated (matches_renderer=1)\n", run.stderr)
        self.assertIn(b"vkdecprobe: physdev[1] Integrated type=1 vulkan=1.3 matches_renderer=1\n", run.stderr)
        # The DRM structure reaches the driver zeroed.
        self.assertIn("vkGetPhysicalDeviceProperties2 drm-in 0 0", run.calls)
        # Without the node the device type decides.
        self.assertEqual(self.chosen(self.vulkan(config, args=["-p"])), "Discrete")

    def test_matching_primary_node(self):
        major, minor = node_numbers(DEVICE_NODE)
        config = PROPS2 + device("Discrete", DISCRETE, exts=self.CODEC) + \
            device("Virtual", VIRTUAL, exts=self.CODEC, extra=f"primary {major} {minor}\n")
        self.assertEqual(self.chosen(self.vulkan(config, args=["-d", DEVICE_NODE])), "Virtual")

    def test_node_with_minor_zero_never_matches(self):
        node = next((p for p in ("/dev/tty", "/dev/ptmx", "/dev/console")
                     if os.path.exists(p) and os.major(os.stat(p).st_rdev) and not os.minor(os.stat(p).st_rdev)),
                    None)
        if node is None:
            self.skipTest("no character device with minor number 0 on this system")
        major, _ = node_numbers(node)
        config = PROPS2 + device("Discrete", DISCRETE, exts=self.CODEC) + \
            device("Integrated", INTEGRATED, exts=self.CODEC, extra=f"primary {major} 0\nrender {major} 0\n")
        run = self.vulkan(config, args=["-d", node])
        self.assertEqual(self.chosen(run), "Discrete")
        self.assertFalse([c for c in run.calls if c.startswith("vkGetPhysicalDeviceProperties2")])

    def test_missing_or_plain_nodes_do_not_match(self):
        config = PROPS2 + device("Discrete", DISCRETE, exts=self.CODEC) + \
            device("Integrated", INTEGRATED, exts=self.CODEC, extra="render 0 0\n")
        plain = self.write("plain-file", "")
        for node in (os.path.join(self.dir, "absent"), "", plain):
            with self.subTest(node=node):
                self.assertEqual(self.chosen(self.vulkan(config, args=["-d", node])), "Discrete")

    def test_without_properties2_the_type_decides(self):
        major, minor = node_numbers(DEVICE_NODE)
        config = "hide vkGetPhysicalDeviceProperties2\n" + device("Discrete", DISCRETE, exts=self.CODEC) + \
            device("Integrated", INTEGRATED, exts=self.CODEC, extra=f"render {major} {minor}\n")
        self.assertEqual(self.chosen(self.vulkan(config, args=["-d", DEVICE_NODE])), "Discrete")

    def test_type_scores(self):
        order = [("Other", 0), ("Virtual", VIRTUAL), ("Integrated", INTEGRATED), ("Discrete", DISCRETE)]
        for best in range(len(order)):
            config = "".join(device(n, k, exts=self.CODEC) for n, k in order[:best + 1])
            with self.subTest(best=order[best][0]):
                self.assertEqual(self.chosen(self.vulkan(config)), order[best][0])

    def test_many_candidates(self):
        config = "".join(device(f"Virtual{i}", VIRTUAL, exts=self.CODEC) for i in range(19))
        config += device("Best", DISCRETE, exts=self.CODEC)
        run = self.vulkan(config, debug=True)
        self.assertEqual(self.chosen(run), "Best")
        self.assertIn(b"vkdecprobe: physdev[19] -> decode candidate[19]\n", run.stderr)


class BadDrivers(ProbeCase):
    """Answers that do not fit the arrays must never be read past (the ASan
    build turns such a read into a failed run)."""

    CODEC = VIDEO + ("VK_KHR_video_decode_h264",)

    def test_device_count_larger_than_the_list(self):
        run = self.vulkan("fetch_claim 500\n" + device("GPU", exts=self.CODEC))
        self.assertReport(run, b"VULKAN_DEVICE\nGPU\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n16\n")

    def test_device_count_higher_at_first(self):
        run = self.vulkan("count_claim 3\n" + device("GPU", exts=self.CODEC))
        self.assertReport(run, b"VULKAN_DEVICE\nGPU\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n16\n")

    def test_extension_count_larger_than_the_list(self):
        run = self.vulkan(device("GPU", exts=self.CODEC, extra="ext_fetch_claim 100000\n"))
        self.assertReport(run, b"VULKAN_DEVICE\nGPU\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n16\n")

    def test_extension_list_unreadable(self):
        for extra in ("ext_result -1\n", "ext_list_result -3\n", "ext_count_claim 0\n"):
            with self.subTest(extra=extra):
                run = self.vulkan(device("GPU", exts=self.CODEC, extra=extra), debug=True)
                self.assertEqual(run.stdout, UNSUPPORTED)
                self.assertIn(b"physdev[0] skip (no VK_KHR_video_queue / VK_KHR_video_decode_queue)\n",
                              run.stderr)

    def test_name_that_fills_its_array(self):
        run = self.vulkan(device("x", exts=self.CODEC, extra="long_name 1\n"), debug=True)
        self.assertReport(run, b"VULKAN_DEVICE\n" + b"A" * 255 + b"\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n16\n")

    def test_device_list_that_cannot_be_allocated(self):
        run = self.vulkan("count_claim 0xffffffff\n" + device("GPU", exts=self.CODEC), starve_memory=True)
        self.assertReport(run, error("out of memory."))
        self.assertEqual(run.calls[-1], "vkDestroyInstance ours allocator=0")

    def test_extension_list_that_cannot_be_allocated(self):
        config = device("Huge", exts=self.CODEC, extra="ext_count_claim 0xffffffff\n") + \
            device("Fine", INTEGRATED, exts=self.CODEC)
        run = self.vulkan(config, starve_memory=True)
        self.assertReport(run, b"VULKAN_DEVICE\nFine\nVULKAN_SUPPORTED\nTRUE\nVULKAN_HWCODECS\n16\n")


if __name__ == "__main__":
    unittest.main()
