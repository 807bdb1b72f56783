#pragma once
// libzebsim.so hides everything but its entry points and the classes that
// callers outside the library use; those carry ZEB_EXPORT.
#define ZEB_EXPORT __attribute__((visibility("default")))
