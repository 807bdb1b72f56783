#include "platform/BufferManager.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>

#include "platform/Log.h"
#include "platform/Mutex.h"

namespace pvk {
namespace {

const char* const kTag = "BufferManager";

std::atomic<BufferManager*> gInstance{nullptr};
Mutex gCreateLock;

}  // namespace

struct BufferManager::State {
    mutable Mutex lock;
    std::map<Buffer*, buffer_usage_t> live GUARDED_BY(lock);
    uint64_t nextId GUARDED_BY(lock) = 1;
    size_t total GUARDED_BY(lock) = 0;
};

BufferManager* BufferManager::getInstance() { return gInstance.load(); }

BufferManager* BufferManager::createInstance() {
    MutexLock guard(gCreateLock);
    if (!gInstance.load()) {
        // Process-wide service: it lives until the process ends, as on a device.
        auto* manager = new BufferManager;
        manager->mState = new State;
        gInstance.store(manager);
    }
    return gInstance.load();
}

size_t BufferManager::CapacityFor(buffer_usage_t usage, int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    switch (usage) {
        case 3: return pixels * 2;
        case 2: return pixels + (pixels + 1) / 2;
        default: return pixels;
    }
}

int BufferManager::getBuffer(buffer_usage_t usage, int width, int height, Buffer*& out, bool) {
    out = nullptr;
    const size_t capacity = CapacityFor(usage, width, height);
    if (capacity == 0) {
        ZLOG(kTag, 1, "%d, %s: refused buffer of usage %d, %d x %d", usage, width, height);
        return -1;
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t mapped = (capacity + page - 1) / page * page;
    int fd = memfd_create("pvk-buffer", MFD_CLOEXEC);
    if (fd < 0) {
        ZLOG(kTag, 1, "%d, %s: memfd_create failed: %s", strerror(errno));
        return -1;
    }
    if (ftruncate(fd, static_cast<off_t>(mapped)) != 0) {
        ZLOG(kTag, 1, "%d, %s: could not size buffer to %zu bytes: %s", mapped, strerror(errno));
        close(fd);
        return -1;
    }
    void* address = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        ZLOG(kTag, 1, "%d, %s: could not map %zu bytes: %s", mapped, strerror(errno));
        close(fd);
        return -1;
    }
    auto* handle = new buffer_handle_t{};
    handle->fd = fd;
    handle->size = mapped;
    handle->width = static_cast<uint64_t>(width);
    handle->height = static_cast<uint64_t>(height);
    handle->usage = static_cast<uint64_t>(usage);
    handle->vaddr = reinterpret_cast<uint64_t>(address);
    auto* buffer = new Buffer{};
    buffer->usage = static_cast<uint64_t>(usage);
    buffer->handle = handle;
    buffer->capacity = capacity;
    {
        MutexLock guard(mState->lock);
        buffer->id = mState->nextId++;
        mState->live.emplace(buffer, usage);
        ++mState->total;
    }
    out = buffer;
    return 0;
}

int BufferManager::returnBuffer(Buffer* buffer, buffer_usage_t usage, bool) {
    {
        MutexLock guard(mState->lock);
        auto it = mState->live.find(buffer);
        if (it == mState->live.end()) {
            ZLOG(kTag, 1, "%d, %s: refused buffer %p: not handed out, or returned before",
                 static_cast<void*>(buffer));
            return -1;
        }
        if (it->second != usage) {
            ZLOG(kTag, 1, "%d, %s: buffer %p returned with usage %d, obtained with %d",
                 static_cast<void*>(buffer), usage, it->second);
        }
        mState->live.erase(it);
    }
    buffer_handle_t* handle = buffer->handle;
    munmap(reinterpret_cast<void*>(handle->vaddr), handle->size);
    close(handle->fd);
    delete handle;
    delete buffer;
    return 0;
}

size_t BufferManager::liveBufferCount() const {
    MutexLock guard(mState->lock);
    return mState->live.size();
}

size_t BufferManager::totalBufferCount() const {
    MutexLock guard(mState->lock);
    return mState->total;
}

}  // namespace pvk
