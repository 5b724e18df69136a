// vkdecprobe: tells the browser whether Vulkan video decoding is available,
// on which device, and for which codecs.
//
// The Vulkan loader is bound at run time so that the probe runs, and reports,
// on systems without one; the headers give only types and constants.
#define VK_NO_PROTOTYPES
#include <dlfcn.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vulkan/vulkan.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "probes/report.h"

namespace vorn {
namespace {

constexpr const char kUsage[] =
    "Vorlane Vulkan video decode probe utility\n\nusage: vkdecprobe [options]\n\nOptions:\n\n"
    "  -h --help                 show this message\n"
    "  -p --probe               probe Vulkan (no DRM device)\n"
    "  -d --drm drm_device       probe Vulkan (drm_device is ignored)\n";

constexpr const char kPropertiesExtension[] = "VK_KHR_get_physical_device_properties2";
constexpr const char kVideoQueue[] = "VK_KHR_video_queue";
constexpr const char kVideoDecodeQueue[] = "VK_KHR_video_decode_queue";
constexpr uint32_t kInitialCandidates = 8;

struct VulkanInstanceFns {
  PFN_vkDestroyInstance vkDestroyInstance = nullptr;
  PFN_vkEnumeratePhysicalDevices vkEnumeratePhysicalDevices = nullptr;
  PFN_vkGetPhysicalDeviceProperties vkGetPhysicalDeviceProperties = nullptr;
  PFN_vkGetPhysicalDeviceProperties2 vkGetPhysicalDeviceProperties2 = nullptr;  // optional
  PFN_vkEnumerateDeviceExtensionProperties vkEnumerateDeviceExtensionProperties = nullptr;

  bool has_required() const {
    return vkDestroyInstance != nullptr && vkEnumeratePhysicalDevices != nullptr &&
           vkGetPhysicalDeviceProperties != nullptr &&
           vkEnumerateDeviceExtensionProperties != nullptr;
  }
};

VulkanInstanceFns load_instance_fns(PFN_vkGetInstanceProcAddr gipa, VkInstance instance) {
  VulkanInstanceFns fns;
  fns.vkDestroyInstance =
      reinterpret_cast<PFN_vkDestroyInstance>(gipa(instance, "vkDestroyInstance"));
  fns.vkEnumeratePhysicalDevices = reinterpret_cast<PFN_vkEnumeratePhysicalDevices>(
      gipa(instance, "vkEnumeratePhysicalDevices"));
  fns.vkGetPhysicalDeviceProperties = reinterpret_cast<PFN_vkGetPhysicalDeviceProperties>(
      gipa(instance, "vkGetPhysicalDeviceProperties"));
  fns.vkGetPhysicalDeviceProperties2 = reinterpret_cast<PFN_vkGetPhysicalDeviceProperties2>(
      gipa(instance, "vkGetPhysicalDeviceProperties2"));
  fns.vkEnumerateDeviceExtensionProperties =
      reinterpret_cast<PFN_vkEnumerateDeviceExtensionProperties>(
          gipa(instance, "vkEnumerateDeviceExtensionProperties"));
  return fns;
}

struct DecodeCandidate {
  VkPhysicalDevice device;
  VkPhysicalDeviceProperties properties;
  int32_t matches_renderer;  // 1 when the device is the DRM node given
};

int type_score(VkPhysicalDeviceType type) {
  switch (type) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return 3;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return 2;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return 1;
    default: return 0;
  }
}

int compare_candidates(const void* left, const void* right) {
  const auto& a = *static_cast<const DecodeCandidate*>(left);
  const auto& b = *static_cast<const DecodeCandidate*>(right);
  if (a.matches_renderer != b.matches_renderer) return b.matches_renderer - a.matches_renderer;
  return type_score(b.properties.deviceType) - type_score(a.properties.deviceType);
}

struct DecodeExtension {
  const char* name;
  const char* codec;
};

constexpr DecodeExtension kDecodeExtensions[] = {
    {"VK_KHR_video_decode_h264", "H264"},
    {"VK_KHR_video_decode_h265", "HEVC"},
    {"VK_KHR_video_decode_vp9", "VP9"},
    {"VK_KHR_video_decode_av1", "AV1"},
};

int32_t codec_bit(const char* codec) {
  if (std::strcmp(codec, "H264") == 0) return kCodecH264Decode;
  if (std::strcmp(codec, "HEVC") == 0) return kCodecHevcDecode;
  if (std::strcmp(codec, "VP9") == 0) return kCodecVp9Decode;
  if (std::strcmp(codec, "AV1") == 0) return kCodecAv1Decode;
  return 0;
}

// Drivers fill fixed-size name arrays; one that fills them to the brim must
// not lead the probe to read past them.
template <size_t N>
void terminate_name(char (&name)[N]) {
  name[N - 1] = '\0';
}

void read_properties(const VulkanInstanceFns& fns, VkPhysicalDevice device,
                     VkPhysicalDeviceProperties& properties) {
  properties = VkPhysicalDeviceProperties{};
  fns.vkGetPhysicalDeviceProperties(device, &properties);
  terminate_name(properties.deviceName);
}

// The device's extensions (a heap list the caller frees, `count` long);
// none when the driver cannot give them, has none, or memory runs out.
VkExtensionProperties* device_extensions(const VulkanInstanceFns& fns, VkPhysicalDevice device,
                                         uint32_t& count) {
  count = 0;
  if (fns.vkEnumerateDeviceExtensionProperties(device, nullptr, &count, nullptr) != VK_SUCCESS ||
      count == 0) {
    return nullptr;
  }
  auto* list = static_cast<VkExtensionProperties*>(
      std::calloc(count, sizeof(VkExtensionProperties)));
  if (list == nullptr) return nullptr;
  uint32_t room = count;
  if (fns.vkEnumerateDeviceExtensionProperties(device, nullptr, &count, list) != VK_SUCCESS) {
    std::free(list);
    return nullptr;
  }
  if (count > room) count = room;
  for (uint32_t i = 0; i < count; ++i) terminate_name(list[i].extensionName);
  return list;
}

bool has_extension(const VkExtensionProperties* list, uint32_t count, const char* name) {
  for (uint32_t i = 0; i < count; ++i) {
    if (std::strcmp(list[i].extensionName, name) == 0) return true;
  }
  return false;
}

int32_t detect_decode_codecs(const VulkanInstanceFns& fns, VkPhysicalDevice device) {
  VkPhysicalDeviceProperties properties;
  read_properties(fns, device, properties);
  probe_log("vkdecprobe: device %u: %s\n", 0u, properties.deviceName);
  uint32_t count = 0;
  VkExtensionProperties* list = device_extensions(fns, device, count);
  if (list == nullptr) return 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (std::strstr(list[i].extensionName, "decode") != nullptr) {
      probe_log("vkdecprobe: device %u extension %s\n", 0u, list[i].extensionName);
    }
  }
  int32_t codecs = 0;
  for (uint32_t i = 0; i < count; ++i) {
    for (const DecodeExtension& row : kDecodeExtensions) {
      if (std::strcmp(list[i].extensionName, row.name) != 0) continue;
      probe_log("vkdecprobe: device %u has %s\n", 0u, row.name);
      codecs |= codec_bit(row.codec);
      break;
    }
  }
  std::free(list);
  return codecs;
}

// Whether the loader offers the instance extension that the DRM query needs.
bool loader_has_properties2(PFN_vkGetInstanceProcAddr gipa) {
  auto enumerate = reinterpret_cast<PFN_vkEnumerateInstanceExtensionProperties>(
      gipa(VK_NULL_HANDLE, "vkEnumerateInstanceExtensionProperties"));
  if (enumerate == nullptr) return false;
  uint32_t count = 0;
  if (enumerate(nullptr, &count, nullptr) != VK_SUCCESS || count == 0) return false;
  auto* list = static_cast<VkExtensionProperties*>(
      std::calloc(count, sizeof(VkExtensionProperties)));
  if (list == nullptr) return false;
  uint32_t room = count;
  bool found = false;
  if (enumerate(nullptr, &count, list) == VK_SUCCESS) {
    if (count > room) count = room;
    for (uint32_t i = 0; i < count; ++i) terminate_name(list[i].extensionName);
    found = has_extension(list, count, kPropertiesExtension);
  }
  std::free(list);
  return found;
}

struct DrmNode {
  uint32_t major = 0;
  uint32_t minor = 0;
};

DrmNode drm_node_numbers(const char* path) {
  DrmNode node;
  struct stat st;
  if (path != nullptr && path[0] != '\0' && ::stat(path, &st) == 0) {
    node.major = ::major(st.st_rdev);
    node.minor = ::minor(st.st_rdev);
  }
  return node;
}

// Whether the device sits behind the given DRM node, by either of its nodes.
int32_t device_matches(const VulkanInstanceFns& fns, VkPhysicalDevice device, DrmNode node,
                       VkPhysicalDeviceProperties& properties) {
  VkPhysicalDeviceDrmPropertiesEXT drm{};
  drm.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DRM_PROPERTIES_EXT;
  VkPhysicalDeviceProperties2 properties2{};
  properties2.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2;
  properties2.pNext = &drm;
  fns.vkGetPhysicalDeviceProperties2(device, &properties2);
  properties = properties2.properties;
  terminate_name(properties.deviceName);
  const auto major = static_cast<int64_t>(node.major);
  const auto minor = static_cast<int64_t>(node.minor);
  bool render = drm.hasRender && drm.renderMajor == major && drm.renderMinor == minor;
  bool primary = drm.hasPrimary && drm.primaryMajor == major && drm.primaryMinor == minor;
  return render || primary ? 1 : 0;
}

// Candidate list that grows by doubling.
struct Candidates {
  DecodeCandidate* items = nullptr;
  uint32_t count = 0;
  uint32_t room = 0;

  bool reserve_initial() {
    items = static_cast<DecodeCandidate*>(std::malloc(kInitialCandidates * sizeof(DecodeCandidate)));
    room = items != nullptr ? kInitialCandidates : 0;
    return items != nullptr;
  }
  bool push(const DecodeCandidate& candidate) {
    if (count == room) {
      void* grown = std::realloc(items, size_t{room} * 2 * sizeof(DecodeCandidate));
      if (grown == nullptr) return false;
      items = static_cast<DecodeCandidate*>(grown);
      room *= 2;
    }
    items[count++] = candidate;
    return true;
  }
};

constexpr const char kOutOfMemory[] = "ERROR\nVulkan test failed: out of memory.\n";

// Looks at each device and keeps those that can decode video. False when
// memory runs out (the record is made here).
bool gather_candidates(const VulkanInstanceFns& fns, const VkPhysicalDevice* devices,
                       uint32_t device_count, DrmNode node, Candidates& candidates) {
  bool matching = node.major != 0 && node.minor != 0 && fns.vkGetPhysicalDeviceProperties2;
  for (uint32_t i = 0; i < device_count; ++i) {
    const int index = static_cast<int>(i);
    DecodeCandidate candidate{};
    candidate.device = devices[i];
    if (matching) {
      candidate.matches_renderer = device_matches(fns, devices[i], node, candidate.properties);
    } else {
      read_properties(fns, devices[i], candidate.properties);
    }
    const VkPhysicalDeviceProperties& props = candidate.properties;
    const uint32_t api_major = VK_API_VERSION_MAJOR(props.apiVersion);
    const uint32_t api_minor = VK_API_VERSION_MINOR(props.apiVersion);
    probe_log("vkdecprobe: physdev[%d] %s type=%d vulkan=%u.%u matches_renderer=%d\n", index,
              props.deviceName, static_cast<int>(props.deviceType), api_major, api_minor,
              candidate.matches_renderer);
    if (props.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU) {
      probe_log("vkdecprobe: physdev[%d] skip (CPU)\n", index);
      continue;
    }
    if (api_major == 0 || (api_major == 1 && api_minor < 3)) {
      probe_log("vkdecprobe: physdev[%d] skip (need Vulkan 1.3+)\n", index);
      continue;
    }
    uint32_t count = 0;
    VkExtensionProperties* list = device_extensions(fns, devices[i], count);
    const char* missing = nullptr;
    if (list != nullptr) {
      if (!has_extension(list, count, kVideoQueue)) {
        missing = kVideoQueue;
      } else if (!has_extension(list, count, kVideoDecodeQueue)) {
        missing = kVideoDecodeQueue;
      }
      std::free(list);
    }
    if (list == nullptr || missing != nullptr) {
      if (missing != nullptr) probe_log("vkdecprobe: missing required extension %s\n", missing);
      probe_log("vkdecprobe: physdev[%d] skip (no VK_KHR_video_queue / VK_KHR_video_decode_queue)\n",
                index);
      continue;
    }
    if (!candidates.push(candidate)) {
      report_record(kOutOfMemory);
      return false;
    }
    probe_log("vkdecprobe: physdev[%d] -> decode candidate[%d]\n", index,
              static_cast<int>(candidates.count - 1));
  }
  return true;
}

void report_choice(const VulkanInstanceFns& fns, Candidates& candidates) {
  if (candidates.count == 0) {
    probe_log("vkdecprobe: no suitable devices (need non-CPU, Vulkan 1.3+, VK_KHR_video_queue + "
              "VK_KHR_video_decode_queue)\n");
    report_record("VULKAN_SUPPORTED\nFALSE\n");
    return;
  }
  std::qsort(candidates.items, candidates.count, sizeof(DecodeCandidate), compare_candidates);
  const DecodeCandidate& selected = candidates.items[0];
  probe_log("vkdecprobe: selected: %s (matches_renderer=%d)\n", selected.properties.deviceName,
            selected.matches_renderer);
  report_record("VULKAN_DEVICE\n%s\n", selected.properties.deviceName);
  int32_t codecs = detect_decode_codecs(fns, selected.device);
  probe_log("vkdecprobe: codecs bitmask %d\n", codecs);
  if (codecs != 0) {
    report_record("VULKAN_SUPPORTED\nTRUE\n");
    report_record("VULKAN_HWCODECS\n%d\n", codecs);
  } else {
    report_record("VULKAN_SUPPORTED\nFALSE\n");
  }
  probe_log("vkdecprobe finished\n");
}

// Everything from the loaded loader on; the caller closes the loader.
void probe_with_loader(void* loader, DrmNode node) {
  auto gipa = reinterpret_cast<PFN_vkGetInstanceProcAddr>(::dlsym(loader, "vkGetInstanceProcAddr"));
  if (gipa == nullptr) {
    report_record("ERROR\nVulkan test failed: vkGetInstanceProcAddr not found.\n");
    return;
  }
  auto create_instance =
      reinterpret_cast<PFN_vkCreateInstance>(gipa(VK_NULL_HANDLE, "vkCreateInstance"));
  if (create_instance == nullptr) {
    report_record("ERROR\nVulkan test failed: vkCreateInstance not found.\n");
    return;
  }
  const bool properties2 = loader_has_properties2(gipa);
  const char* extensions[] = {kPropertiesExtension};

  VkApplicationInfo app{};
  app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
  app.pApplicationName = "vkdecprobe";
  app.applicationVersion = 1;
  app.pEngineName = "vkdecprobe";
  app.engineVersion = 1;
  app.apiVersion = VK_MAKE_VERSION(1, 0, 0);
  VkInstanceCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
  info.pApplicationInfo = &app;
  info.enabledExtensionCount = properties2 ? 1 : 0;
  info.ppEnabledExtensionNames = properties2 ? extensions : nullptr;

  VkInstance instance = VK_NULL_HANDLE;
  VkResult result = create_instance(&info, nullptr, &instance);
  if (result != VK_SUCCESS) {
    probe_log("vkdecprobe: vkCreateInstance failed %d\n", static_cast<int>(result));
    report_record("VULKAN_SUPPORTED\nFALSE\n");
    return;
  }

  VkPhysicalDevice* devices = nullptr;
  Candidates candidates;
  do {
    const VulkanInstanceFns fns = load_instance_fns(gipa, instance);
    if (!fns.has_required()) {
      report_record("ERROR\nVulkan test failed: required entry points not found.\n");
      break;
    }
    uint32_t device_count = 0;
    if (fns.vkEnumeratePhysicalDevices(instance, &device_count, nullptr) != VK_SUCCESS ||
        device_count == 0) {
      probe_log("vkdecprobe: no physical devices\n");
      report_record("VULKAN_SUPPORTED\nFALSE\n");
      break;
    }
    devices = static_cast<VkPhysicalDevice*>(std::calloc(device_count, sizeof(VkPhysicalDevice)));
    if (devices == nullptr) {
      report_record(kOutOfMemory);
      break;
    }
    const uint32_t room = device_count;
    if (fns.vkEnumeratePhysicalDevices(instance, &device_count, devices) != VK_SUCCESS) {
      report_record("VULKAN_SUPPORTED\nFALSE\n");
      break;
    }
    // A driver may claim more devices than it had room to write.
    if (device_count > room) device_count = room;
    probe_log("vkdecprobe: %u physical device(s)\n", device_count);
    if (!candidates.reserve_initial()) {
      report_record(kOutOfMemory);
      break;
    }
    if (!gather_candidates(fns, devices, device_count, node, candidates)) break;
    report_choice(fns, candidates);
  } while (false);

  std::free(candidates.items);
  std::free(devices);
  const VulkanInstanceFns fns = load_instance_fns(gipa, instance);
  if (fns.has_required()) fns.vkDestroyInstance(instance, nullptr);
}

void run_probe(const char* drm_path) {
  init_probe_output();
  probe_log("vkdecprobe start\n");
  const DrmNode node = drm_node_numbers(drm_path);
  void* loader = ::dlopen("libvulkan.so.1", RTLD_NOW);
  if (loader == nullptr) loader = ::dlopen("libvulkan.so", RTLD_NOW);
  if (loader == nullptr) {
    probe_log("vkdecprobe: libvulkan not found\n");
    report_record("VULKAN_SUPPORTED\nFALSE\n");
    write_report();
    return;
  }
  probe_with_loader(loader, node);
  ::dlclose(loader);
  write_report();
}

}  // namespace
}  // namespace vorn

int main(int argc, char** argv) {
  static const option kOptions[] = {
      {"help", no_argument, nullptr, 'h'},
      {"probe", no_argument, nullptr, 'p'},
      {"drm", required_argument, nullptr, 'd'},
      {nullptr, 0, nullptr, 0},
  };
  const char* drm_path = nullptr;
  bool probe = false;
  int opt;
  while ((opt = getopt_long(argc, argv, "hpd:", kOptions, nullptr)) != -1) {
    if (opt == 'd') {
      drm_path = optarg;
      probe = true;
    } else if (opt == 'p') {
      probe = true;
    }
    // -h and unknown options are passed over.
  }
  if (optind < argc) probe = true;
  if (!probe) {
    std::puts(vorn::kUsage);
    return 0;
  }
  vorn::run_probe(drm_path);
  return 0;
}
