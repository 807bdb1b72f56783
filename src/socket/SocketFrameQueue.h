#pragma once
// A small ring of NV21 frame buffers from the vendor buffer manager: the HAL's
// frame thread files processed preview frames into it, a streaming client
// copies the newest one out.
//
// Locking: the pool lock guards the free buffers, the mapper lock the filed
// ones and the reader marks on them. Filing a frame tries the mapper lock once
// and never waits for it; a reader holds it only to find and mark the newest
// buffer and to unmark it, never while it copies, so filing rarely finds it
// busy. A marked buffer is never recycled, so a frame being copied out is
// never refilled under the reader.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "frame/BufferInfo.h"
#include "platform/Mutex.h"

namespace ZEB {

// A lock that can be waited for with a time limit, built on a condition
// variable so that the thread checkers see every hand-over.
class CAPABILITY("mutex") WaitableLock {
public:
    void lock() ACQUIRE() EXCLUDES(mMutex);
    void unlock() RELEASE() EXCLUDES(mMutex);
    bool try_lock() TRY_ACQUIRE(true) EXCLUDES(mMutex);
    bool try_lock_for(std::chrono::nanoseconds limit) TRY_ACQUIRE(true) EXCLUDES(mMutex);

private:
    Mutex mMutex;
    std::condition_variable mFree;
    bool mHeld GUARDED_BY(mMutex) = false;
};

// Holds a WaitableLock for its scope: takes it, or adopts one already taken.
class SCOPED_CAPABILITY WaitableLockGuard {
public:
    explicit WaitableLockGuard(WaitableLock& lock) ACQUIRE(lock) : mLock(lock) { mLock.lock(); }
    WaitableLockGuard(WaitableLock& lock, std::adopt_lock_t) REQUIRES(lock) : mLock(lock) {}
    ~WaitableLockGuard() RELEASE() { mLock.unlock(); }
    WaitableLockGuard(const WaitableLockGuard&) = delete;
    WaitableLockGuard& operator=(const WaitableLockGuard&) = delete;

private:
    WaitableLock& mLock;
};

// Obtains and returns the ring's vendor buffers. Each record it hands out is
// its own; the handle's deleter returns the buffer and frees the record.
template <typename T>
class SocketFramePool {
public:
    // The process-wide manager, created when there is none yet.
    SocketFramePool();

    // A new record holding a buffer of `usage` for width x height; without a
    // buffer when the size is not valid or no manager is there.
    T* AquireMemory(int width, int height, pvk::buffer_usage_t usage);
    void ReleaseMemory(T* record);
    void returnBufferHandle(T* record);

private:
    pvk::BufferManager* mBufferManager;
};

class SocketFrameBuffer {
public:
    SocketFrameBuffer(const std::shared_ptr<SocketFramePool<BufferInfo>>& pool, int width, int height);

    // Mapped address and usable bytes of the buffer; null and 0 when it holds none.
    uint8_t* Data() const { return BufferAddress(mBuffer); }
    size_t Bytes() const { return BufferBytes(mBuffer); }

private:
    friend class SocketFrameQueue;
    std::shared_ptr<SocketFramePool<BufferInfo>> mPool;
    BufferHandle mBuffer;
    int mReaders = 0;  // clients copying this frame out; under the queue's mapper lock
};

class SocketFrameQueue {
public:
    static constexpr size_t kRingSize = 5;

    // The caller has checked that width x height x 3 fits a 32-bit integer.
    SocketFrameQueue(int width, int height);

    // Copies one NV21 frame from `frame` into a free buffer and files it
    // under the next sequence number.
    void InQueueFrameBuffer(const void* frame) EXCLUDES(mPoolLock, mMapperLock);
    // A free buffer, recycling filed ones when none is left; null when none can be had.
    std::shared_ptr<SocketFrameBuffer> GetValidBuffer() EXCLUDES(mPoolLock, mMapperLock);
    // Recycles the four oldest filed frames (what is filed, when fewer; the
    // newest always stays filed), and brings a ring that lost buffers back to
    // its full size.
    void FreshQueueBuffer() EXCLUDES(mPoolLock, mMapperLock);
    // Copies the newest filed frame to `destination`: 0, or -1 when none is filed.
    int GettingLatestFrame(void* destination) EXCLUDES(mMapperLock);

    int Width() const { return mWidth; }
    int Height() const { return mHeight; }
    size_t FrameBytes() const { return mFrameBytes; }
    // For tools and tests: the filed sequence numbers, oldest first; the
    // number the next filed frame gets; the buffers in the ring (free, filed
    // and being filed).
    std::vector<int64_t> FiledSequences() EXCLUDES(mMapperLock);
    int64_t NextSequence() const { return mFrameSeq.load(); }
    size_t RingSize() const { return mRingSize.load(); }

private:
    friend struct SocketQueueProbe;  // lets tests hold a lock as a busy peer would

    // True with `lock` held; false when it stayed busy through every wait.
    bool LockWithRetries(WaitableLock& lock, const char* busyFormat) TRY_ACQUIRE(true, lock);
    void RecycleFiled() REQUIRES(mPoolLock, mMapperLock);
    void FillRing() REQUIRES(mPoolLock);
    // The newest filed buffer, marked as being read (null when none is
    // filed); Unmark ends the read.
    std::shared_ptr<SocketFrameBuffer> MarkNewest() EXCLUDES(mMapperLock);
    void Unmark(const std::shared_ptr<SocketFrameBuffer>& buffer) EXCLUDES(mMapperLock);

    WaitableLock mPoolLock;
    WaitableLock mMapperLock;
    std::map<int64_t, std::shared_ptr<SocketFrameBuffer>> mFrameMapper GUARDED_BY(mMapperLock);
    std::vector<std::shared_ptr<SocketFrameBuffer>> mValidPool GUARDED_BY(mPoolLock);
    int32_t mWidth;
    int32_t mHeight;
    std::atomic<int64_t> mFrameSeq{0};

    size_t mFrameBytes;
    std::shared_ptr<SocketFramePool<BufferInfo>> mPool;
    // Changed by the filing thread alone (as is mFrameSeq).
    std::atomic<size_t> mRingSize{0};
};

}  // namespace ZEB
