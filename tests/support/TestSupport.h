#pragma once
// Fixtures shared by the tests: a scratch folder that stands for the device
// root, and waiting for an event instead of sleeping.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

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

// Runs `call` on a thread of its own: true when it returned within `limit`.
// Otherwise `unblock` is run until it does, so a failing case never hangs.
bool ReturnsWithin(const std::function<void()>& call, const std::function<void()>& unblock,
                   std::chrono::seconds limit = std::chrono::seconds(10));
// Opens and closes both ends of a named pipe at `path`, should there be one,
// letting out a reader or writer caught in open().
void OpenPipeEnds(const std::string& path);

// A file whose reader is held: an ordinary empty file at `path`, and the
// library's opening of it waits in the platform's open hook until Release()
// lets it through. Destroy it before the reader is joined.
class HeldFile {
public:
    explicit HeldFile(const std::string& path);
    ~HeldFile() { Release(std::chrono::milliseconds(0)); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    // True once a reader waits at the file, within `timeout`.
    bool Reached(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Lets the reader through (and any later one); false when none came
    // within `timeout`.
    bool Release(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

private:
    std::string mPath;
    bool mReleased = false;
};

// What a careless or hostile person may leave at a name the library reads or
// writes, for the tables of the hostile-file cases.
enum class Planted {
    LinkOut,      // a link to a file outside the device root (the "secret")
    LinkIn,       // a link to a plain file beside it
    LinkToFolder, // a link to a folder outside the root
    Pipe,         // a named pipe nobody writes
    Device,       // a character device (/dev/zero's numbers; a link to /dev/zero where mknod is refused)
    Folder,       // a folder where a file should be
    SparseHuge,   // a sparse file of 2^40 bytes
};
const char* Name(Planted planted);
std::vector<Planted> EveryPlanted();
// Plants `planted` at `at`; `outside` is a plain file or folder outside the
// root that a link names, `beside` a plain file next to `at`.
void Plant(Planted planted, const std::string& at, const std::string& outside, const std::string& beside = "");
// A test name made of the planted kind (or any text): letters and digits kept.
std::string TestName(std::string text);
// Every entry below `root`: files by content (up to 1 MiB), links by target,
// anything else by what it is; to compare a tree before and after.
std::map<std::string, std::string> Contents(const std::string& root);
// The files below `root` (links not followed) that hold `text`.
std::vector<std::string> Holding(const std::string& root, const std::string& text);
// `text` repeated to `bytes` bytes.
std::string Repeated(const std::string& text, size_t bytes);

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// A property's value, empty when unset.
std::string Property(const std::string& key);

// A value of a record at its byte offset, whatever the alignment; the vector
// forms refuse to read or write past the end.
template <class T>
T At(const void* base, size_t offset) {
    T value;
    memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return value;
}
template <class T, class Byte>
T At(const std::vector<Byte>& bytes, size_t offset) {
    if (offset + sizeof(T) > bytes.size()) throw std::out_of_range("read past the record");
    return At<T>(bytes.data(), offset);
}
template <class T>
void Put(void* base, size_t offset, T value) {
    memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}
template <class T, class Byte>
void Put(std::vector<Byte>& bytes, size_t offset, T value) {
    if (offset + sizeof(T) > bytes.size()) throw std::out_of_range("write past the record");
    Put(static_cast<void*>(bytes.data()), offset, value);
}

// A program run to its end in a process of its own.
struct ProgramRun {
    int status = -1;  // exit status, 128 + the signal when killed, -1 when it did not start
    std::string out, err;
};
// Runs argv[0] (a path) with the test's environment, `env` entries
// ("NAME=value") put over it.
ProgramRun RunProgram(std::vector<std::string> argv, const std::vector<std::string>& env = {});

}  // namespace zeb_test
