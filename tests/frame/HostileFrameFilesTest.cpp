// What people leave in a frame folder in place of its raw image, YUV image or
// dumps (links out and in, pipes, devices, folders, sparse huge files, files
// that shrink while read, names with a newline): nothing outside the folder
// reaches a record, nothing of the previous folder stays valid, the reader and
// its deletion return, and one level-1 line names what was refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "FrameFixture.h"
#include "frame/ReadControl.h"
#include "frame/ZEBFrame.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

using namespace ZEB;
using frame_test::FolderSpec;
using zeb_test::Planted;

namespace {

const std::string kSecret = "SECRET-OUTSIDE-THE-ROOT-";

struct Kind {
    const char* name;
    int row;
    const char* role;  // as the refusal names it
};
const Kind kKinds[] = {
    {"raw image", DF_MIPI_RAW, "raw image"},
    {"YUV image", DF_YUV_NV21, "YUV image"},
    {"fixed dump", DF_AE_RESULT_INFO, "dump"},
    {"variable dump", DF_PDAF, "dump"},
};

// The paths the open hook saw, last first; the hook runs on the reading thread.
std::mutex gOpenedLock;
std::string gLastOpened;
void RememberOpen(const char* path) {
    std::lock_guard<std::mutex> guard(gOpenedLock);
    gLastOpened = path;
}
std::string LastOpened() {
    std::lock_guard<std::mutex> guard(gOpenedLock);
    return gLastOpened;
}

class HostileFrameFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        mLayout.tag = 1;
        mPrevious.tag = 2;
        frame_test::WriteFolder(mRoot / "previous", mPrevious);
        frame_test::WriteFolder(mRoot / "hostile", mLayout);
        zeb_test::WriteFile(mOutside / "secret", zeb_test::Repeated(kSecret, 300000));
        std::filesystem::create_directories(mOutside / "folder");
        zeb_test::WriteFile(mOutside / "folder/inside", zeb_test::Repeated(kSecret, 10));
        zeb_test::WriteFile(mRoot / "hostile/beside.bin", zeb_test::Repeated(kSecret, 300000));
    }
    void TearDown() override { zeb_platform::SetOpenHook(nullptr); }

    std::string RowPath(int row) const { return mRoot / ("hostile/" + frame_test::RowFileName(mLayout, row)); }

    // Rebinds a frame read from the previous folder to the hostile one, on a
    // thread of its own: a reader that blocks fails the case instead of
    // hanging the run (a pipe's writer is opened to let it out).
    std::unique_ptr<ZEBFrame> Recycled(const files::StopRequested& stop = {}) {
        auto frame = std::make_unique<ZEBFrame>(mRoot / "previous");
        EXPECT_TRUE(zeb_test::ReturnsWithin([&] { frame->RecycleOneFrame(mRoot / "hostile", stop); }, [&] {
            for (const auto& entry : std::filesystem::directory_iterator(mRoot / "hostile")) {
                zeb_test::OpenPipeEnds(entry.path());
            }
        })) << "the reader blocked";
        return frame;
    }

    // Nothing of the secret in any row of the frame.
    static void ExpectNoSecret(const ZEBFrame& frame) {
        for (const DataFileEntry& row : frame.mDataFiles) {
            if (!row.mem || row.size == 0) continue;
            EXPECT_EQ(memmem(row.mem, row.size, kSecret.data(), kSecret.size()), nullptr) << "row " << row.format;
        }
    }

    static bool AllZero(const DataFileEntry& row) {
        const uint8_t* bytes = static_cast<const uint8_t*>(row.mem);
        for (uint32_t i = 0; i < row.size; ++i) {
            if (bytes[i] != 0) return false;
        }
        return true;
    }

    zeb_test::TempDir mRoot, mOutside;
    FolderSpec mLayout, mPrevious;
};

TEST_F(HostileFrameFilesTest, WhatIsPlantedAtAFrameFileIsRefusedAndNeverReadIntoARecord) {
    for (const Kind& kind : kKinds) {
        for (Planted planted : zeb_test::EveryPlanted()) {
            SCOPED_TRACE(std::string(kind.name) + " as " + zeb_test::Name(planted));
            const std::string at = RowPath(kind.row);
            zeb_test::Plant(planted, at, mOutside / (planted == Planted::LinkToFolder ? "folder" : "secret"),
                            mRoot / "hostile/beside.bin");
            struct stat info;
            ASSERT_EQ(lstat(at.c_str(), &info), 0);
            const char* reason = S_ISLNK(info.st_mode)    ? "a link"
                                 : S_ISFIFO(info.st_mode) ? "a named pipe"
                                 : S_ISCHR(info.st_mode)  ? "a device file"
                                 : S_ISDIR(info.st_mode)  ? "a folder"
                                                          : "larger than its cap of ";
            {
                zeb_platform::LogCapture capture(1);
                const auto frame = Recycled();
                const DataFileEntry& row = frame->mDataFiles[kind.row];
                EXPECT_FALSE(row.valid);
                ASSERT_NE(row.mem, nullptr);
                EXPECT_TRUE(AllZero(row)) << "neither the planted file's bytes nor the previous folder's";
                ExpectNoSecret(*frame);
                EXPECT_TRUE(frame->mDataFiles[DF_AEM_INFO].valid) << "the rest of the folder is read";
                EXPECT_EQ(capture.Count(std::string(kind.role) + " " + at + " refused: " + reason, "ZEBFrame", 1), 1u);
                EXPECT_EQ(capture.Records().size(), 1u) << "one level-1 line in all";
            }
            // The folder as it was, for the next case.
            std::filesystem::remove_all(at);
            frame_test::WriteFolder(mRoot / "hostile", mLayout);
        }
    }
}

TEST_F(HostileFrameFilesTest, AFileThatShrinksWhileReadLeavesZerosAndANotValidRow) {
    zeb_platform::SetOpenHook(&RememberOpen);
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        const std::string at = RowPath(kind.row);
        const size_t length = frame_test::RowFileSize(mLayout, kind.row), kept = length / 2;
        // Cut between the size the open saw and the first chunk read.
        bool cut = false;
        const files::StopRequested shrink = [&] {
            if (!cut && LastOpened() == at) cut = truncate(at.c_str(), static_cast<off_t>(kept)) == 0;
            return false;
        };
        zeb_platform::LogCapture capture(1);
        const auto frame = Recycled(shrink);
        ASSERT_TRUE(cut);
        const DataFileEntry& row = frame->mDataFiles[kind.row];
        EXPECT_FALSE(row.valid);
        std::vector<uint8_t> expected(row.size, 0);
        const auto written = frame_test::DumpBytes(mLayout.tag, kind.row, length);
        if (kind.row == DF_MIPI_RAW) {
            const auto packed = frame_test::PackedLines(mLayout.width, mLayout.height, mLayout.tag);
            std::copy(packed.begin(), packed.begin() + kept, expected.begin());
        } else {
            std::copy(written.begin(), written.begin() + kept, expected.begin());
        }
        EXPECT_EQ(memcmp(row.mem, expected.data(), row.size), 0) << "the bytes read, then zeros";
        EXPECT_EQ(capture.Count("read file " + at + " error: " + std::to_string(kept) + " of its " +
                                    std::to_string(length) + " bytes", "ZEBFrame", 1),
                  1u);
        EXPECT_EQ(capture.Records().size(), 1u);
        frame_test::WriteFolder(mRoot / "hostile", mLayout);
    }
}

TEST_F(HostileFrameFilesTest, NamesWithANewlineAreReadAndLoggedEscaped) {
    const std::string folder = mRoot / "odd\nfolder";
    FolderSpec layout;
    layout.tag = 1;
    frame_test::WriteFolder(folder, layout);
    const std::string plain = folder + "/" + frame_test::RowFileName(layout, DF_PDAF);
    const std::string odd = folder + "/IMG_1\nforged line: pdaf.bin";
    std::filesystem::rename(plain, odd);
    zeb_platform::LogCapture capture;
    ZEBFrame frame(folder);
    EXPECT_TRUE(frame.mDataFiles[DF_PDAF].valid);
    EXPECT_TRUE(capture.Contains("odd\\nfolder/IMG_1\\nforged line: pdaf.bin", "ZEBFrame"));
    for (const zeb_platform::LogRecord& record : capture.Records()) {
        EXPECT_EQ(record.text.find('\n'), std::string::npos) << record.text;
    }
}

TEST_F(HostileFrameFilesTest, VariableDumpsPastTheirCapGetNoBuffer) {
    // A sparse file just past the cap, and one whose size wraps to 0 in 32 bits.
    for (const uint64_t size : {files::kMaxDumpBytes + 1, uint64_t{1} << 36}) {
        SCOPED_TRACE(size);
        const std::string at = RowPath(DF_AEM_DATA_INFO);
        std::filesystem::resize_file(at, size);
        zeb_platform::LogCapture capture(1);
        ZEBFrame frame(mRoot / "hostile");
        EXPECT_EQ(frame.mAemDataBuf->buffer, nullptr) << "no buffer of the file's size";
        EXPECT_FALSE(frame.mDataFiles[DF_AEM_DATA_INFO].valid);
        EXPECT_EQ(capture.Count("dump " + at + " refused: larger than its cap of 67108864 bytes", "ZEBFrame", 1), 1u);
        EXPECT_EQ(capture.Records().size(), 1u);
    }
}

// The reader being deleted while it reads a large image: the read ends at the
// next chunk instead of running through the file.
std::atomic<ReadControl*> gReader{nullptr};
std::atomic<bool> gRawOpened{false};
void HoldRawUntilDeletion(const char* path) {
    const std::string name = path;
    if (name.size() < 9 || name.compare(name.size() - 9, 9, ".mipi_raw") != 0) return;
    gRawOpened = true;
    // Deletion has begun once the destructor let go of the idle slots.
    zeb_test::WaitFor([] { return gReader.load() && gReader.load()->IdleFrameCount() == 0; }, std::chrono::seconds(20));
}

TEST_F(HostileFrameFilesTest, DeletionDuringALargeReadCutsItShort) {
    FolderSpec large;
    large.width = large.yuvWidth = 4096;
    large.height = large.yuvHeight = 3072;
    const std::string folder = mRoot / "large";
    std::filesystem::create_directories(folder);
    for (int row : {DF_MIPI_RAW, DF_YUV_NV21, DF_AEM_INFO}) {
        const std::string path = folder + "/" + frame_test::RowFileName(large, row);
        zeb_test::WriteFile(path, "");
        std::filesystem::resize_file(path, frame_test::RowFileSize(large, row));
    }
    ASSERT_GT(frame_test::RowFileSize(large, DF_MIPI_RAW), 2 * files::kReadChunk);
    TaskMap tasks;
    tasks.emplace(0, std::make_shared<TaskInfo>());
    tasks.at(0)->TaskInputPath[0] = folder;

    zeb_platform::LogCapture capture;
    gReader = nullptr;
    gRawOpened = false;
    zeb_platform::SetOpenHook(&HoldRawUntilDeletion);
    auto reader = std::make_unique<ReadControl>(&tasks);
    gReader = reader.get();
    ASSERT_TRUE(zeb_test::WaitFor([] { return gRawOpened.load(); }));
    EXPECT_TRUE(zeb_test::ReturnsWithin([&] { reader.reset(); }, [] {}, std::chrono::seconds(20)));
    const std::string raw = folder + "/" + frame_test::RowFileName(large, DF_MIPI_RAW);
    EXPECT_TRUE(capture.Contains("read of " + raw + " stopped after 0 of", "ZEBFrame", 4));
    EXPECT_TRUE(capture.Contains("Reading " + folder + " stopped at row 1", "ZEBFrame", 4));
    EXPECT_EQ(capture.Count("", "ZEBFrame", 1) + capture.Count("", "ReadControl", 1), 0u) << "a deletion is no failure";
}

}  // namespace
