#pragma once
// How the fake driver tells which recorded frame the library handed it:
// every buffer is mapped once and compared where it lies (FrameMappings), and
// a key of three lines finds the candidates that a byte-by-byte comparison
// confirms (FrameIndex).
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "platform/Mutex.h"
#include "zebsim-hal/lib/Recording.h"

namespace zeb_hal {

// The line stride of a packed 10-bit raw buffer the library hands over.
inline int AlignedStride(int width) { return ((width * 5 / 4) + 15) / 16 * 16; }

// The frame buffers the library hands over, each mapped once: a descriptor
// stays mapped while it names the same buffer (device, inode and size), so a
// recycled slot is compared where it lies, without a copy or a new mapping.
class FrameMappings {
public:
    FrameMappings() = default;
    FrameMappings(const FrameMappings&) = delete;
    FrameMappings& operator=(const FrameMappings&) = delete;
    ~FrameMappings();

    // The buffer's first `bytes` bytes, or null when it does not hold them.
    const uint8_t* Map(int fd, size_t bytes) EXCLUDES(mLock);

private:
    struct Mapping {
        dev_t device = 0;
        ino_t inode = 0;
        size_t bytes = 0;
        void* address = nullptr;
    };
    Mutex mLock;
    std::map<int, Mapping> mMappings GUARDED_BY(mLock);
};

// Which recorded frame a buffer holds, found by a key of three of its lines
// (first, middle, last) and then confirmed byte by byte, line by line, where
// the buffer lies. Read-only once built: any thread may ask.
class FrameIndex {
public:
    struct Found {
        size_t task = SIZE_MAX;
        int index = -1;
    };

    explicit FrameIndex(const Recording& recording);

    // Every recorded frame with these bytes: tasks may hold the same frames.
    std::vector<Found> Find(const uint8_t* lines, int width, int height, size_t stride) const;

private:
    static uint64_t Key(const uint8_t* lines, int width, int height, size_t stride);

    const Recording& mRecording;
    std::unordered_multimap<uint64_t, Found> mKeys;
};

}  // namespace zeb_hal
