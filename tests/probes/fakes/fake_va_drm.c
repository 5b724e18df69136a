/* Stand-in for libva-drm.so.2. FAKE_VA_NO_DISPLAY=1 makes vaGetDisplayDRM
 * give no display; built with FAKE_OMIT_GET_DISPLAY it lacks that function. */
#include "fake_common.h"

#ifndef FAKE_OMIT_GET_DISPLAY
/* The display is only ever compared, never looked into. */
static int fake_display_object;

void* vaGetDisplayDRM(int fd) {
  fake_log("vaGetDisplayDRM\n");
  if (fd < 0 || fake_env_int("FAKE_VA_NO_DISPLAY", 0) != 0) return NULL;
  return &fake_display_object;
}
#endif

/* Keeps the library non-empty when the function above is left out. */
int vorn_fake_va_drm_marker(void) { return 1; }
