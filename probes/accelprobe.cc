// accelprobe: tells the browser whether VA-API can decode or encode video on
// one DRM device, and for which codecs.
//
// VA-API is bound at run time (dlopen/dlsym) so that the probe starts, and
// reports, on systems without it; the headers give only types and constants.
#include <dlfcn.h>
#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <unistd.h>
#include <va/va.h>
#include <va/va_drm.h>

#include <cstdio>
#include <cstdlib>

#include "probes/report.h"

namespace vorn {
namespace {

constexpr const char kUsage[] =
    "Vorlane VA-API probe utility\n\nusage: accelprobe [options]\n\nOptions:\n\n"
    "  -h --help                 show this message\n"
    "  -d --drm drm_device       probe VA-API on drm_device (may be /dev/dri/renderD128)\n";

// Status the wrappers return when libva.so.2 is unavailable.
constexpr VAStatus kUnimplemented = VA_STATUS_ERROR_UNIMPLEMENTED;

// Every entry point must resolve for the library to count as usable, even
// the ones the probe never calls: a libva missing any of them is too old or
// too odd to trust its answers.
enum VaFn {
  kVaDestroyBuffer, kVaBeginPicture, kVaEndPicture, kVaRenderPicture, kVaMaxNumProfiles,
  kVaCreateContext, kVaDestroyContext, kVaCreateBuffer, kVaQuerySurfaceAttributes,
  kVaQueryConfigProfiles, kVaErrorStr, kVaCreateConfig, kVaDestroyConfig,
  kVaMaxNumImageFormats, kVaQueryImageFormats, kVaQueryVendorString, kVaDestroySurfaces,
  kVaCreateSurfaces, kVaDeriveImage, kVaDestroyImage, kVaPutImage, kVaSyncSurface,
  kVaCreateImage, kVaGetImage, kVaMapBuffer, kVaUnmapBuffer, kVaTerminate, kVaInitialize,
  kVaSetDriverName, kVaMaxNumEntrypoints, kVaQueryConfigEntrypoints, kVaSetErrorCallback,
  kVaSetInfoCallback, kVaFnCount,
};

constexpr const char* kVaFnNames[kVaFnCount] = {
    "vaDestroyBuffer", "vaBeginPicture", "vaEndPicture", "vaRenderPicture", "vaMaxNumProfiles",
    "vaCreateContext", "vaDestroyContext", "vaCreateBuffer", "vaQuerySurfaceAttributes",
    "vaQueryConfigProfiles", "vaErrorStr", "vaCreateConfig", "vaDestroyConfig",
    "vaMaxNumImageFormats", "vaQueryImageFormats", "vaQueryVendorString", "vaDestroySurfaces",
    "vaCreateSurfaces", "vaDeriveImage", "vaDestroyImage", "vaPutImage", "vaSyncSurface",
    "vaCreateImage", "vaGetImage", "vaMapBuffer", "vaUnmapBuffer", "vaTerminate", "vaInitialize",
    "vaSetDriverName", "vaMaxNumEntrypoints", "vaQueryConfigEntrypoints", "vaSetErrorCallback",
    "vaSetInfoCallback",
};

struct VaLibrary {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  bool tried = false;
  bool available = false;
  void* handle = nullptr;
  void* fns[kVaFnCount] = {};
};

VaLibrary va_library;

// The C library's mutex rather than the C++ one keeps the probe free of the
// C++ runtime library.
class VaLock {
 public:
  VaLock() { pthread_mutex_lock(&va_library.mutex); }
  ~VaLock() { pthread_mutex_unlock(&va_library.mutex); }
  VaLock(const VaLock&) = delete;
  VaLock& operator=(const VaLock&) = delete;
};

bool load_libva() {
  VaLock lock;
  if (va_library.tried) return va_library.available;
  va_library.tried = true;
  va_library.handle = ::dlopen("libva.so.2", RTLD_LAZY);
  if (va_library.handle == nullptr) return false;
  bool all = true;
  for (int i = 0; i < kVaFnCount; ++i) {
    va_library.fns[i] = ::dlsym(va_library.handle, kVaFnNames[i]);
    if (va_library.fns[i] == nullptr) all = false;
  }
  // The handle stays open: the bound pointers live as long as the process.
  va_library.available = all;
  return all;
}

// The bound function of entry point `fn`, typed like the header's declaration.
template <typename Fn>
Fn bound(VaFn fn) {
  return reinterpret_cast<Fn>(va_library.fns[fn]);
}

int wrap_vaMaxNumProfiles(VADisplay dpy) {
  if (!load_libva()) return 0;
  return bound<decltype(&::vaMaxNumProfiles)>(kVaMaxNumProfiles)(dpy);
}

int wrap_vaMaxNumEntrypoints(VADisplay dpy) {
  if (!load_libva()) return 0;
  return bound<decltype(&::vaMaxNumEntrypoints)>(kVaMaxNumEntrypoints)(dpy);
}

VAStatus wrap_vaQueryConfigProfiles(VADisplay dpy, VAProfile* list, int* count) {
  if (!load_libva()) {
    *count = 0;
    return kUnimplemented;
  }
  return bound<decltype(&::vaQueryConfigProfiles)>(kVaQueryConfigProfiles)(dpy, list, count);
}

VAStatus wrap_vaQueryConfigEntrypoints(VADisplay dpy, VAProfile profile, VAEntrypoint* list,
                                       int* count) {
  if (!load_libva()) return kUnimplemented;
  return bound<decltype(&::vaQueryConfigEntrypoints)>(kVaQueryConfigEntrypoints)(dpy, profile,
                                                                                  list, count);
}

VAStatus wrap_vaCreateConfig(VADisplay dpy, VAProfile profile, VAEntrypoint entrypoint,
                             VAConfigAttrib* attribs, int num_attribs, VAConfigID* config) {
  if (!load_libva()) {
    *config = 0;
    return kUnimplemented;
  }
  return bound<decltype(&::vaCreateConfig)>(kVaCreateConfig)(dpy, profile, entrypoint, attribs,
                                                             num_attribs, config);
}

VAStatus wrap_vaDestroyConfig(VADisplay dpy, VAConfigID config) {
  if (!load_libva()) return kUnimplemented;
  return bound<decltype(&::vaDestroyConfig)>(kVaDestroyConfig)(dpy, config);
}

VAStatus wrap_vaInitialize(VADisplay dpy, int* major, int* minor) {
  if (!load_libva()) return kUnimplemented;
  return bound<decltype(&::vaInitialize)>(kVaInitialize)(dpy, major, minor);
}

VAStatus wrap_vaTerminate(VADisplay dpy) {
  if (!load_libva()) return kUnimplemented;
  return bound<decltype(&::vaTerminate)>(kVaTerminate)(dpy);
}

using GetDisplayDrmFn = decltype(&::vaGetDisplayDRM);

// Looked up once per process, from the first handle it is given. A plain
// mutex guards the lookup instead of a guarded static initialiser, whose
// helpers live in the C++ runtime library.
GetDisplayDrmFn va_get_display_drm(void* drm_handle) {
  static pthread_mutex_t lookup_lock = PTHREAD_MUTEX_INITIALIZER;
  static bool looked_up = false;
  static GetDisplayDrmFn sVaGetDisplayDRM = nullptr;
  pthread_mutex_lock(&lookup_lock);
  if (!looked_up) {
    looked_up = true;
    sVaGetDisplayDRM = reinterpret_cast<GetDisplayDrmFn>(::dlsym(drm_handle, "vaGetDisplayDRM"));
  }
  GetDisplayDrmFn found = sVaGetDisplayDRM;
  pthread_mutex_unlock(&lookup_lock);
  return found;
}

struct ProfileRow {
  VAProfile profile;
  const char* name;
  int32_t decode_bit;  // the encode bit is this shifted left by one
};

constexpr ProfileRow kProfiles[] = {
    {VAProfileH264ConstrainedBaseline, "H264ConstrainedBaseline", kCodecH264Decode},
    {VAProfileH264Main, "H264Main", kCodecH264Decode},
    {VAProfileH264High, "H264High", kCodecH264Decode},
    {VAProfileVP8Version0_3, "VP8Version0_3", kCodecVp8Decode},
    {VAProfileVP9Profile0, "VP9Profile0", kCodecVp9Decode},
    {VAProfileVP9Profile2, "VP9Profile2", kCodecVp9Decode},
    {VAProfileAV1Profile0, "AV1Profile0", kCodecAv1Decode},
    {VAProfileAV1Profile1, "AV1Profile1", kCodecAv1Decode},
    {VAProfileHEVCMain, "HEVCMain", kCodecHevcDecode},
    {VAProfileHEVCMain10, "HEVCMain10", kCodecHevcDecode},
    {VAProfileHEVCMain12, "HEVCMain12", kCodecHevcDecode},
};

const ProfileRow* find_profile(VAProfile profile) {
  for (const ProfileRow& row : kProfiles) {
    if (row.profile == profile) return &row;
  }
  return nullptr;
}

// Heap list of `count` 32-bit values; none when the allocation fails.
template <typename T>
T* allocate_list(int count) {
  static_assert(sizeof(T) == 4);
  return static_cast<T*>(std::malloc(static_cast<size_t>(count) * sizeof(T)));
}

// Tries every decode and encode configuration of the known profiles that the
// driver lists; returns the codec bitmask, 0 when none could be created.
int32_t probe_profiles(VADisplay display, const VAProfile* profiles, int count,
                       VAEntrypoint* entrypoints, int max_entrypoints) {
  int32_t codecs = 0;
  for (int p = 0; p < count; ++p) {
    const ProfileRow* row = find_profile(profiles[p]);
    if (row == nullptr) continue;
    int n = 0;
    if (wrap_vaQueryConfigEntrypoints(display, row->profile, entrypoints, &n) !=
        VA_STATUS_SUCCESS) {
      continue;
    }
    if (n > max_entrypoints) n = max_entrypoints;
    for (int e = 0; e < n; ++e) {
      VAEntrypoint entrypoint = entrypoints[e];
      if (entrypoint != VAEntrypointVLD && entrypoint != VAEntrypointEncSlice) continue;
      VAConfigID config = VA_INVALID_ID;
      if (wrap_vaCreateConfig(display, row->profile, entrypoint, nullptr, 0, &config) !=
          VA_STATUS_SUCCESS) {
        continue;
      }
      probe_log("Profile: %s\n", row->name);
      codecs |= entrypoint == VAEntrypointVLD ? row->decode_bit : row->decode_bit << 1;
      VAStatus ignored = wrap_vaDestroyConfig(display, config);
      (void)ignored;
    }
  }
  return codecs;
}

// The probe proper; every way out leads through the clean-up at the end.
void run_probe(const char* device) {
  init_probe_output();
  probe_log("accelprobe start, device %s\n", device);

  int device_fd = -1;
  void* drm_handle = nullptr;
  VADisplay display = nullptr;
  VAProfile* profiles = nullptr;
  VAEntrypoint* entrypoints = nullptr;

  do {
    device_fd = ::open(device, O_RDWR | O_CLOEXEC);
    if (device_fd < 0) {
      report_record("ERROR\nVA-API test failed: failed to open renderDeviceFD.\n");
      break;
    }
    drm_handle = ::dlopen("libva-drm.so.2", RTLD_LAZY);
    if (drm_handle == nullptr) {
      probe_log("accelprobe failed: libva-drm.so.2 is missing\n");
      break;
    }
    GetDisplayDrmFn get_display = va_get_display_drm(drm_handle);
    if (get_display == nullptr) {
      report_record("ERROR\nVA-API test failed: sVaGetDisplayDRM is missing.\n");
      break;
    }
    display = get_display(device_fd);
    if (display == nullptr) {
      report_record("ERROR\nVA-API test failed: vaGetDisplayDRM failed.\n");
      break;
    }
    int major = 0;
    int minor = 0;
    VAStatus status = wrap_vaInitialize(display, &major, &minor);
    if (status != VA_STATUS_SUCCESS) {
      probe_log("vaInitialize failed %d\n", status);
      break;
    }
    probe_log("vaInitialize finished\n");

    int max_profiles = wrap_vaMaxNumProfiles(display);
    int max_entrypoints = wrap_vaMaxNumEntrypoints(display);
    if (max_profiles <= 0 || max_entrypoints <= 0) {
      report_record("ERROR\nVA-API test failed: wrong VAAPI profiles/entry point nums.\n");
      break;
    }
    profiles = allocate_list<VAProfile>(max_profiles);
    if (profiles == nullptr) {
      report_record("ERROR\nVA-API test failed: out of memory.\n");
      break;
    }
    int count = 0;
    if (wrap_vaQueryConfigProfiles(display, profiles, &count) != VA_STATUS_SUCCESS) {
      report_record("ERROR\nVA-API test failed: vaQueryConfigProfiles() failed.\n");
      break;
    }
    // A driver may claim more profiles than it had room to write.
    if (count > max_profiles) count = max_profiles;
    entrypoints = allocate_list<VAEntrypoint>(max_entrypoints);
    if (entrypoints == nullptr) {
      report_record("ERROR\nVA-API test failed: out of memory.\n");
      break;
    }

    int32_t codecs = 0;
    if (count > 0) codecs = probe_profiles(display, profiles, count, entrypoints, max_entrypoints);
    if (codecs != 0) {
      report_record("VAAPI_SUPPORTED\nTRUE\n");
      report_record("VAAPI_HWCODECS\n%d\n", codecs);
    } else {
      report_record("VAAPI_SUPPORTED\nFALSE\n");
    }
    probe_log("accelprobe finished\n");
  } while (false);

  std::free(profiles);
  std::free(entrypoints);
  // A display whose initialisation failed still holds the driver's state.
  if (display != nullptr && load_libva()) {
    VAStatus ignored = wrap_vaTerminate(display);
    (void)ignored;
  }
  if (drm_handle != nullptr) ::dlclose(drm_handle);
  if (device_fd >= 0) ::close(device_fd);
  write_report();
}

}  // namespace
}  // namespace vorn

int main(int argc, char** argv) {
  static const option kOptions[] = {
      {"help", no_argument, nullptr, 'h'},
      {"drm", required_argument, nullptr, 'd'},
      {nullptr, 0, nullptr, 0},
  };
  const char* device = nullptr;
  int opt;
  while ((opt = getopt_long(argc, argv, "hd:", kOptions, nullptr)) != -1) {
    if (opt == 'd') device = optarg;
    // -h and unknown options are passed over: only a device asks for a probe.
  }
  if (device == nullptr) {
    std::puts(vorn::kUsage);
    return 0;
  }
  vorn::run_probe(device);
  return 0;
}
