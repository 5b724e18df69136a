/* Stand-in for the Vulkan loader. The file named by FAKE_VK_CONFIG says what
 * it answers, one "key value" per line; "device" starts a physical device and
 * the keys after it describe that device:
 *   instance_ext NAME        an instance extension the loader lists
 *   hide NAME                vkGetInstanceProcAddr gives no such function
 *   create_result N          result of vkCreateInstance (0)
 *   enum_result N            result of the device count call (0)
 *   fetch_result N           result of the device list call (the usual one)
 *   count_claim N            device count the count call claims
 *   fetch_claim N            device count the list call claims
 *   device
 *     name TEXT              device name (rest of the line)
 *     long_name 1            a name that fills the whole array, no NUL
 *     type N                 VkPhysicalDeviceType (1 integrated, 2 discrete, 4 CPU)
 *     api MAJOR.MINOR        apiVersion
 *     render MAJOR MINOR     DRM render node; primary MAJOR MINOR likewise
 *     ext NAME               a device extension
 *     ext_result N           result of the extension count call (0)
 *     ext_list_result N      result of the extension list call (0)
 *     ext_count_claim N      extension count the count call claims
 *     ext_fetch_claim N      extension count the list call claims
 * Built with FAKE_OMIT_GIPA it does not export vkGetInstanceProcAddr. */
#define VK_NO_PROTOTYPES
#include <vulkan/vulkan.h>

#include "fake_common.h"

enum { kMaxDevices = 64, kMaxExts = 32, kMaxHidden = 16, kNameRoom = 256 };

struct FakeDevice {
  char name[kNameRoom];
  int long_name;
  int type;
  uint32_t api;
  int has_render, has_primary;
  long long render_major, render_minor, primary_major, primary_minor;
  char exts[kMaxExts][kNameRoom];
  int ext_count;
  int ext_result, ext_list_result;
  long long ext_count_claim, ext_fetch_claim;
};

static struct FakeDevice fake_devices[kMaxDevices];
static int fake_device_count;
static char instance_exts[kMaxExts][kNameRoom];
static int instance_ext_count;
static char hidden[kMaxHidden][kNameRoom];
static int hidden_count;
static int create_result, enum_result;
static long long fetch_result = LLONG_MIN, count_claim = -1, fetch_claim = -1;
static int parsed;
static int fake_instance_object;

static void copy_name(char* to, const char* from) {
  snprintf(to, kNameRoom, "%s", from);
}

static void parse_config(void) {
  if (parsed) return;
  parsed = 1;
  const char* path = getenv("FAKE_VK_CONFIG");
  FILE* file = path != NULL ? fopen(path, "re") : NULL;
  if (file == NULL) return;
  char line[512];
  struct FakeDevice* dev = NULL;
  while (fgets(line, sizeof line, file) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    char* value = strchr(line, ' ');
    if (value != NULL) *value++ = '\0';
    else value = line + strlen(line);
    long long number = strtoll(value, NULL, 0);
    if (strcmp(line, "device") == 0 && fake_device_count < kMaxDevices) {
      dev = &fake_devices[fake_device_count++];
      memset(dev, 0, sizeof *dev);
      dev->ext_count_claim = dev->ext_fetch_claim = -1;
      dev->type = VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
      dev->api = VK_MAKE_API_VERSION(0, 1, 3, 0);
      snprintf(dev->name, kNameRoom, "Fake GPU %d", fake_device_count - 1);
    } else if (strcmp(line, "instance_ext") == 0 && instance_ext_count < kMaxExts) {
      copy_name(instance_exts[instance_ext_count++], value);
    } else if (strcmp(line, "hide") == 0 && hidden_count < kMaxHidden) {
      copy_name(hidden[hidden_count++], value);
    } else if (strcmp(line, "create_result") == 0) {
      create_result = (int)number;
    } else if (strcmp(line, "enum_result") == 0) {
      enum_result = (int)number;
    } else if (strcmp(line, "fetch_result") == 0) {
      fetch_result = number;
    } else if (strcmp(line, "count_claim") == 0) {
      count_claim = number;
    } else if (strcmp(line, "fetch_claim") == 0) {
      fetch_claim = number;
    } else if (dev == NULL) {
      continue;
    } else if (strcmp(line, "name") == 0) {
      copy_name(dev->name, value);
    } else if (strcmp(line, "long_name") == 0) {
      dev->long_name = (int)number;
    } else if (strcmp(line, "type") == 0) {
      dev->type = (int)number;
    } else if (strcmp(line, "api") == 0) {
      unsigned major = 0, minor = 0;
      if (sscanf(value, "%u.%u", &major, &minor) == 2) dev->api = VK_MAKE_API_VERSION(0, major, minor, 0);
    } else if (strcmp(line, "render") == 0) {
      dev->has_render = sscanf(value, "%lld %lld", &dev->render_major, &dev->render_minor) == 2;
    } else if (strcmp(line, "primary") == 0) {
      dev->has_primary = sscanf(value, "%lld %lld", &dev->primary_major, &dev->primary_minor) == 2;
    } else if (strcmp(line, "ext") == 0 && dev->ext_count < kMaxExts) {
      copy_name(dev->exts[dev->ext_count++], value);
    } else if (strcmp(line, "ext_result") == 0) {
      dev->ext_result = (int)number;
    } else if (strcmp(line, "ext_list_result") == 0) {
      dev->ext_list_result = (int)number;
    } else if (strcmp(line, "ext_count_claim") == 0) {
      dev->ext_count_claim = number;
    } else if (strcmp(line, "ext_fetch_claim") == 0) {
      dev->ext_fetch_claim = number;
    }
  }
  fclose(file);
}

/* A handle the fake never gave out stands for a device with nothing to offer. */
static const struct FakeDevice* device_of(VkPhysicalDevice handle) {
  static const struct FakeDevice nothing = {.type = VK_PHYSICAL_DEVICE_TYPE_OTHER};
  const struct FakeDevice* dev = (const struct FakeDevice*)(void*)handle;
  if (dev >= fake_devices && dev < fake_devices + fake_device_count) return dev;
  return &nothing;
}

/* The usual two-call list protocol over `names`, with claims that can lie. */
static VkResult list_extensions(char (*names)[kNameRoom], int n, uint32_t* count,
                                VkExtensionProperties* list, long long count_claimed,
                                long long fetch_claimed) {
  if (list == NULL) {
    *count = count_claimed >= 0 ? (uint32_t)count_claimed : (uint32_t)n;
    return VK_SUCCESS;
  }
  uint32_t room = *count;
  uint32_t written = room < (uint32_t)n ? room : (uint32_t)n;
  for (uint32_t i = 0; i < written; ++i) {
    memset(&list[i], 0, sizeof list[i]);
    copy_name(list[i].extensionName, names[i]);
    list[i].specVersion = 1;
  }
  *count = fetch_claimed >= 0 ? (uint32_t)fetch_claimed : written;
  return written < (uint32_t)n ? VK_INCOMPLETE : VK_SUCCESS;
}

static VkResult VKAPI_CALL fake_enumerate_instance_extensions(const char* layer, uint32_t* count,
                                                              VkExtensionProperties* list) {
  parse_config();
  if (layer != NULL) fake_log("vkEnumerateInstanceExtensionProperties layer=%s\n", layer);
  return list_extensions(instance_exts, instance_ext_count, count, list, -1, -1);
}

static VkResult VKAPI_CALL fake_create_instance(const VkInstanceCreateInfo* info,
                                                const VkAllocationCallbacks* allocator,
                                                VkInstance* instance) {
  parse_config();
  const VkApplicationInfo* app = info->pApplicationInfo;
  char exts[1024] = "";
  for (uint32_t i = 0; i < info->enabledExtensionCount; ++i) {
    strncat(exts, info->ppEnabledExtensionNames[i], sizeof exts - strlen(exts) - 2);
    strcat(exts, ",");
  }
  fake_log("vkCreateInstance app=%s/%u engine=%s/%u api=0x%x layers=%u exts=%s allocator=%d\n",
           app->pApplicationName, app->applicationVersion, app->pEngineName, app->engineVersion,
           app->apiVersion, info->enabledLayerCount, exts, allocator != NULL);
  fake_log_descriptors();
  if (create_result != VK_SUCCESS) return (VkResult)create_result;
  *instance = (VkInstance)(void*)&fake_instance_object;
  return VK_SUCCESS;
}

static void VKAPI_CALL fake_destroy_instance(VkInstance instance,
                                             const VkAllocationCallbacks* allocator) {
  fake_log("vkDestroyInstance %s allocator=%d\n",
           (void*)instance == (void*)&fake_instance_object ? "ours" : "unknown", allocator != NULL);
}

static VkResult VKAPI_CALL fake_enumerate_devices(VkInstance instance, uint32_t* count,
                                                  VkPhysicalDevice* list) {
  (void)instance;
  if (list == NULL) {
    *count = count_claim >= 0 ? (uint32_t)count_claim : (uint32_t)fake_device_count;
    return (VkResult)enum_result;
  }
  uint32_t room = *count;
  uint32_t written = room < (uint32_t)fake_device_count ? room : (uint32_t)fake_device_count;
  for (uint32_t i = 0; i < written; ++i) list[i] = (VkPhysicalDevice)(void*)&fake_devices[i];
  *count = fetch_claim >= 0 ? (uint32_t)fetch_claim : written;
  if (fetch_result != LLONG_MIN) return (VkResult)fetch_result;
  return written < (uint32_t)fake_device_count ? VK_INCOMPLETE : VK_SUCCESS;
}

static void fill_properties(const struct FakeDevice* dev, VkPhysicalDeviceProperties* props) {
  memset(props, 0, sizeof *props);
  props->apiVersion = dev->api;
  props->deviceType = (VkPhysicalDeviceType)dev->type;
  if (dev->long_name) {
    memset(props->deviceName, 'A', sizeof props->deviceName);
  } else {
    copy_name(props->deviceName, dev->name);
  }
}

static void VKAPI_CALL fake_get_properties(VkPhysicalDevice device,
                                           VkPhysicalDeviceProperties* props) {
  fill_properties(device_of(device), props);
}

static void VKAPI_CALL fake_get_properties2(VkPhysicalDevice device,
                                            VkPhysicalDeviceProperties2* props) {
  const struct FakeDevice* dev = device_of(device);
  fill_properties(dev, &props->properties);
  for (VkBaseOutStructure* next = (VkBaseOutStructure*)props->pNext; next != NULL;
       next = next->pNext) {
    if (next->sType != VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DRM_PROPERTIES_EXT) continue;
    VkPhysicalDeviceDrmPropertiesEXT* drm = (VkPhysicalDeviceDrmPropertiesEXT*)next;
    fake_log("vkGetPhysicalDeviceProperties2 drm-in %d %d\n", drm->hasPrimary, drm->hasRender);
    drm->hasRender = dev->has_render ? VK_TRUE : VK_FALSE;
    drm->hasPrimary = dev->has_primary ? VK_TRUE : VK_FALSE;
    drm->renderMajor = dev->render_major;
    drm->renderMinor = dev->render_minor;
    drm->primaryMajor = dev->primary_major;
    drm->primaryMinor = dev->primary_minor;
  }
}

static VkResult VKAPI_CALL fake_enumerate_device_extensions(VkPhysicalDevice device,
                                                            const char* layer, uint32_t* count,
                                                            VkExtensionProperties* list) {
  struct FakeDevice* dev = (struct FakeDevice*)device_of(device);
  if (layer != NULL) fake_log("vkEnumerateDeviceExtensionProperties layer=%s\n", layer);
  if (dev < fake_devices || dev >= fake_devices + fake_device_count) {
    *count = 0;
    return VK_SUCCESS;
  }
  if (list == NULL && dev->ext_result != VK_SUCCESS) return (VkResult)dev->ext_result;
  if (list != NULL && dev->ext_list_result != VK_SUCCESS) return (VkResult)dev->ext_list_result;
  return list_extensions(dev->exts, dev->ext_count, count, list, dev->ext_count_claim,
                         dev->ext_fetch_claim);
}

#ifndef FAKE_OMIT_GIPA
__attribute__((visibility("default")))
PFN_vkVoidFunction VKAPI_CALL vkGetInstanceProcAddr(VkInstance instance, const char* name) {
  (void)instance;
  parse_config();
  for (int i = 0; i < hidden_count; ++i) {
    if (strcmp(hidden[i], name) == 0) return NULL;
  }
  static const struct {
    const char* name;
    PFN_vkVoidFunction fn;
  } table[] = {
      {"vkGetInstanceProcAddr", (PFN_vkVoidFunction)vkGetInstanceProcAddr},
      {"vkCreateInstance", (PFN_vkVoidFunction)fake_create_instance},
      {"vkEnumerateInstanceExtensionProperties", (PFN_vkVoidFunction)fake_enumerate_instance_extensions},
      {"vkDestroyInstance", (PFN_vkVoidFunction)fake_destroy_instance},
      {"vkEnumeratePhysicalDevices", (PFN_vkVoidFunction)fake_enumerate_devices},
      {"vkGetPhysicalDeviceProperties", (PFN_vkVoidFunction)fake_get_properties},
      {"vkGetPhysicalDeviceProperties2", (PFN_vkVoidFunction)fake_get_properties2},
      {"vkEnumerateDeviceExtensionProperties", (PFN_vkVoidFunction)fake_enumerate_device_extensions},
  };
  for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
    if (strcmp(table[i].name, name) == 0) return table[i].fn;
  }
  return NULL;
}
#endif

/* Keeps the library non-empty when the export above is left out. */
int vorn_fake_vulkan_marker(void) { return 1; }
