#include "TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/Host.h"
#include "platform/Property.h"

namespace zeb_test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zebsim-test-XXXXXX").string();
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
    mPath = pattern;
}

TempDir::~TempDir() {
    std::error_code code;
    std::filesystem::remove_all(mPath, code);
}

DeviceRoot::DeviceRoot() {
    zeb_platform::SetDeviceRoot(path());
    zeb_platform::ResetProperties();
}

DeviceRoot::~DeviceRoot() {
    zeb_platform::ResetProperties();
    zeb_platform::SetDeviceRoot("");
}

std::string DeviceRoot::Device(const std::string& fixedPath) const { return zeb_platform::DevicePath(fixedPath); }

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

SlowFile::SlowFile(const std::string& path) : mPath(path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::remove(path);
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed for " + path);
}

bool SlowFile::Release(std::chrono::milliseconds timeout) {
    if (mReleased) return true;
    mReleased = true;
    // A writer opening without waiting succeeds only once a reader waits in
    // open(). The writer stays open until an ordinary empty file has taken the
    // path: the reader's first read blocks until then, so a second open of the
    // path (a reader that opens a file twice) finds the file, not the pipe
    // with no writer left.
    int writer = -1;
    const bool met = WaitFor(
        [this, &writer] {
            writer = open(mPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return writer >= 0;
        },
        timeout);
    const std::string plain = mPath + ".plain";
    WriteFile(plain, "");
    std::filesystem::rename(plain, mPath);
    if (writer >= 0) close(writer);
    return met;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace zeb_test
