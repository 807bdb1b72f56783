#pragma once
// Vendor buffers of a frame: the record describing one buffer, the pool that
// obtains and returns them, and the shared handles through which a frame owns
// them (the last handle to go returns the buffer).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/BufferManager.h"
#include "platform/Log.h"

namespace ZEB {

struct BufferInfo {
    pvk::Buffer* buffer = nullptr;
    int64_t usage = 0;  // pvk::buffer_usage_t, handed back on return
    // Bytes the manager guarantees for the request (2, 3/2 or 1 per pixel by
    // usage), so that readers and converters never write past the buffer.
    size_t bytes = 0;
};

using BufferHandle = std::shared_ptr<BufferInfo>;

// Mapped address of a handle's buffer, or null.
inline uint8_t* BufferAddress(const BufferHandle& handle) {
    if (!handle || !handle->buffer || !handle->buffer->handle) return nullptr;
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(handle->buffer->handle->vaddr));
}

// File descriptor of a handle's buffer, or -1.
inline int BufferFd(const BufferHandle& handle) {
    if (!handle || !handle->buffer || !handle->buffer->handle) return -1;
    return handle->buffer->handle->fd;
}

// Usable bytes behind a handle; 0 when it holds no buffer.
inline size_t BufferBytes(const BufferHandle& handle) {
    return BufferAddress(handle) ? handle->bytes : 0;
}

// What the manager promises per requested pixel: 2 bytes for usage 3, 3/2 for
// usage 2, 1 otherwise.
inline size_t GuaranteedBytes(int usage, int width, int height) {
    if (width < 1 || height < 1) return 0;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (usage == 3) return pixels * 2;
    if (usage == 2) return pixels * 3 / 2;
    return pixels;
}

template <typename T>
class ZEBMemoryPool {
public:
    explicit ZEBMemoryPool(pvk::BufferManager* manager) : mBufferManager(manager) {}

    // The process-wide manager, created on first use.
    static pvk::BufferManager* Manager() {
        pvk::BufferManager* manager = pvk::BufferManager::getInstance();
        return manager ? manager : pvk::BufferManager::createInstance();
    }

    T* AquireMemory(int width, int height, pvk::buffer_usage_t usage, T* record) {
        if (width < 1 || height < 1 || !record) {
            ZLOG(nullptr, 4, "%d, %s: Quenda Not valid parameter with width %d, height %d, handle %p", width,
                 height, static_cast<void*>(record));
            return record;
        }
        if (!mBufferManager) {
            ZLOG_AS("getBufferHandle", nullptr, 4, "%d, %s: Not valid BufferManager");
            record->buffer = nullptr;
            record->bytes = 0;
        } else {
            pvk::Buffer* buffer = nullptr;
            mBufferManager->getBuffer(usage, width, height, buffer, false);
            record->buffer = buffer;
            record->bytes = buffer ? GuaranteedBytes(usage, width, height) : 0;
        }
        record->usage = usage;
        return record;
    }

    void ReleaseMemory(T* record) { returnBufferHandle(record); }

    void returnBufferHandle(T* record) {
        if (record && mBufferManager && record->buffer && record->buffer->handle && record->buffer->handle->fd >= 0) {
            mBufferManager->returnBuffer(record->buffer, static_cast<pvk::buffer_usage_t>(record->usage), false);
        } else {
            ZLOG(nullptr, 1, "%d, %s: Not valid instance or Bufbuffer");
        }
    }

    // A handle on `record` whose deleter returns the buffer to this pool. The
    // deleter also keeps `owner` (the storage the record lives in) alive, so a
    // handle that outlives the frame never touches freed memory.
    static std::shared_ptr<T> MakeHandle(const std::shared_ptr<ZEBMemoryPool>& pool, T* record,
                                         const std::shared_ptr<void>& owner) {
        return std::shared_ptr<T>(record, [pool, owner](T* released) { pool->ReleaseMemory(released); });
    }

private:
    pvk::BufferManager* mBufferManager;
};

}  // namespace ZEB
