// The recording generator: what it writes is what a device records, frames read
// from it carry their own bytes, and the expected bytes can be recomputed.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <pugixml.hpp>

#include "frame/ZEBFrame.h"
#include "support/TestSupport.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"
#include "core/records/Field.h"
#include "core/records/ThreeARecords.h"

using namespace zeb_recgen;

namespace {

Options Small(const zeb_test::TempDir& dir, int tasks, int frames) {
    Options options;
    options.outputFolder = dir / "rec";
    options.width = 64;
    options.height = 12;
    options.yuvWidth = 32;
    options.yuvHeight = 6;
    options.taskCount = tasks;
    options.framesPerTask = frames;
    return options;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    const std::string text = zeb_test::ReadFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(RecordingGenerator, WritesFramesScenesAndATaskListAsADeviceDoes) {
    zeb_test::TempDir dir;
    const GeneratedRecording recording = GenerateRecording(Small(dir, 2, 3));
    ASSERT_TRUE(recording.ok) << recording.error;
    ASSERT_EQ(recording.tasks.size(), 2u);
    ASSERT_EQ(recording.frames.size(), 6u);

    pugi::xml_document list;
    ASSERT_TRUE(list.load_file(recording.taskListPath.c_str()));
    pugi::xml_node input = list.child("input");
    EXPECT_EQ(std::string(input.child_value("mode")), "Preview");
    EXPECT_EQ(std::string(input.child_value("ispconfig")), recording.ispConfigPath);
    int image = 0;
    for (pugi::xml_node node : input.child("TaskList").children("image")) {
        const TaskFiles& task = recording.tasks[image++];
        std::vector<std::string> paths;
        for (pugi::xml_node path : node.children("inputpath")) paths.push_back(path.text().get());
        ASSERT_EQ(paths.size(), 3u);
        for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(paths[i], recording.frames[task.frames[i]].folder);
        EXPECT_NE(std::string(node.child_value("outputpath")).find("ZEB_"), std::string::npos);
        EXPECT_TRUE(std::filesystem::exists(task.scenePath));
        EXPECT_EQ(std::filesystem::path(task.scenePath).parent_path().string(), paths[0]);
    }
    EXPECT_EQ(image, 2);

    const FrameFiles& frame = recording.frames[4];
    EXPECT_EQ(std::filesystem::path(frame.rawPath).filename().string(), "IMG_64x12_4.mipi_raw");
    EXPECT_EQ(std::filesystem::path(frame.yuvPath).filename().string(), "IMG_32x6_4.cap.yuv_nv21");
    EXPECT_EQ(std::filesystem::file_size(frame.rawPath), 64u * 5 / 4 * 12) << "lines back to back";
    EXPECT_EQ(std::filesystem::file_size(frame.yuvPath), 32u * 6 * 3 / 2);
    EXPECT_EQ(frame.dumpPaths.size(), 30u);
    for (const auto& dump : frame.dumpPaths) {
        EXPECT_EQ(std::filesystem::file_size(dump.second), DumpSize(recording.options, dump.first)) << dump.second;
    }

    pugi::xml_document scene;
    ASSERT_TRUE(scene.load_file(recording.tasks[1].scenePath.c_str()));
    EXPECT_EQ(std::string(scene.child("root").child("commonInfo").child_value("width")), "64");
    EXPECT_EQ(std::string(scene.child("root").child("commonInfo").child_value("prv_scenario_id")), "1a");
    EXPECT_EQ(std::string(scene.child("root").child("ThreeAInfo").child_value("awb_ct")), "5100");
}

TEST(RecordingGenerator, TasksDescribedOneByOneGetTheirFoldersScenesAndOutputPaths) {
    zeb_test::TempDir dir;
    Options options = Small(dir, 0, 1);
    options.mode = "Capture";
    options.taskListPath = dir / "device/config/RawListFile.xml";
    TaskOptions hdr;
    hdr.frames = 2;
    hdr.scene.isHdrScene = 1;
    hdr.scene.postprocType = 0x1000;
    hdr.scene.normalNum = 1;
    hdr.scene.totalNum = 3;
    hdr.scene.hdrEvs = {-2, 0.5f, 2};
    hdr.scene.faceCount = 2;
    hdr.scene.facesPrev = {0, 10, 20, 30, 40, 1, 50, 60, 70, 80};
    hdr.scene.topAppId = 7;
    hdr.outputPath = dir / "out/ZEB_hdr";
    hdr.width = 16;  // a size of its own
    hdr.height = 4;
    TaskOptions missing;
    missing.missing = true;
    TaskOptions empty;
    empty.frames = 0;
    options.tasks = {hdr, missing, empty, TaskOptions()};
    const GeneratedRecording recording = GenerateRecording(options);
    ASSERT_TRUE(recording.ok) << recording.error;
    EXPECT_EQ(recording.taskListPath, options.taskListPath);
    ASSERT_EQ(recording.tasks.size(), 4u);
    ASSERT_EQ(recording.frames.size(), 4u) << "a missing folder still takes a serial";
    EXPECT_EQ(recording.tasks[0].outputPath, hdr.outputPath);
    EXPECT_TRUE(std::filesystem::is_directory(hdr.outputPath));

    const FrameFiles& absent = recording.frames[recording.tasks[1].frames.at(0)];
    EXPECT_FALSE(absent.written);
    EXPECT_FALSE(std::filesystem::exists(absent.folder));
    EXPECT_TRUE(recording.tasks[1].scenePath.empty());
    EXPECT_TRUE(recording.tasks[2].frames.empty());
    EXPECT_TRUE(std::filesystem::exists(recording.frames[recording.tasks[3].frames.at(0)].rawPath));
    EXPECT_EQ(recording.frames[3].serial, 3);
    const FrameFiles& small = recording.frames[1];
    EXPECT_EQ(std::filesystem::path(small.rawPath).filename().string(), "IMG_16x4_1.mipi_raw");
    EXPECT_EQ(FileBytes(small.rawPath), RenderPackedRaw(options, 1));
    EXPECT_EQ(FileBytes(small.rawPath).size(), 20u * 4);
    EXPECT_EQ(FileBytes(small.yuvPath).size(), 16u * 4 * 3 / 2);
    EXPECT_EQ(std::filesystem::file_size(recording.frames[3].rawPath), 80u * 12) << "the recording's size";

    pugi::xml_document list;
    ASSERT_TRUE(list.load_file(recording.taskListPath.c_str()));
    pugi::xml_node input = list.child("input");
    EXPECT_EQ(std::string(input.child_value("mode")), "Capture");
    std::vector<pugi::xml_node> images;
    for (pugi::xml_node image : input.child("TaskList").children("image")) images.push_back(image);
    ASSERT_EQ(images.size(), 4u);
    EXPECT_EQ(std::string(images[0].child_value("outputpath")), hdr.outputPath);
    EXPECT_EQ(std::string(images[1].child_value("inputpath")), absent.folder) << "named although not written";
    EXPECT_FALSE(images[2].child("inputpath"));

    pugi::xml_document scene;
    ASSERT_TRUE(scene.load_file(recording.tasks[0].scenePath.c_str()));
    pugi::xml_node root = scene.child("root");
    EXPECT_EQ(std::string(root.child("postprocInfo").child_value("is_hdr_scene")), "1");
    EXPECT_EQ(std::string(root.child("capInfo").child_value("postproc_type")), "4096");
    EXPECT_EQ(std::string(root.child("capInfo").child_value("normal_num")), "1");
    EXPECT_EQ(std::string(root.child("capInfo").child_value("total_num")), "3");
    EXPECT_EQ(std::string(root.child("hdrDetectOut").child_value("ev")), "-2 0.5 2 0 0 0 0 0 0 0");
    EXPECT_EQ(std::string(root.child("FDInfo").child_value("face_rectangle_coordinate_prev")),
              "0 10 20 30 40 1 50 60 70 80");
    EXPECT_EQ(std::string(root.child("commonInfo").child_value("top_app_id")), "7");
    EXPECT_EQ(std::string(root.child("commonInfo").child_value("width")), "16");
    pugi::xml_document plain;
    ASSERT_TRUE(plain.load_file(recording.tasks[3].scenePath.c_str()));
    EXPECT_EQ(std::string(plain.child("root").child("capInfo").child_value("normal_num")), "1")
        << "the normal count follows the total unless given";
    EXPECT_EQ(std::string(plain.child("root").child("FDInfo").child_value("face_rectangle_coordinate_cap")),
              "0 21 4 32 6") << "one face in the middle by default";
}

TEST(RecordingGenerator, AFrameReadFromAGeneratedFolderHoldsItsOwnBytesInEveryRow) {
    zeb_test::TempDir dir;
    Options options = Small(dir, 1, 2);
    options.writeUnpackedRaw = true;
    const GeneratedRecording recording = GenerateRecording(options);
    ASSERT_TRUE(recording.ok) << recording.error;
    for (const FrameFiles& files : recording.frames) {
        SCOPED_TRACE(files.folder);
        ZEB::ZEBFrame frame(files.folder);
        EXPECT_EQ(frame.mRawWidth, 64);
        EXPECT_EQ(frame.mYuvWidth, 32);
        for (int row = ZEB::DF_AFM; row < ZEB::kDataFormatCount; ++row) {
            const ZEB::DataFileEntry& entry = frame.mDataFiles[row];
            ASSERT_TRUE(entry.valid) << row;
            if (!IsThreeAResultRow(row)) {
                const DumpTag tag = DecodeDumpTag(static_cast<const uint8_t*>(entry.mem), entry.size);
                EXPECT_TRUE(tag.valid);
                EXPECT_EQ(tag.row, row) << "the file of another row matched";
                EXPECT_EQ(tag.serial, files.serial);
            }
            const auto expected = DumpContent(recording.options, files.serial, row);
            EXPECT_EQ(memcmp(entry.mem, expected.data(), expected.size()), 0) << row;
        }
        const auto raw = RenderPackedRaw(recording.options, files.serial);
        EXPECT_EQ(memcmp(ZEB::BufferAddress(frame.mMipiRawBuf), raw.data(), raw.size()), 0);
        EXPECT_EQ(DecodeRawTag(ZEB::BufferAddress(frame.mMipiRawBuf)), files.serial);
        const auto nv21 = RenderNv21(recording.options, files.serial);
        EXPECT_EQ(memcmp(ZEB::BufferAddress(frame.mYuvBuf), nv21.data(), nv21.size()), 0);
        const auto samples = RenderBayer(recording.options, files.serial);
        EXPECT_EQ(memcmp(ZEB::BufferAddress(frame.mRawBuf), samples.data(), samples.size() * 2), 0);
    }
}

TEST(RecordingGenerator, TheMosaicFollowsThePatternAndTheSceneMoves) {
    zeb_test::TempDir dir;
    Options options = Small(dir, 1, 1);
    options.width = 400;
    options.height = 300;
    // Inside the first chart patch, away from its border: light (460, 330, 270)
    // as the sensor sees it: black level 64, divided by the recorded white
    // balance gains (1.84 red, 1.50 blue) and the lens falling off by 9-10 %.
    const int x = 400 / 4 + 20, y = 300 / 4 + 21;  // an even row and column: a cell's first site
    auto site = [&](const std::vector<uint16_t>& samples, int dx, int dy) {
        return static_cast<int>(samples[static_cast<size_t>(y + dy) * 400 + x + dx]);
    };
    options.pattern = BayerPattern::RGGB;
    const auto rggb = RenderBayer(options, 0);
    EXPECT_NEAR(site(rggb, 0, 0), 278, 4);
    EXPECT_NEAR(site(rggb, 1, 0), 349, 4);
    EXPECT_NEAR(site(rggb, 1, 1), 216, 4);
    options.pattern = BayerPattern::BGGR;
    const auto bggr = RenderBayer(options, 0);
    EXPECT_NEAR(site(bggr, 0, 0), 216, 4);
    EXPECT_NEAR(site(bggr, 1, 1), 278, 4);
    options.pattern = BayerPattern::GRBG;
    EXPECT_NEAR(site(RenderBayer(options, 0), 1, 0), 278, 4);

    options.pattern = BayerPattern::RGGB;
    const auto next = RenderBayer(options, 1);
    size_t changed = 0;
    for (size_t i = 4; i < rggb.size(); ++i) changed += rggb[i] != next[i];
    EXPECT_GT(changed, 1000u) << "the bright element moves between frames";
    for (uint16_t sample : next) ASSERT_LT(sample, 1024);
}

TEST(RecordingGenerator, DumpsCanBeShapedAndControlWordsStayZero) {
    zeb_test::TempDir dir;
    Options options = Small(dir, 1, 1);
    options.variableSizes[ZEB::DF_PDAF] = 77;
    options.customizeDump = [](int, int row, std::vector<uint8_t>& bytes) {
        if (row == ZEB::DF_AE_RESULT_INFO) bytes[100] = 0xAB;
    };
    EXPECT_EQ(DumpSize(options, ZEB::DF_PDAF), 77u);
    EXPECT_EQ(DumpContent(options, 0, ZEB::DF_AE_RESULT_INFO)[100], 0xAB);
    const auto sceneDetect = DumpContent(options, 3, ZEB::DF_SCENE_DETECT_OUT);
    for (size_t i = 4896; i < 4900; ++i) EXPECT_EQ(sceneDetect[i], 0);
    const auto iscene = DumpContent(options, 3, ZEB::DF_ISCENE_INFO);
    for (size_t i = 216; i < 220; ++i) EXPECT_EQ(iscene[i], 0);
    EXPECT_FALSE(DecodeDumpTag(iscene.data(), 8).valid);

    const GeneratedRecording recording = GenerateRecording(options);
    ASSERT_TRUE(recording.ok);
    EXPECT_EQ(FileBytes(recording.frames[0].dumpPaths.at(ZEB::DF_PDAF)).size(), 77u);

    Options bad;
    EXPECT_FALSE(GenerateRecording(bad).ok);
}

TEST(RecordingGenerator, ThreeAResultsReadLikeADevicesAndTheBlockListCanFixThem) {
    zeb_test::TempDir dir;
    Options options = Small(dir, 0, 1);
    options.blocks = Fixed3ABlocks();
    TaskOptions hdr;
    hdr.frames = 3;
    hdr.scene.hdrEvs = {-2, 0, 2};
    hdr.lscFormat = LscFormat::Alsc3;
    TaskOptions plain;
    plain.lscFormat = LscFormat::None;
    options.tasks = {hdr, plain, TaskOptions()};
    const GeneratedRecording recording = GenerateRecording(options);
    ASSERT_TRUE(recording.ok) << recording.error;
    using ZEB::ReadField;
    uint32_t lum = 0;
    for (int serial = 0; serial < 3; ++serial) {
        const auto ae = DumpContent(recording.options, serial, ZEB::DF_AE_RESULT_INFO);
        EXPECT_EQ(ReadField<float>(ae.data(), ZEB::AeResult::kEv), hdr.scene.hdrEvs[serial]);
        EXPECT_GT(ReadField<uint32_t>(ae.data(), ZEB::AeResult::kLum), lum) << "brighter with each EV step";
        lum = ReadField<uint32_t>(ae.data(), ZEB::AeResult::kLum);
        const int32_t iso = ReadField<int32_t>(ae.data(), ZEB::AeResult::kIso);
        EXPECT_TRUE(iso >= 50 && iso <= 6400) << iso;
        EXPECT_EQ(ReadField<int32_t>(ae.data(), ZEB::AeResult::kNextFrameId),
                  ReadField<int32_t>(ae.data(), ZEB::AeResult::kFrameId) + 1);
    }
    const auto awb = DumpContent(recording.options, 0, ZEB::DF_AWB_CALC_INFO);
    EXPECT_EQ(ReadField<uint32_t>(awb.data(), ZEB::AwbCalc::kGainG), 1024u);
    for (int row = 0; row < 3; ++row) {
        int sum = 0;
        for (int c = 0; c < 3; ++c) sum += ReadField<int16_t>(awb.data(), ZEB::AwbCalc::kCcm + 2 * (3 * row + c));
        EXPECT_EQ(sum, 1024) << "a ccm row keeps grey grey";
    }
    // Serials 0 (ALSC 3), 3 (no shading result) and 4 (ALSC 4).
    const std::pair<int, std::pair<bool, bool>> formats[] = {{0, {true, true}}, {3, {false, false}}, {4, {false, true}}};
    for (const auto& format : formats) {
        const auto lsc = DumpContent(recording.options, format.first, ZEB::DF_LSC_RESULT_INFO);
        const auto lsc4 = DumpContent(recording.options, format.first, ZEB::DF_LSC4_RESULT_INFO);
        EXPECT_EQ(ReadField<uint64_t>(lsc.data(), ZEB::LscResult::kValid) != 0, format.second.first) << format.first;
        EXPECT_EQ(ReadField<uint64_t>(lsc4.data(), ZEB::Lsc4Result::kValid) != 0, format.second.second) << format.first;
    }
    const auto xtm = DumpContent(recording.options, 1, ZEB::DF_XTM_RESULT_INFO);
    for (size_t i = 1; i < ZEB::XtmResult::kGammaPoints; ++i) {
        ASSERT_GE(ReadField<uint16_t>(xtm.data(), ZEB::XtmResult::kGamma + 2 * i),
                  ReadField<uint16_t>(xtm.data(), ZEB::XtmResult::kGamma + 2 * i - 2))
            << i;
    }
    EXPECT_EQ(ReadField<uint16_t>(xtm.data(), ZEB::XtmResult::kGamma), 0);

    pugi::xml_document blocks;
    ASSERT_TRUE(blocks.load_file(recording.ispConfigPath.c_str()));
    std::vector<std::string> names;
    for (pugi::xml_node block : blocks.child("ispblocks").children("block")) {
        names.push_back(block.child_value("name"));
        EXPECT_EQ(std::string(block.child_value("state")), "3");
        EXPECT_EQ(std::string(block.child_value("tuning")), "null");
    }
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "AWB");
    EXPECT_EQ(names[1], "ALSC");
    EXPECT_NE(names[2].find("XTM"), std::string::npos);
}

}  // namespace
