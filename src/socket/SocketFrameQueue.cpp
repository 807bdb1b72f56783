#include "socket/SocketFrameQueue.h"

#include <cstring>
#include <iterator>

#include "platform/Host.h"
#include "platform/Log.h"
#include "socket/StreamingCopy.h"

namespace ZEB {
namespace {

const char* const kTag = "SOCKET_HANDLER";
constexpr pvk::buffer_usage_t kSocketUsage = 1;
constexpr size_t kRecycleCount = 4;  // the newest of a full ring stays filed
constexpr int kLockWaits = 5;
constexpr std::chrono::milliseconds kLockWait(100);

}  // namespace

// The lock's own state lives under mMutex; what it guards for its users is
// beyond the analysis of these bodies.
void WaitableLock::lock() NO_THREAD_SAFETY_ANALYSIS {
    MutexLock guard(mMutex);
    mFree.wait(guard.native(), [this]() REQUIRES(mMutex) { return !mHeld; });
    mHeld = true;
}

void WaitableLock::unlock() NO_THREAD_SAFETY_ANALYSIS {
    {
        MutexLock guard(mMutex);
        mHeld = false;
    }
    mFree.notify_one();
}

bool WaitableLock::try_lock() NO_THREAD_SAFETY_ANALYSIS {
    MutexLock guard(mMutex);
    if (mHeld) return false;
    mHeld = true;
    return true;
}

bool WaitableLock::try_lock_for(std::chrono::nanoseconds limit) NO_THREAD_SAFETY_ANALYSIS {
    MutexLock guard(mMutex);
    if (!mFree.wait_for(guard.native(), limit, [this]() REQUIRES(mMutex) { return !mHeld; })) return false;
    mHeld = true;
    return true;
}

template <typename T>
SocketFramePool<T>::SocketFramePool() {
    pvk::BufferManager* manager = pvk::BufferManager::getInstance();
    mBufferManager = manager ? manager : pvk::BufferManager::createInstance();
}

template <typename T>
T* SocketFramePool<T>::AquireMemory(int width, int height, pvk::buffer_usage_t usage) {
    T* record = new T{};
    if (width < 1 || height < 1) {
        ZLOG(kTag, 4, "%d, %s: Quenda Not valid parameter with width %d, height %d, handle %p", width, height,
             static_cast<void*>(record));
        return record;
    }
    if (!mBufferManager) {
        ZLOG(kTag, 4, "%d, %s: Not valid BufferManager");
    } else {
        pvk::Buffer* buffer = nullptr;
        mBufferManager->getBuffer(usage, width, height, buffer, false);
        record->buffer = buffer;
        record->bytes = buffer ? GuaranteedBytes(usage, width, height) : 0;
    }
    record->usage = usage;
    return record;
}

template <typename T>
void SocketFramePool<T>::ReleaseMemory(T* record) {
    returnBufferHandle(record);
    delete record;
}

template <typename T>
void SocketFramePool<T>::returnBufferHandle(T* record) {
    if (record && mBufferManager && record->buffer && record->buffer->handle) {
        mBufferManager->returnBuffer(record->buffer, kSocketUsage, false);
    } else {
        ZLOG(kTag, 1, "%d, %s: Not valid instance or Bufbuffer");
    }
}

template class SocketFramePool<BufferInfo>;

SocketFrameBuffer::SocketFrameBuffer(const std::shared_ptr<SocketFramePool<BufferInfo>>& pool, int width,
                                     int height)
    : mPool(pool) {
    // An NV21 frame needs 3/2 bytes a pixel; a buffer of this usage gives one
    // byte per requested pixel, so it is asked for twice the width.
    BufferInfo* record = pool->AquireMemory(2 * width, height, kSocketUsage);
    mBuffer = BufferHandle(record, [pool](BufferInfo* released) { pool->ReleaseMemory(released); });
}

SocketFrameQueue::SocketFrameQueue(int width, int height)
    : mWidth(width),
      mHeight(height),
      mFrameBytes(static_cast<size_t>(width * height * 3 / 2)),
      mPool(std::make_shared<SocketFramePool<BufferInfo>>()) {
    ZLOG(kTag, 4, "%d, %s: Width IS %d, height is %d", width, height);
    for (size_t i = 0; i < kRingSize; ++i) mValidPool.push_back(std::make_shared<SocketFrameBuffer>(mPool, width, height));
    mRingSize = kRingSize;
}

void SocketFrameQueue::InQueueFrameBuffer(const void* frame) {
    std::shared_ptr<SocketFrameBuffer> buffer = GetValidBuffer();
    if (!buffer || !buffer->Data() || buffer->Bytes() < mFrameBytes) {
        ZLOG(kTag, 1, "%d, %s: Could not find valid buffer now");
        // A buffer without memory leaves the ring; the next refresh replaces it.
        if (buffer) --mRingSize;
        return;
    }
    ZLOG(kTag, 5, "%d, %s: mWidth is %d, %d", mWidth, mHeight);
    StreamingCopy(buffer->Data(), frame, mFrameBytes);
    // Filing never waits: the HAL's frame thread must not stall behind a client.
    if (!mMapperLock.try_lock()) {
        ZLOG(kTag, 1, "%d, %s: Could not get Map Lock");
        --mRingSize;
        return;
    }
    bool filed;
    {
        WaitableLockGuard mapper(mMapperLock, std::adopt_lock);
        filed = mFrameMapper.emplace(mFrameSeq.load(), buffer).second;
        ++mFrameSeq;
    }
    if (!filed) --mRingSize;
}

std::shared_ptr<SocketFrameBuffer> SocketFrameQueue::GetValidBuffer() {
    bool empty;
    {
        WaitableLockGuard guard(mPoolLock);
        empty = mValidPool.empty();
    }
    if (empty) FreshQueueBuffer();
    WaitableLockGuard guard(mPoolLock);
    if (mValidPool.empty()) return nullptr;
    std::shared_ptr<SocketFrameBuffer> buffer = std::move(mValidPool.back());
    mValidPool.pop_back();
    return buffer;
}

bool SocketFrameQueue::LockWithRetries(WaitableLock& lock, const char* busyFormat) {
    if (lock.try_lock()) return true;
    for (int wait = 0; wait < kLockWaits; ++wait) {
        ZLOG_AS("FreshQueueBuffer", kTag, 4, busyFormat);
        if (lock.try_lock_for(zeb_platform::Scaled(kLockWait))) return true;
    }
    return false;
}

void SocketFrameQueue::FreshQueueBuffer() {
    // Both locks are tried, the pool's first, before either is given up; the
    // mapper lock is given up first.
    bool gotMapper = false;
    if (LockWithRetries(mPoolLock, "%d, %s: Valid Pool is in using")) {
        WaitableLockGuard pool(mPoolLock, std::adopt_lock);
        if (LockWithRetries(mMapperLock, "%d, %s: Frame Mapper is in using")) {
            WaitableLockGuard mapper(mMapperLock, std::adopt_lock);
            gotMapper = true;
            RecycleFiled();
        }
        FillRing();
    } else {
        if (LockWithRetries(mMapperLock, "%d, %s: Frame Mapper is in using")) {
            gotMapper = true;
            mMapperLock.unlock();
        }
        ZLOG(kTag, 1, "%d, %s: Could not get Queue lock, maybe some error");
    }
    if (!gotMapper) ZLOG(kTag, 1, "%d, %s: Could not get Mapper lock, maybe some error");
}

// The four oldest filed frames, or what is filed when fewer, but never the
// newest: a client always finds a frame, and never an older one after a
// newer. A frame a client is copying out stays filed until a later refresh.
void SocketFrameQueue::RecycleFiled() {
    if (mFrameMapper.empty()) return;
    const auto newest = std::prev(mFrameMapper.end());
    auto entry = mFrameMapper.begin();
    for (size_t n = 0; n < kRecycleCount && entry != newest; ++n) {
        if (entry->second->mReaders > 0) {
            ++entry;
            continue;
        }
        mValidPool.push_back(std::move(entry->second));
        entry = mFrameMapper.erase(entry);
    }
}

// Buffers dropped on a busy mapper lock (or obtained without memory) are
// replaced, so the ring does not shrink for good.
void SocketFrameQueue::FillRing() {
    while (mRingSize.load() < kRingSize) {
        mValidPool.push_back(std::make_shared<SocketFrameBuffer>(mPool, mWidth, mHeight));
        ++mRingSize;
    }
}

std::shared_ptr<SocketFrameBuffer> SocketFrameQueue::MarkNewest() {
    WaitableLockGuard guard(mMapperLock);
    if (mFrameMapper.empty()) return nullptr;
    std::shared_ptr<SocketFrameBuffer> newest = mFrameMapper.rbegin()->second;
    ++newest->mReaders;
    return newest;
}

void SocketFrameQueue::Unmark(const std::shared_ptr<SocketFrameBuffer>& buffer) {
    WaitableLockGuard guard(mMapperLock);
    --buffer->mReaders;
}

int SocketFrameQueue::GettingLatestFrame(void* destination) {
    std::shared_ptr<SocketFrameBuffer> newest = MarkNewest();
    if (!newest) return -1;
    // Outside the lock: filing must not find it busy for the length of a copy.
    memcpy(destination, newest->Data(), mFrameBytes);
    Unmark(newest);
    return 0;
}

std::vector<int64_t> SocketFrameQueue::FiledSequences() {
    WaitableLockGuard guard(mMapperLock);
    std::vector<int64_t> sequences;
    for (const auto& entry : mFrameMapper) sequences.push_back(entry.first);
    return sequences;
}

}  // namespace ZEB
