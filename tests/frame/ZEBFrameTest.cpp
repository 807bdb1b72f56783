// A recorded frame folder read into a frame: file matching, sizes from names,
// every row's bytes in its destination, vendor buffers obtained, grown on
// recycling when the next folder needs more, and returned.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "FrameFixture.h"
#include "support/TestSupport.h"
#include "frame/ZEBFrame.h"
#include "platform/BufferManager.h"
#include "platform/Log.h"

using namespace ZEB;
using frame_test::FolderSpec;

namespace {

pvk::BufferManager& Manager() { return *ZEBMemoryPool<BufferInfo>::Manager(); }

// A frame's packed lines at the 16-byte aligned stride, fill bytes zero.
std::vector<uint8_t> AtStride(int width, int height, int tag) {
    return frame_test::PackReference(frame_test::RawSamples(tag, width, height), width, height,
                                     static_cast<size_t>(ZEBFrame::AlignedStride(width)));
}

// Every row but the packed raw holds the bytes of the folder tagged `tag`.
void ExpectRowsOf(const ZEBFrame& frame, const FolderSpec& layout) {
    for (int row = DF_RAW; row < kDataFormatCount; ++row) {
        if (layout.omit.count(row)) continue;
        const size_t bytes = frame_test::RowFileSize(layout, row);
        ASSERT_NE(frame.mDataFiles[row].mem, nullptr) << "row " << row;
        ASSERT_GE(frame.mDataFiles[row].size, bytes) << "row " << row;
        EXPECT_EQ(memcmp(frame.mDataFiles[row].mem, frame_test::DumpBytes(layout.tag, row, bytes).data(), bytes), 0)
            << "row " << row;
    }
}

TEST(ZEBFrameTest, EveryRowOfAFolderArrivesInItsDestination) {
    zeb_test::TempDir dir;
    FolderSpec layout;
    layout.tag = 3;
    layout.width = 400;
    layout.height = 30;
    layout.yuvWidth = 200;
    layout.yuvHeight = 10;
    frame_test::WriteFolder(dir / "f", layout);
    ZEBFrame frame(dir / "f");

    EXPECT_EQ(frame.mYuvWidth, 200);
    EXPECT_EQ(frame.mYuvHeight, 10);
    EXPECT_EQ(frame.mBufferCount, 11u);
    EXPECT_STREQ(frame.mFilePath, (dir / "f").c_str());
    ExpectRowsOf(frame, layout);
    for (int row = 0; row < kDataFormatCount; ++row) {
        EXPECT_TRUE(frame.mDataFiles[row].valid) << row;
        EXPECT_EQ(frame.mDataFiles[row].format, row);
    }
    // Fixed areas are the frame's own members; images and variable dumps are buffers.
    EXPECT_EQ(frame.mDataFiles[DF_AE_RESULT_INFO].mem, frame.mAeResultInfo);
    EXPECT_EQ(frame.mDataFiles[DF_XTM_RESULT_INFO].mem, frame.mXtmResultInfo);
    EXPECT_EQ(frame.mDataFiles[DF_YUV_NV21].mem, BufferAddress(frame.mYuvBuf));
    EXPECT_EQ(frame.mDataFiles[DF_PDAF].mem, BufferAddress(frame.mPdafBuf));
    EXPECT_EQ(frame.mDataFiles[DF_AFM].size, 256u);
    // The packed raw is read to the driver's stride; the sensor still logs its realignment.
    EXPECT_EQ(memcmp(BufferAddress(frame.mMipiRawBuf), AtStride(400, 30, 3).data(), 512 * 30), 0);
    EXPECT_FALSE(frame.mRawAligned);
}

// What the driver must find once the raw file of `layout` is read and its
// lines are moved 16-byte aligned: line r of the file (zeros where the file
// ends) at r x stride, the fill bytes zero.
std::vector<uint8_t> ReadThenRealigned(const FolderSpec& layout) {
    auto file = frame_test::PackedLines(layout.width, layout.height, layout.tag);
    file.resize(frame_test::RowFileSize(layout, DF_MIPI_RAW), 0x5A);
    const size_t line = static_cast<size_t>(layout.width) * 5 / 4, stride = (line + 15) / 16 * 16;
    std::vector<uint8_t> lines(stride * layout.height, 0);
    for (size_t r = 0; r < static_cast<size_t>(layout.height); ++r) {
        for (size_t b = 0; b < line && r * line + b < file.size(); ++b) lines[r * stride + b] = file[r * line + b];
    }
    return lines;
}

TEST(ZEBFrameTest, ThePackedRawIsReadStraightToTheDriversStride) {
    zeb_test::TempDir dir;
    const struct {
        int width, height;
        long fileDelta;  // bytes the raw file has more (or fewer) than its lines
        bool atStride;   // read to the stride: its lines are not on it as stored
    } cases[] = {
        {4160, 4, 0, false},  // 5200-byte lines: on the stride as stored
        {4000, 6, 0, true},   {40, 8, 0, true},  {44, 8, 0, true},  // 50- and 55-byte lines
        {4000, 3, -7, true},  {44, 8, -240, true},  // short: the missing lines are zero
        {40, 8, 100, true},   // longer: the lines are the first bytes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.fileDelta);
        FolderSpec layout;
        layout.tag = 4;
        layout.width = c.width;
        layout.height = c.height;
        layout.sizes[DF_MIPI_RAW] = frame_test::RowFileSize(layout, DF_MIPI_RAW) + c.fileDelta;
        const std::string folder = dir / (std::to_string(c.width) + "x" + std::to_string(c.height) + "_" +
                                          std::to_string(c.fileDelta));
        frame_test::WriteFolder(folder, layout);
        for (bool recycled : {false, true}) {
            FolderSpec before;
            before.width = c.width;
            before.height = c.height;
            frame_test::WriteFolder(folder + "_before", before);
            ZEBFrame frame(recycled ? folder + "_before" : folder);
            if (recycled) frame.RecycleOneFrame(folder);
            const auto expected = ReadThenRealigned(layout);
            ASSERT_GE(BufferBytes(frame.mMipiRawBuf), expected.size());
            EXPECT_EQ(std::vector<uint8_t>(BufferAddress(frame.mMipiRawBuf),
                                           BufferAddress(frame.mMipiRawBuf) + expected.size()),
                      expected);
            EXPECT_EQ(frame.mRawAtStride, c.atStride);
            EXPECT_FALSE(frame.mRawAligned);
        }
    }
}

TEST(ZEBFrameTest, SizesAndTheRawCapacityComeFromTheFileName) {
    zeb_test::TempDir dir;
    const struct {
        const char* name;
        int width, height;
        uint32_t capacity;      // 10-bit line rounded up to 16 bytes, times the lines; 0: not looked at
        uint64_t bufferWidth;   // width x 1.25, truncated
    } cases[] = {
        {"IMG_4000x3000_A.mipi_raw", 4000, 3000, 5008 * 3000, 5000},
        {"IMG_4160x3000_A.mipi_raw", 4160, 3000, 5200 * 3000, 5200},
        {"IMG_4002x8_B_C.mipi_raw", 4002, 8, 5008 * 8, 5002},
        {"IMG_640x480.mipi_raw", 640, 480, 800 * 480, 800},  // height field runs to the end of the name
        // No 'x' within the first 8 characters: the width is cut there and the
        // height field starts one character after the width field.
        {"IMG_000000064x20_A.mipi_raw", 6, 64, 0, 7},
        {"IMG_4x00000012345.mipi_raw", 4, 12, 0, 5},  // height ends after 8 characters
        {"4000x3000.mipi_raw", 0, 0, 0, 0},  // the first '_' is the suffix's: no size
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = dir / (std::string(c.name) + "_dir");
        zeb_test::WriteFile(folder + "/" + c.name, "");
        ZEBFrame frame(folder);
        EXPECT_EQ(frame.mRawWidth, c.width);
        EXPECT_EQ(frame.mRawHeight, c.height);
        if (c.capacity) {
            EXPECT_EQ(frame.mDataFiles[DF_MIPI_RAW].size, c.capacity);
        }
        if (c.bufferWidth) {
            EXPECT_EQ(frame.mMipiRawBuf->buffer->handle->width, c.bufferWidth);
        }
    }
}

TEST(ZEBFrameTest, NamesAskingForTooLargeAnImageRefuseTheFolder) {
    zeb_test::TempDir dir;
    const struct {
        const char* raw;
        const char* yuv;
        bool read;
    } cases[] = {
        {"IMG_32000x32000_0.mipi_raw", "IMG_64x8_0.cap.yuv_nv21", false},
        {"IMG_16385x1_0.mipi_raw", "IMG_64x8_0.cap.yuv_nv21", false},
        {"IMG_16384x12289_0.mipi_raw", "IMG_64x8_0.cap.yuv_nv21", false},  // 16384 x 12288 pixels at most
        {"IMG_64x8_0.mipi_raw", "IMG_12289x16384_0.cap.yuv_nv21", false},
        {"IMG_16384x1_0.mipi_raw", "IMG_1x16384_0.cap.yuv_nv21", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw + std::string(" ") + c.yuv);
        const std::string folder = dir / (std::string(c.raw) + c.yuv);
        zeb_test::WriteFile(folder + "/" + c.raw, "");
        zeb_test::WriteFile(folder + "/" + c.yuv, "");
        zeb_test::WriteFile(folder + "/IMG_0_AE_RESULT_INFO.bin", "x");
        zeb_platform::LogCapture capture(1);
        ZEBFrame frame(folder);
        EXPECT_EQ(frame.mDataFiles[DF_AE_RESULT_INFO].valid, c.read);
        EXPECT_EQ(BufferBytes(frame.mMipiRawBuf) > 0, c.read);
        EXPECT_EQ(BufferBytes(frame.mYuvBuf) > 0, c.read);
        EXPECT_EQ(capture.Contains(folder + " names a raw of", "ZEBFrame", 1), !c.read);
        if (c.read) continue;
        EXPECT_EQ(frame.mRawWidth | frame.mRawHeight | frame.mYuvWidth | frame.mYuvHeight, 0);

        // A frame rebound to such a folder keeps its buffers and reads nothing.
        FolderSpec small;
        frame_test::WriteFolder(dir / "small", small);
        ZEBFrame recycled(dir / "small");
        const size_t bytes = BufferBytes(recycled.mMipiRawBuf);
        recycled.RecycleOneFrame(folder);
        EXPECT_EQ(recycled.mRawWidth, 0);
        EXPECT_EQ(BufferBytes(recycled.mMipiRawBuf), bytes);
        EXPECT_FALSE(recycled.mDataFiles[DF_AE_RESULT_INFO].valid);
    }
}

TEST(ZEBFrameTest, FiveCharacterRuleKeepsThePatternsApart) {
    zeb_test::TempDir dir;
    const std::string folder = dir / "m";
    zeb_test::WriteFile(folder + "/a.mipi_raw", "");
    ZEBFrame frame(folder);
    char path[kFramePathMax] = "";
    frame.MatchFile(".raw", path);
    EXPECT_STREQ(path, "") << "a.mipi_raw must not match .raw";
    zeb_test::WriteFile(folder + "/a.raw", "");
    frame.MatchFile(".raw", path);
    EXPECT_EQ(std::string(path), folder + "/a.raw");

    // Longer patterns compare only their first five characters.
    zeb_test::WriteFile(folder + "/x_HIST2_DATA_INFO.bin", "");
    zeb_test::WriteFile(folder + "/x_LSC4_RESULT_INFO.bin", "");
    path[0] = '\0';
    frame.MatchFile("HIST2_INFO.bin", path);
    frame.MatchFile("LSC_RESULT_INFO.bin", path);
    EXPECT_STREQ(path, "");
    zeb_test::WriteFile(folder + "/x_HIST2_ZZZZ.bin", "");
    frame.MatchFile("HIST2_INFO.bin", path);
    EXPECT_EQ(std::string(path), folder + "/x_HIST2_ZZZZ.bin");
}

TEST(ZEBFrameTest, AbsentFilesAndFoldersAreReadAsNothing) {
    zeb_test::TempDir dir;
    FolderSpec layout;
    layout.omit = {DF_AEM_FOR_AWB, DF_PDAF};
    frame_test::WriteFolder(dir / "f", layout);
    zeb_platform::LogCapture capture;
    {
        ZEBFrame frame(dir / "f");
        EXPECT_FALSE(frame.GetAemForAwbValid());
        EXPECT_TRUE(capture.Contains("AemForAwb is 5, valid 0", "ZEBFrame", 4));
        EXPECT_TRUE(capture.Contains("Not valid file with 5"));
        EXPECT_EQ(frame.mPdafBuf->buffer, nullptr);
        EXPECT_TRUE(capture.Contains("Not valid File i 9 mem (nil), subFix pdaf.bin size 0"));
        EXPECT_TRUE(frame.mDataFiles[DF_AEM_INFO].valid);
        capture.Clear();
    }
    // The empty record of pdaf.bin is the one that has nothing to give back.
    EXPECT_EQ(capture.Count("Not valid instance or Bufbuffer", nullptr, 1), 1u);

    ZEBFrame missing(dir / "absent");
    EXPECT_TRUE(capture.Contains("Could not OpenDIR with Path " + (dir / "absent"), "ZEBFrame", 1));
    EXPECT_EQ(missing.mRawWidth, 0);
    EXPECT_EQ(missing.mBufferCount, 11u);
    for (const DataFileEntry& row : missing.mDataFiles) EXPECT_FALSE(row.valid);
}

TEST(ZEBFrameTest, OverlongFilesAndPathsAreCut) {
    zeb_test::TempDir dir;
    FolderSpec layout;
    layout.tag = 1;
    layout.sizes[DF_CCM_INFO] = 100;                 // an 18-byte area
    layout.sizes[DF_MIPI_RAW] = 64 * 5 / 4 * 8 * 4;  // four times the image
    frame_test::WriteFolder(dir / "f", layout);
    zeb_platform::LogCapture capture(1);
    ZEBFrame frame(dir / "f");
    EXPECT_EQ(capture.Count("more than the 18 of its destination", "ZEBFrame", 1), 1u);
    EXPECT_TRUE(capture.Contains("more than the 640 of its destination", "ZEBFrame", 1));
    layout.sizes.erase(DF_CCM_INFO);
    ExpectRowsOf(frame, layout);  // CCM's first 18 bytes; the area after it untouched by the rest

    ZEBFrame far("/" + std::string(300, 'a'));
    EXPECT_STREQ(far.mFilePath, "");
    EXPECT_TRUE(capture.Contains("is longer than 255 characters", "ZEBFrame", 1));
}

TEST(ZEBFrameTest, RecyclingReadsTheNextFolderGrowingOnlyTheBuffersThatAreTooSmall) {
    zeb_test::TempDir dir;
    FolderSpec first;
    first.tag = 1;
    first.variableSize = 100;
    frame_test::WriteFolder(dir / "first", first);
    const struct {
        const char* name;
        int width, height;
        size_t variableSize;
        bool grows;
        uint32_t records;  // a held YUV handle keeps its record: a grown YUV takes a new one
    } cases[] = {
        {"same", 64, 8, 100, false, 11},
        {"smaller", 32, 4, 50, false, 11},
        {"larger image", 400, 500, 100, true, 12},
        {"larger dumps", 64, 8, 300, true, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FolderSpec next;
        next.tag = 2;
        next.width = next.yuvWidth = c.width;
        next.height = next.yuvHeight = c.height;
        next.variableSize = c.variableSize;
        next.sizes[DF_AE_RESULT_INFO] = 10;  // shorter than its area
        next.omit = {DF_AEM_FOR_AWB};
        frame_test::WriteFolder(dir / c.name, next);

        ZEBFrame frame(dir / "first");
        frame.mRawAligned = true;
        BufferHandle held = frame.mYuvBuf;
        const size_t live = Manager().liveBufferCount(), total = Manager().totalBufferCount();
        frame.RecycleOneFrame(dir / c.name);

        EXPECT_FALSE(frame.mRawAligned);
        EXPECT_EQ(frame.mRawWidth, c.width);
        EXPECT_FALSE(frame.GetAemForAwbValid());
        ExpectRowsOf(frame, next);
        const auto packed = AtStride(c.width, c.height, 2);
        EXPECT_EQ(memcmp(BufferAddress(frame.mMipiRawBuf), packed.data(), packed.size()), 0);
        for (size_t i = 10; i < sizeof frame.mAeResultInfo; ++i) ASSERT_EQ(frame.mAeResultInfo[i], 0) << i;
        EXPECT_EQ(Manager().totalBufferCount() > total, c.grows) << "buffers are obtained only to grow";
        EXPECT_EQ(Manager().liveBufferCount(), live + (c.records - 11)) << "a grown buffer returns the old one";
        EXPECT_EQ(frame.mBufferCount, c.records);
        if (c.records > 11) {
            EXPECT_EQ(memcmp(BufferAddress(held), frame_test::DumpBytes(1, DF_YUV_NV21, 96).data(), 96), 0)
                << "the held buffer keeps what it held";
        }
    }
}

TEST(ZEBFrameTest, DestructionReturnsEveryBufferEvenToLateHandles) {
    zeb_test::TempDir dir;
    frame_test::WriteFolder(dir / "f", FolderSpec{});
    const size_t before = Manager().liveBufferCount();
    BufferHandle kept;
    {
        auto frame = std::make_shared<ZEBFrame>(dir / "f");
        EXPECT_EQ(Manager().liveBufferCount(), before + 11);
        kept = frame->mYuvBuf;
    }
    // A handle copied out of the frame stays usable after the frame is gone.
    EXPECT_EQ(Manager().liveBufferCount(), before + 1);
    ASSERT_NE(BufferAddress(kept), nullptr);
    EXPECT_EQ(BufferAddress(kept)[0], frame_test::DumpBytes(0, DF_YUV_NV21, 1)[0]);
    kept.reset();
    EXPECT_EQ(Manager().liveBufferCount(), before);
}

}  // namespace
