#pragma once
// Fixtures shared by the tests: a scratch folder that stands for the device
// root, and waiting for an event instead of sleeping.
#include <chrono>
#include <functional>
#include <string>

namespace zeb_test {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& relative) const { return mPath + "/" + relative; }

private:
    std::string mPath;
};

// A TempDir that is also the device root and starts with no properties.
class DeviceRoot : public TempDir {
public:
    DeviceRoot();
    ~DeviceRoot();
    // The host path of a fixed device path.
    std::string Device(const std::string& fixedPath) const;
};

// Polls `condition` until it holds or `timeout` (real time, unscaled) passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// A file that takes its time: a named pipe, so a reader opening it waits
// until Release() lets it through, then reads it empty. Destroy it before the
// reader is joined.
class SlowFile {
public:
    explicit SlowFile(const std::string& path);
    ~SlowFile() { Release(); }
    SlowFile(const SlowFile&) = delete;
    SlowFile& operator=(const SlowFile&) = delete;
    // Lets the waiting reader through and leaves an empty file in its place;
    // false when no reader came within `timeout`.
    bool Release(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

private:
    std::string mPath;
    bool mReleased = false;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

}  // namespace zeb_test
