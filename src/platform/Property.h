#pragma once
// Host stand-in for Android system properties.
//
// Values hold at most PROPERTY_VALUE_MAX - 1 characters. Keys that begin with
// "persist." are kept in one file per key under <device root>/data/property/,
// replaced atomically, so that another process (the test tool) sees them.

#define PROPERTY_VALUE_MAX 92

extern "C" {
// Copies the value (or `default_value` when unset) into `value`, which holds at
// least PROPERTY_VALUE_MAX bytes; returns the length copied.
int property_get(const char* key, char* value, const char* default_value);
// Returns 0, or -1 when the key is null or empty or the value is too long.
int property_set(const char* key, const char* value);
}

namespace zeb_platform {
// Forgets every property held in memory and removes the persisted ones of the
// current device root. For tests and tools that start a fresh device.
void ResetProperties();
}  // namespace zeb_platform
