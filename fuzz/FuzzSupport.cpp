#include "FuzzSupport.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/Host.h"
#include "platform/Log.h"

namespace fs = std::filesystem;

namespace zeb_fuzz {
namespace {

std::string& ScratchPath() {
    static std::string path;
    return path;
}

void RemoveScratch() {
    std::error_code error;
    if (!ScratchPath().empty()) fs::remove_all(ScratchPath(), error);
}

// Whether `path`, taken from the working folder, names something inside the
// scratch folder (lexically: the harnesses make no links).
bool InsideScratch(const char* path) {
    const std::string& scratch = ScratchPath();
    if (!path || scratch.empty()) return false;
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error).lexically_normal();
    if (error) return false;
    const std::string text = absolute.string();
    return text.size() > scratch.size() && text.compare(0, scratch.size(), scratch) == 0 &&
           text[scratch.size()] == '/';
}

}  // namespace

const std::string& Scratch() { return ScratchPath(); }

std::string Write(const std::string& relative, const void* data, size_t size) {
    const std::string path = Scratch() + "/" + relative;
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

std::pair<std::string, std::string> SplitAtNul(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = memchr(data, 0, size);
    if (!nul) return {std::string(text, size), std::string()};
    const size_t first = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
    return {std::string(text, first), std::string(text + first + 1, size - first - 1)};
}

}  // namespace zeb_fuzz

// Parsers make the folders their input names (a task's output folder): only
// inside the scratch folder, whatever the input says. Defined here, this
// mkdir takes the place of the C library's for the whole process (through
// mkdirat: arm64 has no mkdir system call).
extern "C" int mkdir(const char* path, mode_t mode) {
    if (!zeb_fuzz::InsideScratch(path)) {
        errno = EACCES;
        return -1;
    }
    return static_cast<int>(syscall(SYS_mkdirat, AT_FDCWD, path, mode));
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zebsim-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        perror("zebsim fuzz: no scratch folder");
        abort();
    }
    std::error_code error;
    zeb_fuzz::ScratchPath() = fs::canonical(pattern, error).string();
    atexit(zeb_fuzz::RemoveScratch);
    zeb_platform::SetDeviceRoot(zeb_fuzz::Scratch());
    // Waits of the code under test (polls for a tuning name, settles) take
    // microseconds instead of seconds.
    zeb_platform::SetTimeScale(1e-6);
    // Unless asked otherwise, every line is formatted, as at full detail on a
    // device, and dropped.
    setenv("ZEB_LOG_FILE", "/dev/null", 0);
    if (!getenv("ZEB_LOG_LEVEL")) zeb_platform::SetLogLevel(5);
    // A tuning updater opens the converter plugin and closes it when it goes.
    // libFuzzer keeps the coverage counters of every instrumented module it
    // saw and clears them before each run: a plugin unmapped by its last
    // dlclose would take its counters with it and crash the fuzzer itself
    // (not the code under test) on the next input. Held open here, it stays.
    dlopen("libcorvale.so", RTLD_NOW | RTLD_NODELETE);
    return 0;
}
