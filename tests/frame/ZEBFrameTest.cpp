// A recorded frame folder read into a frame: file matching, sizes from names,
// every row's bytes in its destination, vendor buffers obtained and returned.
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

const uint8_t* RowBytes(const ZEBFrame& frame, int row) {
    return static_cast<const uint8_t*>(frame.mDataFiles[row].mem);
}

void ExpectRowHolds(const ZEBFrame& frame, int row, int tag, size_t bytes) {
    const auto expected = frame_test::DumpBytes(tag, row, bytes);
    ASSERT_NE(RowBytes(frame, row), nullptr) << "row " << row;
    EXPECT_EQ(memcmp(RowBytes(frame, row), expected.data(), bytes), 0) << "row " << row;
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

    EXPECT_EQ(frame.mRawWidth, 400);
    EXPECT_EQ(frame.mRawHeight, 30);
    EXPECT_EQ(frame.mYuvWidth, 200);
    EXPECT_EQ(frame.mYuvHeight, 10);
    EXPECT_EQ(frame.mBufferCount, 11u);
    EXPECT_STREQ(frame.mFilePath, (dir / "f").c_str());
    for (int row = 0; row < kDataFormatCount; ++row) {
        SCOPED_TRACE(row);
        EXPECT_TRUE(frame.mDataFiles[row].valid);
        EXPECT_EQ(frame.mDataFiles[row].format, row);
        if (row == DF_MIPI_RAW) continue;
        ExpectRowHolds(frame, row, layout.tag, frame_test::RowFileSize(layout, row));
    }
    // Fixed areas are the frame's own members; images and variable dumps are buffers.
    EXPECT_EQ(RowBytes(frame, DF_AE_RESULT_INFO), frame.mAeResultInfo);
    EXPECT_EQ(RowBytes(frame, DF_XTM_RESULT_INFO), frame.mXtmResultInfo);
    EXPECT_EQ(RowBytes(frame, DF_YUV_NV21), BufferAddress(frame.mYuvBuf));
    EXPECT_EQ(RowBytes(frame, DF_PDAF), BufferAddress(frame.mPdafBuf));
    EXPECT_EQ(frame.mDataFiles[DF_AFM].size, layout.variableSize);
    // The packed raw is read as stored, lines back to back.
    const auto packed = frame_test::PackReference(frame_test::RawSamples(3, 400, 30), 400, 30, 500);
    EXPECT_EQ(memcmp(BufferAddress(frame.mMipiRawBuf), packed.data(), packed.size()), 0);
    EXPECT_FALSE(frame.mRawAligned);
}

TEST(ZEBFrameTest, RawRowCapacityIsTheAlignedPackedSize) {
    EXPECT_EQ(ZEBFrame::PackedLineBytes(4000), 5000);
    EXPECT_EQ(ZEBFrame::AlignedStride(4000), 5008);
    EXPECT_EQ(ZEBFrame::AlignedStride(4160), 5200);
    zeb_test::TempDir dir;
    for (int width : {4000, 4160}) {
        const std::string folder = dir / std::to_string(width);
        std::filesystem::create_directories(folder);
        zeb_test::WriteFile(folder + "/IMG_" + std::to_string(width) + "x3000_A.mipi_raw", "x");
        zeb_test::WriteFile(folder + "/IMG_" + std::to_string(width) + "x3000_A.cap.yuv_nv21", "y");
        ZEBFrame frame(folder);
        EXPECT_EQ(frame.mRawWidth, width);
        EXPECT_EQ(frame.mYuvHeight, 3000);
        EXPECT_EQ(frame.mDataFiles[DF_MIPI_RAW].size, static_cast<uint32_t>(ZEBFrame::AlignedStride(width) * 3000));
        EXPECT_EQ(frame.mMipiRawBuf->buffer->handle->width, static_cast<uint64_t>(width * 5 / 4));
    }
}

TEST(ZEBFrameTest, SizesAreParsedFromFileNamesByTheFieldRules) {
    zeb_test::TempDir dir;
    struct Case {
        const char* name;
        int width, height;
    } cases[] = {
        {"IMG_4000x3000_A.mipi_raw", 4000, 3000},
        // No 'x' within the first 8 characters: the width is cut there and the
        // height field starts one character after the width field.
        {"IMG_000000064x20_A.mipi_raw", 6, 64},
        {"IMG_4x00000012345.mipi_raw", 4, 12},  // height ends after 8 characters
        {"IMG_640x480.mipi_raw", 640, 480},             // height field runs to the end of the name
        {"IMG_4002x8_B_C.mipi_raw", 4002, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = dir / c.name + std::string("_dir");
        std::filesystem::create_directories(folder);
        zeb_test::WriteFile(folder + "/" + c.name, "");
        ZEBFrame frame(folder);
        EXPECT_EQ(frame.mRawWidth, c.width);
        EXPECT_EQ(frame.mRawHeight, c.height);
    }
    // Without a prefix the first '_' is the one of the suffix: no size.
    const std::string folder = dir / "plain";
    std::filesystem::create_directories(folder);
    zeb_test::WriteFile(folder + "/4000x3000.mipi_raw", "");
    zeb_platform::LogCapture capture;
    ZEBFrame frame(folder);
    EXPECT_EQ(frame.mRawWidth, 0);
    EXPECT_TRUE(capture.Contains("Temp str is raw", "ZEBFrame", 4));
    EXPECT_TRUE(capture.Contains("Raw Image Size is [0, 0]", "ZEBFrame"));
}

TEST(ZEBFrameTest, FiveCharacterRuleKeepsThePatternsApart) {
    zeb_test::TempDir dir;
    const std::string folder = dir / "m";
    std::filesystem::create_directories(folder);
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
    EXPECT_STREQ(path, "");
    frame.MatchFile("LSC_RESULT_INFO.bin", path);
    EXPECT_STREQ(path, "");
    zeb_test::WriteFile(folder + "/x_HIST2_ZZZZ.bin", "");
    frame.MatchFile("HIST2_INFO.bin", path);
    EXPECT_EQ(std::string(path), folder + "/x_HIST2_ZZZZ.bin");
}

TEST(ZEBFrameTest, AbsentFilesAreMarkedInvalidAndTheirBuffersStayEmpty) {
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
        EXPECT_EQ(frame.mDataFiles[DF_PDAF].mem, nullptr);
        EXPECT_TRUE(capture.Contains("Not valid File i 9 mem (nil), subFix pdaf.bin size 0"));
        EXPECT_TRUE(frame.mDataFiles[DF_AEM_INFO].valid);
        capture.Clear();
    }
    // The empty record of pdaf.bin is the one that has nothing to give back.
    EXPECT_EQ(capture.Count("Not valid instance or Bufbuffer", nullptr, 1), 1u);
}

TEST(ZEBFrameTest, AMissingFolderGivesAFrameWithNothingRead) {
    zeb_test::TempDir dir;
    zeb_platform::LogCapture capture;
    ZEBFrame frame(dir / "absent");
    EXPECT_TRUE(capture.Contains("Could not OpenDIR with Path " + (dir / "absent"), "ZEBFrame", 1));
    EXPECT_EQ(frame.mRawWidth, 0);
    EXPECT_EQ(frame.mBufferCount, 11u);
    for (const DataFileEntry& row : frame.mDataFiles) EXPECT_FALSE(row.valid);
}

TEST(ZEBFrameTest, OverlongFilesAreCutToTheirDestination) {
    zeb_test::TempDir dir;
    FolderSpec layout;
    layout.tag = 1;
    layout.sizes[DF_CCM_INFO] = 100;             // an 18-byte area
    layout.sizes[DF_MIPI_RAW] = 64 * 5 / 4 * 8 * 4;  // four times the image
    frame_test::WriteFolder(dir / "f", layout);
    zeb_platform::LogCapture capture(1);
    ZEBFrame frame(dir / "f");
    EXPECT_EQ(capture.Count("more than the 18 of its destination", "ZEBFrame", 1), 1u);
    EXPECT_TRUE(capture.Contains("more than the 640 of its destination", "ZEBFrame", 1));
    ExpectRowHolds(frame, DF_CCM_INFO, 1, 18);
    // The member after the CCM area holds its own file, untouched by the cut bytes.
    ExpectRowHolds(frame, DF_FD_ISP_INFO, 1, 4368);
    EXPECT_TRUE(frame.mDataFiles[DF_CCM_INFO].valid);
}

TEST(ZEBFrameTest, RecyclingRebindsWithoutBuffersAndCutsLargerFiles) {
    zeb_test::TempDir dir;
    FolderSpec first;
    first.tag = 1;
    first.variableSize = 100;
    frame_test::WriteFolder(dir / "a", first);
    FolderSpec second = first;
    second.tag = 2;
    second.width = 128;  // a larger raw than the buffers were obtained for
    second.height = 16;
    second.variableSize = 300;
    second.omit = {DF_AEM_FOR_AWB};
    frame_test::WriteFolder(dir / "b", second);

    ZEBFrame frame(dir / "a");
    frame.mRawAligned = true;
    const uint8_t* raw = BufferAddress(frame.mMipiRawBuf);
    const size_t liveBefore = Manager().liveBufferCount();
    const size_t totalBefore = Manager().totalBufferCount();
    zeb_platform::LogCapture capture(1);
    frame.RecycleOneFrame(dir / "b");

    EXPECT_EQ(Manager().totalBufferCount(), totalBefore) << "recycling obtains no buffer";
    EXPECT_EQ(Manager().liveBufferCount(), liveBefore);
    EXPECT_EQ(BufferAddress(frame.mMipiRawBuf), raw);
    EXPECT_EQ(frame.mBufferCount, 11u);
    EXPECT_FALSE(frame.mRawAligned);
    EXPECT_EQ(frame.mRawWidth, 128);
    EXPECT_EQ(frame.mDataFiles[DF_AFM].size, 100u) << "capacities stay those of the first folder";
    ExpectRowHolds(frame, DF_AFM, 2, 100);
    ExpectRowHolds(frame, DF_AE_RESULT_INFO, 2, 1248);
    EXPECT_FALSE(frame.GetAemForAwbValid());
    EXPECT_TRUE(capture.Contains("more than the 100 of its destination", "ZEBFrame", 1));
    EXPECT_TRUE(capture.Contains("holds 2560 bytes, more than the 640"));
}

TEST(ZEBFrameTest, ShorterFilesDoNotLeaveThePreviousFolderBehind) {
    zeb_test::TempDir dir;
    FolderSpec first;
    first.tag = 1;
    frame_test::WriteFolder(dir / "a", first);
    FolderSpec second = first;
    second.tag = 2;
    second.sizes[DF_AE_RESULT_INFO] = 10;
    frame_test::WriteFolder(dir / "b", second);
    ZEBFrame frame(dir / "a");
    frame.RecycleOneFrame(dir / "b");
    ExpectRowHolds(frame, DF_AE_RESULT_INFO, 2, 10);
    for (size_t i = 10; i < sizeof frame.mAeResultInfo; ++i) ASSERT_EQ(frame.mAeResultInfo[i], 0) << i;
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
    EXPECT_EQ(BufferAddress(kept)[0], frame_test::DumpByte(0, DF_YUV_NV21, 0));
    kept.reset();
    EXPECT_EQ(Manager().liveBufferCount(), before);
}

TEST(ZEBFrameTest, GetFileSizeMeasuresFilesAndRows) {
    zeb_test::TempDir dir;
    frame_test::WriteFolder(dir / "f", FolderSpec{});
    ZEBFrame frame(dir / "f");
    EXPECT_EQ(frame.GetFileSize(DF_LTMHIST_INFO), 16396u);
    EXPECT_EQ(ZEBFrame::GetFileSize(static_cast<FILE*>(nullptr)), 0u);
    zeb_platform::LogCapture capture;
    EXPECT_EQ(ZEBFrame::GetFileSize((dir / "none").c_str()), 0u);
    EXPECT_TRUE(capture.Contains("Not Valid File", "ZEBFrame", 4));
}

TEST(ZEBFrameTest, OverlongFolderPathsAreRefused) {
    zeb_platform::LogCapture capture(1);
    ZEBFrame frame("/" + std::string(300, 'a'));
    EXPECT_STREQ(frame.mFilePath, "");
    EXPECT_TRUE(capture.Contains("is longer than 255 characters", "ZEBFrame", 1));
}

}  // namespace
