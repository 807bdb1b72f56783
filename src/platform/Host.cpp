#include "platform/Host.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "platform/Mutex.h"

namespace zeb_platform {
namespace {

struct Settings {
    Mutex lock;
    bool rootSet GUARDED_BY(lock) = false;
    std::string root GUARDED_BY(lock);
};

Settings& TheSettings() {
    static Settings* settings = new Settings;
    return *settings;
}

double ParseScale(const char* text) {
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    double value = strtod(text, &end);
    if (end == text || !(value > 0.0)) return 1.0;
    return value;
}

std::atomic<double>& ScaleSetting() {
    static std::atomic<double> scale{ParseScale(getenv("ZEB_TIME_SCALE"))};
    return scale;
}

std::atomic<OpenHook> gOpenHook{nullptr};

}  // namespace

void SetOpenHook(OpenHook hook) { gOpenHook.store(hook); }

void BeforeOpen(const char* path) {
    if (OpenHook hook = gOpenHook.load()) hook(path);
}

std::string DeviceRoot() {
    Settings& settings = TheSettings();
    MutexLock guard(settings.lock);
    if (!settings.rootSet) {
        const char* root = getenv("ZEB_DEVICE_ROOT");
        settings.root = root ? root : "";
        settings.rootSet = true;
    }
    return settings.root;
}

void SetDeviceRoot(const std::string& root) {
    Settings& settings = TheSettings();
    MutexLock guard(settings.lock);
    settings.root = root;
    settings.rootSet = true;
}

std::string DevicePath(const std::string& fixedPath) {
    std::string root = DeviceRoot();
    while (!root.empty() && root.back() == '/') root.pop_back();
    if (root.empty()) return fixedPath;
    if (fixedPath.empty() || fixedPath.front() != '/') return root + "/" + fixedPath;
    return root + fixedPath;
}

bool IsDeviceTreePath(const std::string& path) {
    for (const char* tree : {"/data/", "/vendor/"}) {
        const size_t length = strlen(tree);
        if (path.compare(0, length, tree) == 0 || path == std::string(tree, length - 1)) return true;
    }
    return false;
}

std::string HostPathOf(const std::string& pathReadFromFile) {
    if (!IsDeviceTreePath(pathReadFromFile)) return pathReadFromFile;
    // A path already under the device root (a host recording made inside
    // it) is not taken under it a second time.
    std::string root = DeviceRoot();
    while (!root.empty() && root.back() == '/') root.pop_back();
    if (root.empty()) return pathReadFromFile;
    if (pathReadFromFile.compare(0, root.size() + 1, root + "/") == 0) return pathReadFromFile;
    return root + pathReadFromFile;
}

double TimeScale() { return ScaleSetting().load(); }

void SetTimeScale(double scale) { ScaleSetting().store(scale > 0.0 ? scale : 1.0); }

std::chrono::nanoseconds Scaled(std::chrono::nanoseconds duration) {
    if (duration.count() <= 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(static_cast<long long>(static_cast<double>(duration.count()) * TimeScale()));
}

std::chrono::nanoseconds ScaledForIo(std::chrono::nanoseconds duration) {
    return std::max(Scaled(duration), std::max(duration, std::chrono::nanoseconds(0)));
}

void SleepScaled(std::chrono::nanoseconds duration) {
    std::chrono::nanoseconds scaled = Scaled(duration);
    if (scaled.count() > 0) std::this_thread::sleep_for(scaled);
}

bool MakeDirs(const std::string& path, std::string* error) {
    std::error_code code;
    std::filesystem::create_directories(path, code);
    if (code && !std::filesystem::is_directory(path)) {
        if (error) *error = code.message();
        return false;
    }
    return true;
}

}  // namespace zeb_platform
