/* The platform work a probe cannot avoid, without the probe: load the
 * libraries and make the driver calls that dominate a run. Its time is the
 * floor that the probes' own time is measured against. */
#define VK_NO_PROTOTYPES
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <vulkan/vulkan.h>

static int va(const char* device) {
  int fd = open(device, O_RDWR | O_CLOEXEC);
  void* drm = dlopen("libva-drm.so.2", RTLD_LAZY);
  void* lib = dlopen("libva.so.2", RTLD_LAZY);
  if (fd < 0 || drm == NULL || lib == NULL) return 0;
  void* (*get_display)(int) = (void* (*)(int))dlsym(drm, "vaGetDisplayDRM");
  int (*init)(void*, int*, int*) = (int (*)(void*, int*, int*))dlsym(lib, "vaInitialize");
  int (*term)(void*) = (int (*)(void*))dlsym(lib, "vaTerminate");
  void* display = get_display != NULL ? get_display(fd) : NULL;
  if (display != NULL && init != NULL && term != NULL) {
    int major, minor;
    init(display, &major, &minor);
    term(display);
  }
  return 0;
}

static int vk(void) {
  void* lib = dlopen("libvulkan.so.1", RTLD_NOW);
  if (lib == NULL) return 0;
  PFN_vkGetInstanceProcAddr gipa = (PFN_vkGetInstanceProcAddr)dlsym(lib, "vkGetInstanceProcAddr");
  PFN_vkCreateInstance create = (PFN_vkCreateInstance)gipa(VK_NULL_HANDLE, "vkCreateInstance");
  /* The loader asks every driver for its instance extensions here. */
  PFN_vkEnumerateInstanceExtensionProperties extensions =
      (PFN_vkEnumerateInstanceExtensionProperties)gipa(VK_NULL_HANDLE,
                                                       "vkEnumerateInstanceExtensionProperties");
  uint32_t extension_count = 0;
  extensions(NULL, &extension_count, NULL);
  VkApplicationInfo app = {.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO, .apiVersion = VK_MAKE_VERSION(1, 0, 0)};
  VkInstanceCreateInfo info = {.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO, .pApplicationInfo = &app};
  VkInstance instance;
  if (create(&info, NULL, &instance) != VK_SUCCESS) return 0;
  PFN_vkEnumeratePhysicalDevices enumerate =
      (PFN_vkEnumeratePhysicalDevices)gipa(instance, "vkEnumeratePhysicalDevices");
  PFN_vkDestroyInstance destroy = (PFN_vkDestroyInstance)gipa(instance, "vkDestroyInstance");
  uint32_t count = 0;
  enumerate(instance, &count, NULL);
  destroy(instance, NULL);
  dlclose(lib);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "va") == 0) return va(argv[2]);
  if (argc == 2 && strcmp(argv[1], "vk") == 0) return vk();
  fprintf(stderr, "usage: baseline va DEVICE | baseline vk\n");
  return 2;
}
