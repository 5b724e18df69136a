/* Stand-in for libva.so.2, answering what the test sets in the environment:
 *   FAKE_VA_PROFILES         "7:1,6;19:1": profiles and their entry points
 *   FAKE_VA_CONFIG_FAIL      "7:6,19:1": profile:entry pairs vaCreateConfig refuses
 *   FAKE_VA_INIT_STATUS      status of vaInitialize (0)
 *   FAKE_VA_MAX_PROFILES     vaMaxNumProfiles (32)
 *   FAKE_VA_MAX_ENTRYPOINTS  vaMaxNumEntrypoints (16)
 *   FAKE_VA_PROFILE_COUNT    count vaQueryConfigProfiles claims (the real one)
 *   FAKE_VA_ENTRY_COUNT      count vaQueryConfigEntrypoints claims (the real one)
 *   FAKE_VA_QUERY_PROFILES_STATUS, FAKE_VA_QUERY_ENTRY_STATUS  statuses (0)
 * Lists are written only as far as the room the probe was told to make, and
 * any slot past the configured entries is filled with 0 (a profile and an
 * entry point that the probe passes over). Built with FAKE_OMIT_ENTRY it
 * lacks one of the entry points a usable libva must have. */
#include "fake_common.h"

enum { kMaxProfiles = 64, kMaxEntries = 16 };

struct FakeProfile {
  int profile;
  int entries[kMaxEntries];
  int entry_count;
};

static struct FakeProfile fake_profiles[kMaxProfiles];
static int fake_profile_count = -1;  /* -1: not parsed yet */

static void parse_profiles(void) {
  if (fake_profile_count >= 0) return;
  fake_profile_count = 0;
  const char* text = getenv("FAKE_VA_PROFILES");
  while (text != NULL && *text != '\0' && fake_profile_count < kMaxProfiles) {
    char* end = NULL;
    struct FakeProfile* p = &fake_profiles[fake_profile_count++];
    p->profile = (int)strtol(text, &end, 0);
    p->entry_count = 0;
    text = end;
    if (*text == ':') {
      ++text;
      while (*text != '\0' && *text != ';') {
        int entry = (int)strtol(text, &end, 0);
        if (end == text) break;
        if (p->entry_count < kMaxEntries) p->entries[p->entry_count++] = entry;
        text = end;
        if (*text == ',') ++text;
      }
    }
    if (*text == ';') ++text;
  }
}

static int config_refused(int profile, int entry) {
  const char* text = getenv("FAKE_VA_CONFIG_FAIL");
  while (text != NULL && *text != '\0') {
    char* end = NULL;
    int p = (int)strtol(text, &end, 0);
    if (*end != ':') return 0;
    int e = (int)strtol(end + 1, &end, 0);
    if (p == profile && e == entry) return 1;
    text = *end == ',' ? end + 1 : end;
  }
  return 0;
}

static int max_profiles(void) { return (int)fake_env_int("FAKE_VA_MAX_PROFILES", 32); }
static int max_entrypoints(void) { return (int)fake_env_int("FAKE_VA_MAX_ENTRYPOINTS", 16); }

int vaInitialize(void* dpy, int* major, int* minor) {
  (void)dpy;
  fake_log("vaInitialize\n");
  fake_log_descriptors();
  *major = 1;
  *minor = 20;
  return (int)fake_env_int("FAKE_VA_INIT_STATUS", 0);
}

int vaTerminate(void* dpy) {
  (void)dpy;
  fake_log("vaTerminate\n");
  return 0;
}

int vaMaxNumProfiles(void* dpy) {
  (void)dpy;
  return max_profiles();
}

int vaMaxNumEntrypoints(void* dpy) {
  (void)dpy;
  return max_entrypoints();
}

/* Writes `configured` values, then zeros, up to min(room, max(claimed, configured)). */
static void fill_list(int* list, const int* values, int configured, int claimed, int room) {
  int n = claimed > configured ? claimed : configured;
  if (n > room) n = room;
  for (int i = 0; i < n; ++i) list[i] = i < configured ? values[i] : 0;
}

int vaQueryConfigProfiles(void* dpy, int* list, int* count) {
  (void)dpy;
  parse_profiles();
  int status = (int)fake_env_int("FAKE_VA_QUERY_PROFILES_STATUS", 0);
  if (status != 0) return status;
  int values[kMaxProfiles];
  for (int i = 0; i < fake_profile_count; ++i) values[i] = fake_profiles[i].profile;
  int claimed = (int)fake_env_int("FAKE_VA_PROFILE_COUNT", fake_profile_count);
  fill_list(list, values, fake_profile_count, claimed, max_profiles());
  *count = claimed;
  return 0;
}

int vaQueryConfigEntrypoints(void* dpy, int profile, int* list, int* count) {
  (void)dpy;
  parse_profiles();
  fake_log("vaQueryConfigEntrypoints %d\n", profile);
  int status = (int)fake_env_int("FAKE_VA_QUERY_ENTRY_STATUS", 0);
  if (status != 0) return status;
  const struct FakeProfile* found = NULL;
  for (int i = 0; i < fake_profile_count; ++i) {
    if (fake_profiles[i].profile == profile) found = &fake_profiles[i];
  }
  int configured = found != NULL ? found->entry_count : 0;
  int claimed = (int)fake_env_int("FAKE_VA_ENTRY_COUNT", configured);
  fill_list(list, found != NULL ? found->entries : NULL, configured, claimed, max_entrypoints());
  *count = claimed;
  return 0;
}

static unsigned next_config_id = 100;

int vaCreateConfig(void* dpy, int profile, int entry, void* attribs, int num_attribs,
                   unsigned* config) {
  (void)dpy;
  fake_log("vaCreateConfig %d %d attribs=%d\n", profile, entry, attribs == NULL ? num_attribs : -1);
  if (config_refused(profile, entry)) return 1;
  *config = next_config_id++;
  return 0;
}

int vaDestroyConfig(void* dpy, unsigned config) {
  (void)dpy;
  fake_log("vaDestroyConfig %u\n", config);
  return 0;
}

/* The entry points that a usable libva has but the probe never calls. */
#define FAKE_UNUSED_ENTRY(name) \
  int name(void) { return 0; }
FAKE_UNUSED_ENTRY(vaDestroyBuffer)
FAKE_UNUSED_ENTRY(vaBeginPicture)
FAKE_UNUSED_ENTRY(vaEndPicture)
FAKE_UNUSED_ENTRY(vaRenderPicture)
FAKE_UNUSED_ENTRY(vaCreateContext)
FAKE_UNUSED_ENTRY(vaDestroyContext)
FAKE_UNUSED_ENTRY(vaCreateBuffer)
FAKE_UNUSED_ENTRY(vaQuerySurfaceAttributes)
FAKE_UNUSED_ENTRY(vaErrorStr)
FAKE_UNUSED_ENTRY(vaMaxNumImageFormats)
FAKE_UNUSED_ENTRY(vaQueryImageFormats)
FAKE_UNUSED_ENTRY(vaQueryVendorString)
FAKE_UNUSED_ENTRY(vaDestroySurfaces)
FAKE_UNUSED_ENTRY(vaCreateSurfaces)
FAKE_UNUSED_ENTRY(vaDeriveImage)
FAKE_UNUSED_ENTRY(vaDestroyImage)
FAKE_UNUSED_ENTRY(vaPutImage)
#ifndef FAKE_OMIT_ENTRY
FAKE_UNUSED_ENTRY(vaSyncSurface)
#endif
FAKE_UNUSED_ENTRY(vaCreateImage)
FAKE_UNUSED_ENTRY(vaGetImage)
FAKE_UNUSED_ENTRY(vaMapBuffer)
FAKE_UNUSED_ENTRY(vaUnmapBuffer)
FAKE_UNUSED_ENTRY(vaSetDriverName)
FAKE_UNUSED_ENTRY(vaSetErrorCallback)
FAKE_UNUSED_ENTRY(vaSetInfoCallback)
