// The virtual sensor against a fake HAL driver behind the sensor ioctl: the
// driver decodes each 16-byte command record, and for a frame maps the buffer
// named by the record's descriptor and reads the lines where it expects them.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>

#include "FrameFixture.h"
#include "support/TestSupport.h"
#include "frame/VirtualSensorControl.h"
#include "platform/BufferManager.h"
#include "platform/Log.h"

using namespace ZEB;
using frame_test::PackedLines;
using zeb_test::At;

namespace {

struct FakeDriver {
    struct Command {
        uint8_t record[16];
        std::vector<uint8_t> param;  // the parameter's bytes as the driver saw them
        std::vector<uint8_t> lines;  // for a frame: its lines, read through the descriptor
    };
    std::vector<Command> commands;
    int32_t binningFactor = 2;
    long result = 0;

    // The driver reads width x height pixels at the 16-byte aligned stride.
    static std::vector<uint8_t> ReadLines(const isp_raw_proc_info& info) {
        struct stat status;
        if (info.fd < 0 || fstat(info.fd, &status) != 0) return {};
        const size_t line = info.width * 5 / 4, stride = (line + 15) / 16 * 16, size = status.st_size;
        if (stride * info.height > size) return {};  // a device HAL would fault
        void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, info.fd, 0);
        if (mapped == MAP_FAILED) return {};
        std::vector<uint8_t> lines(line * info.height);
        for (uint32_t y = 0; y < info.height; ++y) {
            memcpy(&lines[line * y], static_cast<const uint8_t*>(mapped) + info.offset + stride * y, line);
        }
        munmap(mapped, size);
        return lines;
    }

    static long Ioctl(void* handle, unsigned int camera, unsigned long tag, unsigned long address) {
        auto* driver = static_cast<FakeDriver*>(handle);  // the sensor handle at byte 112 of the context
        EXPECT_EQ(camera, 2u);
        EXPECT_EQ(tag, 32u);
        Command command;
        memcpy(command.record, reinterpret_cast<const void*>(address), 16);
        auto* param = At<uint8_t*>(command.record, 8);
        const uint8_t code = command.record[0];
        if (code == 0x1f) memcpy(param + 32, &driver->binningFactor, 4);
        const size_t bytes = code == 0x25   ? sizeof(isp_raw_proc_info)
                             : code == 0x27 ? 16
                             : code == 0x26 ? 1
                             : code == 0x1f ? 40
                                            : 4;
        command.param.assign(param, param + bytes);
        if (code == 0x25) command.lines = ReadLines(*reinterpret_cast<const isp_raw_proc_info*>(param));
        driver->commands.push_back(std::move(command));
        return driver->result;
    }
};

// What the driver should see of a binned frame: binned per site, packed.
std::vector<uint8_t> BinnedLines(int width, int height, int tag, int factor) {
    const int outW = width / factor, outH = height / factor;
    const auto binned = frame_test::BinReference(frame_test::RawSamples(tag, width, height), width, height, factor);
    return frame_test::PackReference(binned, outW, outH, static_cast<size_t>(outW) * 5 / 4);
}

class VirtualSensorTest : public ::testing::Test {
protected:
    VirtualSensorTest() : mSensor(mOemCxt, 2) {
        void* handle = &mDriver;
        memcpy(mOemCxt + 112, &handle, sizeof handle);
        const uint32_t pattern = 3;
        memcpy(mOemCxt + 132, &pattern, 4);
        mSensor.SetSensorOps(&FakeDriver::Ioctl);
    }

    std::string Folder(int width, int height, int tag) {
        frame_test::FolderSpec layout;
        layout.tag = tag;
        layout.width = width;
        layout.height = height;
        layout.yuvWidth = 8;
        layout.yuvHeight = 2;
        layout.omit = {DF_RAW};
        const std::string folder = mDir / ("f" + std::to_string(mFolders++));
        frame_test::WriteFolder(folder, layout);
        return folder;
    }
    ZEBFramePtr MakeFrame(int width, int height, int tag) {
        return std::make_shared<ZEBFrame>(Folder(width, height, tag));
    }

    zeb_test::TempDir mDir;
    int mFolders = 0;
    uint8_t mOemCxt[256] = {};
    FakeDriver mDriver;
    VirtualSensorControl mSensor;
};

TEST_F(VirtualSensorTest, EveryCommandIsASixteenByteRecordThroughTheIoctl) {
    int grab = 0;
    mDriver.result = 7;
    mDriver.binningFactor = 4;
    EXPECT_EQ(mSensor.SetGrabOps(&grab), 7);
    EXPECT_EQ(mSensor.PauseVirtualSensor(true), 7);
    EXPECT_EQ(mSensor.PauseVirtualSensor(false), 7);
    mSensor.SetFpsInfo(15);
    EXPECT_EQ(mSensor.SetSensorMode(VIRTUAL_SENSOR_MODE_CAPTURE), 7);
    EXPECT_EQ(mSensor.RunOneFrame(), 7);
    EXPECT_EQ(mSensor.GetBinningFactor(), 4);

    const struct {
        uint8_t code;
        int32_t value;  // the parameter's first 32 bits
    } expected[] = {{0x28, 1}, {0x28, 0}, {0x2a, 15}, {0x24, 1}, {0x26, 1}, {0x1f, 0}};
    ASSERT_EQ(mDriver.commands.size(), 7u);
    for (const auto& command : mDriver.commands) {
        for (int b = 1; b < 8; ++b) EXPECT_EQ(command.record[b], 0);
    }
    for (size_t i = 0; i < 6; ++i) {
        const auto& command = mDriver.commands[i + 1];
        EXPECT_EQ(command.record[0], expected[i].code);
        EXPECT_EQ(command.param.size() < 4 ? command.param[0] : At<int32_t>(command.param, 0), expected[i].value);
    }
    EXPECT_EQ(mDriver.commands[0].record[0], 0x27);
    EXPECT_EQ(At<void*>(mDriver.commands[0].param, 0), static_cast<void*>(mOemCxt));
    EXPECT_EQ(At<void*>(mDriver.commands[0].param, 8), static_cast<void*>(&grab));
    for (int b = 0; b < 32; ++b) EXPECT_EQ(mDriver.commands[6].param[b], 0) << "zeroed binning record";
}

TEST_F(VirtualSensorTest, AFrameRecordDescribesTheRealignedImage) {
    auto frame = MakeFrame(4000, 8, 5);
    zeb_platform::LogCapture capture;
    mDriver.result = 9;
    EXPECT_EQ(mSensor.SetFrame(frame), 9);
    ASSERT_EQ(mDriver.commands.size(), 1u);
    const auto& command = mDriver.commands[0];
    EXPECT_EQ(command.record[0], 0x25);
    EXPECT_EQ(At<void*>(command.record, 8), &frame->mRawProcInfo);
    const auto& info = command.param;
    EXPECT_EQ(At<uint32_t>(info, 0), 3u);
    EXPECT_EQ(At<uint32_t>(info, 4), 4000u);
    EXPECT_EQ(At<uint32_t>(info, 8), 8u);
    EXPECT_EQ(memcmp(&info[52], "GREY", 4), 0);
    EXPECT_EQ(At<uint32_t>(info, 56), 3u);
    EXPECT_EQ(At<int32_t>(info, 68), BufferFd(frame->mMipiRawBuf));
    for (size_t b = 0; b < info.size(); ++b) {
        const bool written = b < 12 || (b >= 52 && b < 60) || (b >= 68 && b < 72);
        ASSERT_TRUE(written || info[b] == 0) << "byte " << b;
    }
    EXPECT_EQ(command.lines, PackedLines(4000, 8, 5));
    EXPECT_TRUE(capture.Contains("AlignWidth is 5008 vs 5000 with base 16, Height 8", "VirtualSensorCtrl", 4));

    mSensor.SetFrame(frame);
    EXPECT_EQ(capture.Count("AlignWidth is"), 1u) << "a frame is realigned once per file set";
    EXPECT_EQ(mDriver.commands[1].lines, PackedLines(4000, 8, 5));
}

TEST_F(VirtualSensorTest, TheDriverFindsTheLinesOfFreshAndRecycledFrames) {
    const struct {
        int width, height;            // of the folder sent
        int firstWidth, firstHeight;  // of the folder the frame was built for; 0: this one
        const char* log;
    } cases[] = {
        {4160, 4, 0, 0, "AlignWidth is 5200 vs 5200 with base 16, Height 4"},  // already on the stride
        {4000, 4, 4000, 4, "AlignWidth is 5008 vs 5000"},  // recycled: realigned again
        {400, 500, 64, 8, "AlignWidth is 512 vs 500"},     // recycled onto a larger image
        {64, 8, 400, 30, "AlignWidth is 80 vs 80"},        // recycled onto a smaller one
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        zeb_platform::LogCapture capture;
        ZEBFramePtr frame =
            c.firstWidth ? MakeFrame(c.firstWidth, c.firstHeight, 1) : MakeFrame(c.width, c.height, 6);
        if (c.firstWidth) {
            mSensor.SetFrame(frame);
            frame->RecycleOneFrame(Folder(c.width, c.height, 6));
            EXPECT_FALSE(frame->mRawAligned);
        }
        mSensor.SetFrame(frame);
        EXPECT_TRUE(capture.Contains(c.log));
        EXPECT_EQ(At<uint32_t>(mDriver.commands.back().param, 4), static_cast<uint32_t>(c.width));
        EXPECT_EQ(mDriver.commands.back().lines, PackedLines(c.width, c.height, 6));
    }

    // The skip variant leaves the lines as stored.
    auto frame = MakeFrame(4000, 4, 1);
    mSensor.SetFrame(frame, true);
    EXPECT_FALSE(frame->mRawAligned);
    EXPECT_EQ(memcmp(BufferAddress(frame->mMipiRawBuf), PackedLines(4000, 4, 1).data(), 5000 * 4), 0);
    // Sent normally afterwards, they are realigned.
    mSensor.SetFrame(frame);
    EXPECT_EQ(mDriver.commands.back().lines, PackedLines(4000, 4, 1));
}

TEST_F(VirtualSensorTest, ABinnedFrameIsBinnedPerSiteAtItsOwnStride) {
    auto frame = MakeFrame(4000, 3000, 4);
    zeb_platform::LogCapture capture;
    mSensor.SetFrame(frame, int32_t{2});
    EXPECT_TRUE(capture.Contains("width 2512,sensor_width 5008", "VirtualSensorCtrl", 4));
    ASSERT_EQ(mDriver.commands.size(), 1u);
    const auto& info = mDriver.commands[0].param;
    EXPECT_EQ(At<uint32_t>(info, 4), 2000u);
    EXPECT_EQ(At<uint32_t>(info, 8), 1500u);
    EXPECT_EQ(At<int32_t>(info, 68), BufferFd(frame->mBinningRawBuf));
    EXPECT_EQ(mDriver.commands[0].lines, BinnedLines(4000, 3000, 4, 2));

    // A realigned frame is unpacked from its stride.
    auto aligned = MakeFrame(80, 8, 3);  // 100-byte lines, 112-byte stride
    mSensor.SetFrame(aligned);
    ASSERT_TRUE(aligned->mRawAligned);
    mSensor.SetFrame(aligned, int32_t{2});
    EXPECT_EQ(mDriver.commands.back().lines, BinnedLines(80, 8, 3, 2));
}

TEST_F(VirtualSensorTest, RepeatedBinnedSendsReuseTheBinnedRecord) {
    auto frame = MakeFrame(64, 8, 1);
    auto& manager = *ZEBMemoryPool<BufferInfo>::Manager();
    mSensor.SetFrame(frame, int32_t{4});  // the smaller image first: factor 2 then needs a larger buffer
    const size_t live = manager.liveBufferCount();
    for (int i = 0; i < 40; ++i) mSensor.SetFrame(frame, int32_t{i % 2 ? 4 : 2});
    EXPECT_EQ(frame->mBufferCount, 12u) << "33 records would not last 40 sends";
    EXPECT_EQ(manager.liveBufferCount(), live);
    EXPECT_EQ(mDriver.commands[39].lines, BinnedLines(64, 8, 1, 2));
    EXPECT_EQ(mDriver.commands[40].lines, BinnedLines(64, 8, 1, 4));

    // A handle held elsewhere keeps its buffer: the frame then takes a new record.
    BufferHandle held = frame->mBinningRawBuf;
    mSensor.SetFrame(frame, int32_t{1});
    EXPECT_EQ(frame->mBufferCount, 13u);
    EXPECT_EQ(mDriver.commands.back().lines, PackedLines(64, 8, 1));
}

TEST_F(VirtualSensorTest, WhatCannotBeSentIsNotSent) {
    zeb_platform::LogCapture capture(1);
    auto frame = MakeFrame(40, 12, 1);
    // 3: 13 wide; 4: 10 wide, not whole groups, and 3 lines; 8: 1 line; 40: 1 wide
    for (int32_t factor : {0, -2, 3, 4, 8, 40}) mSensor.SetFrame(frame, factor);
    EXPECT_EQ(capture.Count("frame not sent", "VirtualSensorCtrl", 1), 6u);
    EXPECT_EQ(frame->mBufferCount, 11u);
    // A size the buffer was never obtained for: the driver would map 15 MB of
    // a buffer of a few kilobytes.
    frame->mRawWidth = 4000;
    frame->mRawHeight = 3000;
    EXPECT_EQ(mSensor.SetFrame(frame), -1);
    EXPECT_EQ(mSensor.SetFrame(frame, true), -1);
    EXPECT_EQ(capture.Count("frame not sent", "VirtualSensorCtrl", 1), 8u);
    mSensor.SetFrame(std::make_shared<ZEBFrame>(mDir / "nothing-here"), int32_t{2});
    EXPECT_EQ(mSensor.SetFrame(nullptr), -1);
    EXPECT_TRUE(mDriver.commands.empty());

    VirtualSensorControl bare(nullptr, 0);
    EXPECT_EQ(bare.RunOneFrame(), -1);
    EXPECT_TRUE(capture.Contains("No sensor ioctl installed", "VirtualSensorCtrl", 1));
    EXPECT_EQ(bare.GetSensorPattern(), 0u);
}

}  // namespace
