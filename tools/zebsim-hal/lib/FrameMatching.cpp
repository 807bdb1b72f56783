#include "zebsim-hal/lib/FrameMatching.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>

namespace zeb_hal {

FrameMappings::~FrameMappings() {
    MutexLock guard(mLock);
    for (auto& entry : mMappings) munmap(entry.second.address, entry.second.bytes);
}

const uint8_t* FrameMappings::Map(int fd, size_t bytes) {
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0 || static_cast<uint64_t>(status.st_size) < bytes) return nullptr;
    MutexLock guard(mLock);
    Mapping& mapping = mMappings[fd];
    const size_t size = static_cast<size_t>(status.st_size);
    if (mapping.address && (mapping.device != status.st_dev || mapping.inode != status.st_ino || mapping.bytes != size)) {
        munmap(mapping.address, mapping.bytes);
        mapping.address = nullptr;
    }
    if (!mapping.address) {
        void* address = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        if (address == MAP_FAILED) {
            mMappings.erase(fd);
            return nullptr;
        }
        mapping = {status.st_dev, status.st_ino, size, address};
    }
    return static_cast<const uint8_t*>(mapping.address);
}

FrameIndex::FrameIndex(const Recording& recording) : mRecording(recording) {
    for (size_t t = 0; t < recording.tasks.size(); ++t) {
        const auto& frames = recording.tasks[t].frames;
        for (size_t i = 0; i < frames.size(); ++i) {
            const ExpectedFrame& frame = frames[i];
            const size_t line = static_cast<size_t>(frame.rawWidth) * 5 / 4;
            if (frame.rawWidth <= 0 || frame.rawHeight <= 0 ||
                frame.packedRaw.size() != line * static_cast<size_t>(frame.rawHeight)) {
                continue;
            }
            mKeys.emplace(Key(frame.packedRaw.data(), frame.rawWidth, frame.rawHeight, line), Found{t, static_cast<int>(i)});
        }
    }
}

std::vector<FrameIndex::Found> FrameIndex::Find(const uint8_t* lines, int width, int height, size_t stride) const {
    std::vector<Found> matches;
    if (!lines || width <= 0 || height <= 0) return matches;
    const size_t line = static_cast<size_t>(width) * 5 / 4;
    const auto range = mKeys.equal_range(Key(lines, width, height, stride));
    for (auto it = range.first; it != range.second; ++it) {
        const ExpectedFrame& frame = mRecording.tasks[it->second.task].frames[static_cast<size_t>(it->second.index)];
        if (frame.rawWidth != width || frame.rawHeight != height) continue;
        bool same = true;
        for (int r = 0; r < height && same; ++r) {
            same = memcmp(lines + stride * r, frame.packedRaw.data() + line * r, line) == 0;
        }
        if (same) matches.push_back(it->second);
    }
    return matches;
}

uint64_t FrameIndex::Key(const uint8_t* lines, int width, int height, size_t stride) {
    const size_t line = static_cast<size_t>(width) * 5 / 4;
    uint64_t hash = 1469598103934665603ull ^ (static_cast<uint64_t>(width) << 32 | static_cast<uint32_t>(height));
    for (int r : {0, height / 2, height - 1}) {
        const uint8_t* bytes = lines + stride * r;
        for (size_t b = 0; b < line; ++b) hash = (hash ^ bytes[b]) * 1099511628211ull;
    }
    return hash;
}

}  // namespace zeb_hal
