#pragma once
// Host settings that stand in for the device: where the device's fixed paths
// live, and how fast time runs.
//   ZEB_DEVICE_ROOT  prefix of every fixed device path (empty: the real root)
//   ZEB_TIME_SCALE   factor applied to every fixed sleep and bounded wait (default 1)
#include <chrono>
#include <string>

namespace zeb_platform {

// The device root, from ZEB_DEVICE_ROOT on first use unless set before.
std::string DeviceRoot();
void SetDeviceRoot(const std::string& root);

// A fixed device path ("/data/vendor/...", "/vendor/firmware/...") as it lies
// on this host. Paths read from configuration files go through HostPathOf.
std::string DevicePath(const std::string& fixedPath);

// A path read from a file (task list, block list, tuning task, ...) as this
// host opens it: an absolute path into the device's own trees ("/data/...",
// "/vendor/...") lies under the device root, so that a recording written in
// the device's layout plays wherever its root was put; any other path is used
// as written. Unchanged when the device root is empty (on a device).
std::string HostPathOf(const std::string& pathReadFromFile);

// True for an absolute path into the device's own trees, the paths
// HostPathOf takes under the device root.
bool IsDeviceTreePath(const std::string& path);

// The time scale, from ZEB_TIME_SCALE on first use unless set before; a value
// that is not a positive number counts as 1.
double TimeScale();
void SetTimeScale(double scale);

// A fixed duration of the system as it runs here.
std::chrono::nanoseconds Scaled(std::chrono::nanoseconds duration);

// A wait that gives a reader time for its file I/O: shortened by the scale
// like any other when the scale is above 1, never below its real length, as
// reading a file takes as long at any scale.
std::chrono::nanoseconds ScaledForIo(std::chrono::nanoseconds duration);

// A fixed sleep; nothing for zero or less.
void SleepScaled(std::chrono::nanoseconds duration);

// Creates the folder and its parents; false (with errno-free reason in `error`)
// when it cannot.
bool MakeDirs(const std::string& path, std::string* error = nullptr);

// Called with every path the library is about to open for reading, before it
// looks at it. Tests hold a reader there to stand for a slow medium; nothing
// is called when no hook is set.
using OpenHook = void (*)(const char* path);
void SetOpenHook(OpenHook hook);
void BeforeOpen(const char* path);

}  // namespace zeb_platform
