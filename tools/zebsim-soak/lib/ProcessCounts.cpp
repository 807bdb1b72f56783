#include "zebsim-soak/lib/ProcessCounts.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/BufferManager.h"

namespace zeb_soak {
namespace {
using Clock = std::chrono::steady_clock;

// The entries of a /proc folder: file descriptors with what they lead to,
// or threads with their names. The folder's own descriptor is among the
// descriptors, every time alike.
std::map<std::string, std::string> ProcEntries(const char* folder, bool descriptors) {
    std::map<std::string, std::string> entries;
    DIR* dir = opendir(folder);
    if (!dir) return entries;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = std::string(folder) + "/" + entry->d_name;
        std::string what;
        if (descriptors) {
            char target[512] = {0};
            const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
            if (length > 0) what.assign(target, static_cast<size_t>(length));
        } else {
            std::ifstream comm(path + "/comm");
            std::getline(comm, what);
        }
        entries[entry->d_name] = what;
    }
    closedir(dir);
    return entries;
}

size_t LiveBuffers() {
    pvk::BufferManager* manager = pvk::BufferManager::getInstance();
    return manager ? manager->liveBufferCount() : 0;
}

// What is there now beyond the baseline, by name.
std::string Beyond(const std::map<std::string, std::string>& now, const std::map<std::string, std::string>& baseline) {
    std::string text;
    for (const auto& entry : now) {
        if (baseline.count(entry.first) && baseline.at(entry.first) == entry.second) continue;
        text += (text.empty() ? "" : ", ") + entry.first + " " + entry.second;
    }
    return text;
}

}  // namespace

Counts TakeCounts() {
    Counts counts;
    counts.threads = ProcEntries("/proc/self/task", false);
    counts.descriptors = ProcEntries("/proc/self/fd", true);
    counts.buffers = LiveBuffers();
    return counts;
}

std::vector<std::string> CheckLeaks(const Counts& baseline, double settleSeconds) {
    const auto by = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settleSeconds));
    Counts now;
    for (;;) {
        now = TakeCounts();
        // A thread's task leaves /proc a moment after it was joined.
        if (now.threads.size() <= baseline.threads.size() && now.descriptors.size() <= baseline.descriptors.size() &&
            now.buffers <= baseline.buffers) {
            return {};
        }
        if (Clock::now() > by) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<std::string> leaks;
    if (now.buffers > baseline.buffers) {
        leaks.push_back(std::to_string(now.buffers - baseline.buffers) + " vendor buffer(s) still live");
    }
    if (now.threads.size() > baseline.threads.size()) {
        leaks.push_back(std::to_string(now.threads.size() - baseline.threads.size()) +
                        " thread(s) more: " + Beyond(now.threads, baseline.threads));
    }
    if (now.descriptors.size() > baseline.descriptors.size()) {
        leaks.push_back(std::to_string(now.descriptors.size() - baseline.descriptors.size()) +
                        " file descriptor(s) more: " + Beyond(now.descriptors, baseline.descriptors));
    }
    return leaks;
}

size_t SettledThreadCount() {
    size_t count = ProcEntries("/proc/self/task", false).size();
    const auto by = Clock::now() + std::chrono::seconds(10);
    auto stableSince = Clock::now();
    while (Clock::now() < by && Clock::now() - stableSince < std::chrono::milliseconds(200)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const size_t now = ProcEntries("/proc/self/task", false).size();
        if (now != count) {
            count = now;
            stableSince = Clock::now();
        }
    }
    return count;
}

}  // namespace zeb_soak
