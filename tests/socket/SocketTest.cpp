// The streaming queue as the HAL's frame thread and a streaming client use it:
// the ring of five vendor buffers, the preview size from the post-processing
// parameter set, busy locks, and the registry that keeps handlers alive while
// a call runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "platform/BufferManager.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "socket/SocketServerManager.h"
#include "socket/StreamingCopy.h"
#include "support/TestSupport.h"

namespace ZEB {
// Holds a queue's mapper lock the way a busy peer would, and stops a client
// in the middle of copying the newest frame out.
struct SocketQueueProbe {
    static WaitableLock& Mapper(SocketFrameQueue& queue) { return queue.mMapperLock; }
    static std::shared_ptr<SocketFrameBuffer> StartCopy(SocketFrameQueue& queue) { return queue.MarkNewest(); }
    static void EndCopy(SocketFrameQueue& queue, const std::shared_ptr<SocketFrameBuffer>& buffer) {
        queue.Unmark(buffer);
    }
};
}  // namespace ZEB

using namespace ZEB;
using zeb_platform::LogCapture;

namespace {

constexpr int kCamera = 3;

void SetPreviewSize(int width, int height) {
    pvk::ParamSet::createInstance();
    int32_t size[2] = {width, height};
    setPsParam(kCamera, 0, 0, 2095, size);
}

// An NV21 frame whose every 32-bit word holds its number, so a frame mixed
// from two pushes shows.
std::vector<uint32_t> Frame(uint32_t number, int width, int height) {
    return std::vector<uint32_t>(static_cast<size_t>(width) * height * 3 / 2 / 4, number);
}

// The frame's number, or -1 when its words disagree (a torn frame).
int64_t NumberOf(const std::vector<uint32_t>& frame) {
    for (uint32_t word : frame) {
        if (word != frame[0]) return -1;
    }
    return frame[0];
}

size_t LiveBuffers() { return pvk::BufferManager::createInstance()->liveBufferCount(); }

TEST(SocketHandler, SizeDefaultsUntilTheFirstFrameThenTheRingKeepsTheNewest) {
    SetPreviewSize(64, 32);
    LogCapture log(5);
    const size_t before = LiveBuffers();
    {
        SocketHandler handler(kCamera);
        EXPECT_EQ(handler.GetPreviewWidth(), 1440);
        EXPECT_EQ(handler.GetPreviewHeight(), 1080);
        std::vector<uint32_t> out(64 * 32 * 3 / 2 / 4, 0);
        EXPECT_EQ(handler.GetLatestFrame(out.data()), -1);
        EXPECT_TRUE(log.Contains("Buffer or PrevQueue not ready", "SOCKET_HANDLER", 1));

        handler.InQueueOneFrame(nullptr);
        EXPECT_TRUE(log.Contains("InQueueOneFrame: could not get valid input buffer", "SOCKET_HANDLER", 1));
        EXPECT_EQ(handler.Queue(), nullptr);
        EXPECT_EQ(handler.GetPreviewWidth(), 1440);

        for (uint32_t n = 0; n < 5; ++n) handler.InQueueOneFrame(Frame(n, 64, 32).data());
        auto queue = handler.Queue();
        ASSERT_NE(queue, nullptr);
        EXPECT_TRUE(log.Contains("InQueueOneFrame: width=64, height=32"));
        EXPECT_TRUE(log.Contains("SocketFrameQueue: Width IS 64, height is 32"));
        EXPECT_EQ(handler.GetPreviewWidth(), 64);
        EXPECT_EQ(handler.GetPreviewHeight(), 32);
        EXPECT_EQ(LiveBuffers() - before, 5u);
        EXPECT_EQ(queue->FiledSequences(), (std::vector<int64_t>{0, 1, 2, 3, 4}));

        // The sixth frame finds no free buffer: frames 0 to 3 go back, 4 stays.
        handler.InQueueOneFrame(Frame(5, 64, 32).data());
        EXPECT_EQ(queue->FiledSequences(), (std::vector<int64_t>{4, 5}));
        ASSERT_EQ(handler.GetLatestFrame(out.data()), 0);
        EXPECT_EQ(NumberOf(out), 5);
        for (uint32_t n = 6; n < 23; ++n) {
            handler.InQueueOneFrame(Frame(n, 64, 32).data());
            ASSERT_EQ(handler.GetLatestFrame(out.data()), 0);
            EXPECT_EQ(NumberOf(out), n);
        }
        EXPECT_EQ(LiveBuffers() - before, 5u) << "the ring reuses its buffers";
        EXPECT_EQ(log.Count("Prepare to enqueue One frame", "SOCKET_HANDLER"), 23u);
    }
    EXPECT_EQ(LiveBuffers(), before);
    // Every buffer went back with the usage it was obtained with, once.
    EXPECT_EQ(log.Count("", "BufferManager", 1), 0u);
    EXPECT_FALSE(log.Contains("Not valid instance or Bufbuffer"));
}

TEST(SocketHandler, UnusableSizesAreRefusedAndAskedAgainOnTheNextFrame) {
    const int sizes[][2] = {{0, 32}, {64, 0}, {-64, 32}, {64, -1}, {40000, 40000}, {INT_MAX, 1}};
    SocketHandler handler(kCamera);
    std::vector<uint32_t> frame(16, 7);
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size[0]) + " x " + std::to_string(size[1]));
        SetPreviewSize(size[0], size[1]);
        LogCapture log(1);
        handler.InQueueOneFrame(frame.data());
        EXPECT_TRUE(log.Contains("Not valid preview size", "SOCKET_HANDLER", 1));
        EXPECT_EQ(handler.Queue(), nullptr);
        EXPECT_EQ(handler.GetPreviewWidth(), 1440);
        EXPECT_EQ(handler.GetPreviewHeight(), 1080);
    }
    SetPreviewSize(8, 4);
    handler.InQueueOneFrame(Frame(9, 8, 4).data());
    ASSERT_NE(handler.Queue(), nullptr);
    std::vector<uint32_t> out(12, 0);
    ASSERT_EQ(handler.GetLatestFrame(out.data()), 0);
    EXPECT_EQ(NumberOf(out), 9);
}

TEST(SocketHandler, BusyMapperDropsTheFrameAndTheRingIsRefilled) {
    SetPreviewSize(16, 8);
    SocketHandler handler(kCamera);
    handler.InQueueOneFrame(Frame(0, 16, 8).data());
    auto queue = handler.Queue();
    ASSERT_NE(queue, nullptr);
    const size_t before = LiveBuffers();
    WaitableLock& mapper = SocketQueueProbe::Mapper(*queue);
    {
        LogCapture log(4);
        mapper.lock();
        for (uint32_t n = 1; n <= 3; ++n) handler.InQueueOneFrame(Frame(n, 16, 8).data());
        mapper.unlock();
        EXPECT_EQ(log.Count("InQueueFrameBuffer: Could not get Map Lock", "SOCKET_HANDLER", 1), 3u);
        EXPECT_EQ(queue->RingSize(), 2u);
        EXPECT_EQ(LiveBuffers(), before - 3) << "a dropped buffer goes back to the manager";
        EXPECT_EQ(queue->FiledSequences(), (std::vector<int64_t>{0}));
    }
    // The ring goes on with what is left: one free buffer, then a refresh
    // that recycles the older of the two filed frames and refills to five.
    handler.InQueueOneFrame(Frame(4, 16, 8).data());
    EXPECT_EQ(queue->FiledSequences(), (std::vector<int64_t>{0, 1}));
    handler.InQueueOneFrame(Frame(5, 16, 8).data());
    EXPECT_EQ(queue->FiledSequences(), (std::vector<int64_t>{1, 2})) << "fewer than four filed: all but the newest";
    EXPECT_EQ(queue->RingSize(), 5u);
    EXPECT_EQ(LiveBuffers(), before);
    std::vector<uint32_t> out(16 * 8 * 3 / 2 / 4, 0);
    ASSERT_EQ(handler.GetLatestFrame(out.data()), 0);
    EXPECT_EQ(NumberOf(out), 5);

    // No free buffer and the mapper held throughout: the refresh gives up
    // after its waits and moves nothing; the frame is not filed.
    for (uint32_t n = 6; n < 9; ++n) handler.InQueueOneFrame(Frame(n, 16, 8).data());
    const auto filed = queue->FiledSequences();
    ASSERT_EQ(filed.size(), 5u);
    LogCapture log(4);
    mapper.lock();
    handler.InQueueOneFrame(Frame(9, 16, 8).data());
    mapper.unlock();
    EXPECT_EQ(log.Count("FreshQueueBuffer: Frame Mapper is in using", "SOCKET_HANDLER", 4), 5u);
    EXPECT_EQ(log.Count("Could not get Mapper lock, maybe some error", "SOCKET_HANDLER", 1), 1u);
    EXPECT_EQ(log.Count("Could not find valid buffer now", "SOCKET_HANDLER", 1), 1u);
    EXPECT_FALSE(log.Contains("Could not get Queue lock"));
    EXPECT_EQ(queue->FiledSequences(), filed);
    ASSERT_EQ(handler.GetLatestFrame(out.data()), 0);
    EXPECT_EQ(NumberOf(out), 8);
}

// The buffer a client is copying out is not refilled, however many frames
// are filed meanwhile; once copied it goes back into the ring.
TEST(SocketHandler, AFrameBeingCopiedOutIsNotRefilledUnderTheCopy) {
    SetPreviewSize(16, 8);
    SocketHandler handler(kCamera);
    handler.InQueueOneFrame(Frame(0, 16, 8).data());
    auto queue = handler.Queue();
    ASSERT_NE(queue, nullptr);
    std::shared_ptr<SocketFrameBuffer> copying = SocketQueueProbe::StartCopy(*queue);
    ASSERT_NE(copying, nullptr);
    for (uint32_t n = 1; n <= 8; ++n) handler.InQueueOneFrame(Frame(n, 16, 8).data());
    const auto* words = reinterpret_cast<const uint32_t*>(copying->Data());
    EXPECT_EQ(NumberOf(std::vector<uint32_t>(words, words + 16 * 8 * 3 / 2 / 4)), 0);
    EXPECT_EQ(queue->FiledSequences().front(), 0);
    SocketQueueProbe::EndCopy(*queue, copying);
    for (uint32_t n = 9; n <= 12; ++n) handler.InQueueOneFrame(Frame(n, 16, 8).data());
    EXPECT_NE(queue->FiledSequences().front(), 0) << "a copied frame is recycled like any other";
    EXPECT_EQ(queue->RingSize(), 5u);
}

// Frames of preview size take the path around the caches: every byte lands,
// whatever the alignment of either side, and nothing past the end.
TEST(SocketHandler, LargeFramesAreCopiedByteExactAtAnyAlignment) {
    const size_t sizes[] = {0, 1, 63, kStreamingCopyMin - 1, kStreamingCopyMin, kStreamingCopyMin + 77};
    std::vector<uint8_t> source(kStreamingCopyMin + 200), target(kStreamingCopyMin + 200);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7 + i / 251);
    for (size_t bytes : sizes) {
        for (size_t in = 0; in < 3; ++in) {
            for (size_t out : {0, 1, 8, 15}) {
                SCOPED_TRACE(std::to_string(bytes) + " bytes, offsets " + std::to_string(in) + "/" + std::to_string(out));
                std::fill(target.begin(), target.end(), 0xee);
                StreamingCopy(target.data() + out, source.data() + in, bytes);
                ASSERT_EQ(memcmp(target.data() + out, source.data() + in, bytes), 0);
                ASSERT_EQ(target[out + bytes], 0xee);
                if (out > 0) {
                    ASSERT_EQ(target[out - 1], 0xee);
                }
            }
        }
    }
}

// The frame thread pushes while a client fetches and a third thread asks the
// size: every fetched frame is whole and at least as new as the newest filed
// when the fetch began.
TEST(SocketHandler, ConcurrentPushFetchAndSizeQueriesNeverTearAFrame) {
    constexpr int kWidth = 32, kHeight = 16, kFrames = 10000;
    SetPreviewSize(kWidth, kHeight);
    SocketHandler handler(kCamera);
    std::atomic<int64_t> newestFiled{-1};
    std::atomic<bool> done{false};

    std::thread client([&] {
        std::vector<uint32_t> out(kWidth * kHeight * 3 / 2 / 4);
        int64_t last = -1;
        while (!done.load()) {
            const int64_t floor = newestFiled.load();
            if (handler.GetLatestFrame(out.data()) != 0) {
                ASSERT_EQ(floor, -1) << "a frame was filed, yet none was returned";
                continue;
            }
            const int64_t number = NumberOf(out);
            ASSERT_NE(number, -1) << "torn frame";
            ASSERT_GE(number, floor) << "an older frame than the newest filed";
            ASSERT_GE(number, last) << "frames went backwards";
            last = number;
        }
    });
    std::thread sizes([&] {
        bool known = false;
        while (!done.load()) {
            const int width = handler.GetPreviewWidth(), height = handler.GetPreviewHeight();
            ASSERT_TRUE(width == kWidth || (!known && width == 1440)) << width;
            ASSERT_TRUE(height == kHeight || (!known && height == 1080)) << height;
            known = width == kWidth && height == kHeight;
        }
    });
    std::vector<uint32_t> frame;
    for (uint32_t n = 0; n < static_cast<uint32_t>(kFrames); ++n) {
        frame.assign(kWidth * kHeight * 3 / 2 / 4, n);
        auto queue = handler.Queue();
        const int64_t sequence = queue ? queue->NextSequence() : 0;
        handler.InQueueOneFrame(frame.data());
        if (handler.Queue()->NextSequence() > sequence) newestFiled = n;
    }
    done = true;
    client.join();
    sizes.join();
    EXPECT_LE(handler.Queue()->RingSize(), 5u);
}

// A call that has found a handler keeps it: deleting or replacing it waits
// for the call to return.
TEST(SocketRegistry, DeleteAndReplaceWaitForTheCallUsingTheHandler) {
    SetPreviewSize(16, 8);
    SocketServerManager registry;
    registry.Create(kCamera);
    const size_t before = LiveBuffers();
    {
        auto use = registry.Find(kCamera, false);
        ASSERT_TRUE(use);
        use->InQueueOneFrame(Frame(1, 16, 8).data());
        auto replacing = std::async(std::launch::async, [&] { registry.Create(kCamera); });
        ASSERT_TRUE(zeb_test::WaitFor([&] {
            auto current = registry.Find(kCamera, false);
            return current && current->Queue() == nullptr;
        }));
        // The old handler still runs for this call.
        std::vector<uint32_t> out(16 * 8 * 3 / 2 / 4, 0);
        EXPECT_EQ(use->GetLatestFrame(out.data()), 0);
        EXPECT_EQ(NumberOf(out), 1);
        EXPECT_EQ(LiveBuffers(), before + 5);
        use = SocketServerManager::Use();
        replacing.get();
        EXPECT_EQ(LiveBuffers(), before) << "the replaced handler is destroyed";
    }
    auto use = registry.Find(kCamera, false);
    ASSERT_TRUE(use);
    std::atomic<int> deletes{0};
    auto deleting = std::async(std::launch::async, [&] { registry.DeleteAll([&](int) { ++deletes; }); });
    ASSERT_TRUE(zeb_test::WaitFor([&] { return registry.EntryCount() == 0; }));
    EXPECT_EQ(deletes.load(), 0);
    use->InQueueOneFrame(Frame(2, 16, 8).data());
    EXPECT_EQ(use->GetPreviewWidth(), 16);
    use = SocketServerManager::Use();
    deleting.get();
    EXPECT_EQ(deletes.load(), 1);
}

}  // namespace
