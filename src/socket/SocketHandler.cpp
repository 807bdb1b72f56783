#include "socket/SocketHandler.h"

#include <limits>

#include "platform/Log.h"
#include "platform/ParamSet.h"

namespace ZEB {
namespace {
const char* const kTag = "SOCKET_HANDLER";
}  // namespace

SocketHandler::SocketHandler(int cameraId) : mCameraId(cameraId) {}

// The queue goes with its buffers; the registry destroys a handler only once
// no call is using it.
SocketHandler::~SocketHandler() = default;

bool SocketHandler::ValidPreviewSize(int32_t width, int32_t height) {
    if (width < 1 || height < 1) return false;
    return static_cast<int64_t>(width) * height * 3 <= std::numeric_limits<int32_t>::max();
}

std::shared_ptr<SocketFrameQueue> SocketHandler::Queue() const {
    return mQueueReady.load(std::memory_order_acquire) ? mPrevQueue : nullptr;
}

void SocketHandler::InQueueOneFrame(void* frame) {
    if (!frame) {
        ZLOG(kTag, 1, "%d, %s: could not get valid input buffer");
        return;
    }
    MutexLock filing(mFilingLock);
    if (!mQueueReady.load(std::memory_order_acquire) && !CreateQueue()) return;
    mPrevQueue->InQueueFrameBuffer(frame);
    ZLOG(kTag, 5, "%d, %s: Prepare to enqueue One frame");
}

// The preview size is known to the pipeline once preview runs: it is asked on
// the first frame, and again on the next one while it is not usable.
bool SocketHandler::CreateQueue() {
    int32_t size[2] = {0, 0};
    getPsParam(mCameraId, 0, 0, kPreviewSizeParam, size);
    ZLOG_AS("InQueueOneFrame", kTag, 4, "%d, %s: width=%d, height=%d", size[0], size[1]);
    if (!ValidPreviewSize(size[0], size[1])) {
        ZLOG_AS("InQueueOneFrame", kTag, 1, "%d, %s: Not valid preview size width=%d, height=%d, no queue created",
                size[0], size[1]);
        return false;
    }
    mPrevWidth = size[0];
    mPrevHeight = size[1];
    mPrevQueue = std::make_shared<SocketFrameQueue>(size[0], size[1]);
    mQueueReady.store(true, std::memory_order_release);
    return true;
}

int SocketHandler::GetLatestFrame(void* destination) {
    if (!destination || !mQueueReady.load(std::memory_order_acquire)) {
        ZLOG(kTag, 1, "%d, %s: Buffer or PrevQueue not ready");
        return -1;
    }
    if (mPrevQueue->GettingLatestFrame(destination) != 0) {
        ZLOG(kTag, 1, "%d, %s: No frame filed now");
        return -1;
    }
    return 0;
}

void SocketHandler::PrepareSnapshot(int) {}

}  // namespace ZEB
