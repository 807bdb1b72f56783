#pragma once
// One camera's streaming handler: the HAL's frame thread hands it every
// processed preview frame, a streaming client fetches the newest one and asks
// the preview size.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Mutex.h"
#include "socket/SocketFrameQueue.h"

namespace ZEB {

class SocketHandler {
public:
    static constexpr int32_t kDefaultWidth = 1440;
    static constexpr int32_t kDefaultHeight = 1080;
    // Post-processing parameter that carries the preview size (width, height).
    static constexpr int kPreviewSizeParam = 2095;

    explicit SocketHandler(int cameraId);
    ~SocketHandler();
    SocketHandler(const SocketHandler&) = delete;
    SocketHandler& operator=(const SocketHandler&) = delete;

    // Files one NV21 frame of the preview size; the first frame learns the size.
    void InQueueOneFrame(void* frame) EXCLUDES(mFilingLock);
    // Copies the newest frame to `destination`: 0, or -1 when there is none yet.
    int GetLatestFrame(void* destination);
    void PrepareSnapshot(int);

    int32_t GetPreviewWidth() const { return mPrevWidth.load(); }
    int32_t GetPreviewHeight() const { return mPrevHeight.load(); }
    int32_t CameraId() const { return mCameraId; }
    // The preview queue once the first frame has made it, else null.
    std::shared_ptr<SocketFrameQueue> Queue() const;

    // Whether an NV21 frame of this size can be held: both sides positive and
    // width x height x 3 within a signed 32-bit integer.
    static bool ValidPreviewSize(int32_t width, int32_t height);

private:
    bool CreateQueue() REQUIRES(mFilingLock);

    // Set once, under mFilingLock, before mQueueReady; read after it only.
    std::shared_ptr<SocketFrameQueue> mPrevQueue;
    // Read by the client's thread while the frame thread sets them.
    std::atomic<int32_t> mPrevWidth{kDefaultWidth};
    std::atomic<int32_t> mPrevHeight{kDefaultHeight};
    int32_t mCameraId;
    std::atomic<bool> mQueueReady{false};
    // The HAL files from one thread; this keeps a second one from filing into
    // the same ring at the same time.
    Mutex mFilingLock;
};

}  // namespace ZEB
