#include "TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <future>
#include <cstdlib>
#include <map>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/Host.h"
#include "platform/Property.h"

extern char** environ;

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

bool ReturnsWithin(const std::function<void()>& call, const std::function<void()>& unblock,
                   std::chrono::seconds limit) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread caller([&] {
        call();
        done.set_value();
    });
    const bool returned = finished.wait_for(limit) == std::future_status::ready;
    while (finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) unblock();
    caller.join();
    return returned;
}

void OpenPipeEnds(const std::string& path) {
    signal(SIGPIPE, SIG_IGN);
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) close(writer);
    if (reader >= 0) close(reader);
}

namespace {

// The files held at the moment, by path; the hook is installed while any is.
struct Holds {
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::string, std::pair<bool, bool>> held;  // path -> (holding, reached)
};

Holds& TheHolds() {
    static Holds* holds = new Holds;
    return *holds;
}

void HoldAtOpen(const char* path) {
    Holds& holds = TheHolds();
    std::unique_lock<std::mutex> guard(holds.lock);
    auto found = holds.held.find(path);
    if (found == holds.held.end() || !found->second.first) return;
    found->second.second = true;
    holds.changed.notify_all();
    // Bounded all the same: a test that forgets to release fails on its own
    // checks instead of hanging the run.
    holds.changed.wait_for(guard, std::chrono::seconds(60), [&holds, key = std::string(path)] {
        auto entry = holds.held.find(key);
        return entry == holds.held.end() || !entry->second.first;
    });
}

}  // namespace

HeldFile::HeldFile(const std::string& path) : mPath(path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::remove(path);
    WriteFile(path, "");
    Holds& holds = TheHolds();
    std::lock_guard<std::mutex> guard(holds.lock);
    holds.held[mPath] = {true, false};
    zeb_platform::SetOpenHook(&HoldAtOpen);
}

bool HeldFile::Reached(std::chrono::milliseconds timeout) {
    Holds& holds = TheHolds();
    std::unique_lock<std::mutex> guard(holds.lock);
    return holds.changed.wait_for(guard, timeout, [this, &holds] {
        auto entry = holds.held.find(mPath);
        return entry != holds.held.end() && entry->second.second;
    });
}

bool HeldFile::Release(std::chrono::milliseconds timeout) {
    if (mReleased) return true;
    mReleased = true;
    const bool reached = Reached(timeout);
    Holds& holds = TheHolds();
    std::lock_guard<std::mutex> guard(holds.lock);
    holds.held.erase(mPath);
    if (holds.held.empty()) zeb_platform::SetOpenHook(nullptr);
    holds.changed.notify_all();
    return reached;
}

const char* Name(Planted planted) {
    switch (planted) {
        case Planted::LinkOut: return "link out";
        case Planted::LinkIn: return "link in";
        case Planted::LinkToFolder: return "link to a folder";
        case Planted::Pipe: return "named pipe";
        case Planted::Device: return "device file";
        case Planted::Folder: return "folder";
        case Planted::SparseHuge: return "sparse huge file";
    }
    return "?";
}

std::vector<Planted> EveryPlanted() {
    return {Planted::LinkOut, Planted::LinkIn, Planted::LinkToFolder, Planted::Pipe,
            Planted::Device,  Planted::Folder, Planted::SparseHuge};
}

void Plant(Planted planted, const std::string& at, const std::string& outside, const std::string& beside) {
    namespace fs = std::filesystem;
    std::error_code code;
    fs::create_directories(fs::path(at).parent_path(), code);
    fs::remove_all(at, code);
    switch (planted) {
        case Planted::LinkOut:
        case Planted::LinkToFolder: fs::create_symlink(outside, at); break;
        case Planted::LinkIn: fs::create_symlink(beside.empty() ? outside : beside, at); break;
        case Planted::Pipe:
            if (mkfifo(at.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed for " + at);
            break;
        case Planted::Device:
            if (mknod(at.c_str(), S_IFCHR | 0600, makedev(1, 5)) != 0) fs::create_symlink("/dev/zero", at);
            break;
        case Planted::Folder: fs::create_directory(at); break;
        case Planted::SparseHuge:
            WriteFile(at, "");
            fs::resize_file(at, 1ull << 40);
            break;
    }
}

std::string TestName(std::string text) {
    for (char& c : text) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return text;
}

std::map<std::string, std::string> Contents(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> all;
    std::error_code code;
    for (auto it = fs::recursive_directory_iterator(root, code); !code && it != fs::recursive_directory_iterator();
         it.increment(code)) {
        const std::string path = it->path().string();
        all[path] = it->is_symlink() ? "-> " + fs::read_symlink(it->path()).string()
                    : it->is_regular_file() && it->file_size() < (1u << 20) ? ReadFile(path)
                                                                            : "(type " + std::to_string(static_cast<int>(it->symlink_status().type())) + ")";
    }
    return all;
}

std::vector<std::string> Holding(const std::string& root, const std::string& text) {
    std::vector<std::string> found;
    for (const auto& entry : Contents(root)) {
        if (entry.second.rfind("-> ", 0) != 0 && entry.second.find(text) != std::string::npos) found.push_back(entry.first);
    }
    return found;
}

std::string Repeated(const std::string& text, size_t bytes) {
    std::string out;
    while (out.size() < bytes) out += text;
    out.resize(bytes);
    return out;
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

std::string Property(const std::string& key) {
    char value[PROPERTY_VALUE_MAX] = {0};
    property_get(key.c_str(), value, "");
    return value;
}

ProgramRun RunProgram(std::vector<std::string> argv, const std::vector<std::string>& env) {
    std::vector<std::string> settings;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& setting : env) replaced = replaced || setting.rfind(name, 0) == 0;
        if (!replaced) settings.push_back(text);
    }
    settings.insert(settings.end(), env.begin(), env.end());
    auto pointers = [](std::vector<std::string>& words) {
        std::vector<char*> list;
        for (std::string& word : words) list.push_back(&word[0]);
        list.push_back(nullptr);
        return list;
    };
    std::vector<char*> args = pointers(argv), envp = pointers(settings);
    TempDir dir;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ProgramRun run;
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0 && waitpid(pid, &status, 0) == pid) {
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = ReadFile(dir / "out");
    run.err = ReadFile(dir / "err");
    return run;
}

}  // namespace zeb_test
