#pragma once
// Host stand-in for the vendor buffer manager. Buffers are shared memory with a
// real file descriptor (memfd) and a writable mapping, because the ISP side
// reaches them by descriptor and this library by address.
#include <cstddef>
#include <cstdint>

namespace pvk {

typedef int buffer_usage_t;

// Descriptor record of a buffer. Callers read the file descriptor (first 32-bit
// field) and the mapped CPU address (seventh 64-bit field).
struct buffer_handle_t {
    int32_t fd;
    int32_t reserved;
    uint64_t size;     // bytes mapped
    uint64_t width;    // as requested
    uint64_t height;   // as requested
    uint64_t usage;
    uint64_t offset;   // of the data within the mapping; always 0 here
    uint64_t vaddr;    // mapped CPU address
};
static_assert(sizeof(int32_t) == 4 && offsetof(buffer_handle_t, vaddr) == 6 * 8,
              "the mapped address is the seventh 64-bit field");

// Callers read the third pointer-sized field: the descriptor record.
struct Buffer {
    uint64_t id;
    uint64_t usage;
    buffer_handle_t* handle;
    uint64_t capacity;  // bytes usable from handle->vaddr
};
static_assert(offsetof(Buffer, handle) == 2 * sizeof(void*), "the descriptor is the third field");

class BufferManager {
public:
    static BufferManager* getInstance();
    static BufferManager* createInstance();

    // Sets `out` to a new buffer that holds at least the bytes the usage asks
    // for width x height (usage 3: 2 per pixel, 2: 3/2, 0 and 1: 1); `out`
    // stays null when none can be given. Returns 0 or -1.
    int getBuffer(buffer_usage_t usage, int width, int height, Buffer*& out, bool secure);
    // Takes back a buffer handed out by getBuffer, from any thread. A buffer it
    // did not hand out, or one already returned, is refused with a log line.
    int returnBuffer(Buffer* buffer, buffer_usage_t usage, bool secure);

    // For tests and benchmarks: buffers handed out and not yet returned.
    size_t liveBufferCount() const;
    size_t totalBufferCount() const;

    static size_t CapacityFor(buffer_usage_t usage, int width, int height);

private:
    BufferManager() = default;
    struct State;
    State* mState = nullptr;
};

}  // namespace pvk
