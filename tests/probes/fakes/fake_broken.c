/* A library that is found but cannot be loaded: its one data reference is to
 * an object that nothing defines, which fails even a lazy dlopen. */
extern int vorn_fake_object_that_is_nowhere;

int vorn_fake_broken_value(void) { return vorn_fake_object_that_is_nowhere; }
