#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "ConfigFiles.h"
#include "parameter/ConfigReader.h"
#include "parameter/TaskInfo.h"
#include "parameter/XmlSchema.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

using zeb_config::Image;
using zeb_platform::LogCapture;

namespace {

const char* const kTaskListPath = "/data/vendor/cameraserver/zeb/config/RawListFile.xml";

std::string Stamp() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char text[32];
    strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local);
    return text;
}

class TaskList : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(mRoot / "out"); }
    void WriteTaskList(const std::vector<std::vector<Image>>& lists, const std::string& ispconfig = "") {
        zeb_config::Write(mRoot.Device(kTaskListPath), zeb_config::TaskListXml(lists, ispconfig));
    }
    std::string Out(const std::string& name) const { return mRoot / ("out/" + name); }

    zeb_test::DeviceRoot mRoot;
    ZEB::ConfigReader mReader;
    ZEB::TaskMap mTasks;
};

TEST_F(TaskList, TaskIndexesRunOnAcrossTaskListElementsWithTenInputsEach) {
    std::vector<std::string> twelve;
    for (int k = 0; k < 12; ++k) twelve.push_back("/data/raw/" + std::to_string(k) + "_cap");
    WriteTaskList({{{twelve, Out("ZEB_a0")}, {{}, Out("ZEB_a1")}},
                   {{{"/raw/b0", "/raw/b0_2"}, Out("ZEB_b0")}, {{"/raw/b1"}, Out("ZEB_b1")}, {{"/raw/b2"}, Out("ZEB_b2")}}},
                  "/cfg/blocks.xml");
    LogCapture log;
    EXPECT_EQ(mReader.ParseTaskList(&mTasks), "/cfg/blocks.xml");

    ASSERT_EQ(mTasks.size(), 5u);
    int64_t expected = 0;
    for (const auto& task : mTasks) {
        EXPECT_EQ(task.first, expected++);
        EXPECT_EQ(task.second->TaskMode, "Preview");
    }
    // Device paths lie under the device root, other paths stay as written.
    for (int k = 0; k < ZEB::kTaskInputPaths; ++k) {
        EXPECT_EQ(mTasks.at(0)->TaskInputPath[k], mRoot.path() + twelve[k]);
    }
    EXPECT_TRUE(log.Contains("Parsing input path with size 12"));
    EXPECT_TRUE(log.Contains("Frame id is cap"));
    // An image without input folders: ten empty paths, an empty frame id.
    for (const std::string& path : mTasks.at(1)->TaskInputPath) EXPECT_TRUE(path.empty());
    bool emptyFrameId = false;
    for (const auto& record : log.Records()) {
        const std::string& text = record.text;
        emptyFrameId |= text.size() >= 12 && text.compare(text.size() - 12, 12, "Frame id is ") == 0;
    }
    EXPECT_TRUE(emptyFrameId);
    EXPECT_EQ(mTasks.at(2)->TaskInputPath[1], "/raw/b0_2");
    EXPECT_TRUE(mTasks.at(2)->TaskInputPath[2].empty());
    EXPECT_EQ(mTasks.at(4)->TaskInputPath[0], "/raw/b2");
}

TEST_F(TaskList, OutputFoldersGetTheRunTimeUnlessTheyAreTesterFolders) {
    std::filesystem::create_directories(Out("ZEB_done"));
    zeb_test::TempDir cwd;
    const std::string previous = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    Image bare{{"/raw/3"}, "", false};
    WriteTaskList({{{{"/raw/0"}, Out("ZEB_done")}, {{"/raw/1"}, Out("run1")}, {{"/raw/2"}, Out("missing/ZEB_x")}, bare}});
    const std::string before = Stamp();
    LogCapture log;
    mReader.ParseTaskList(&mTasks);
    const std::string after = Stamp();
    ASSERT_EQ(chdir(previous.c_str()), 0);

    ASSERT_EQ(mTasks.size(), 4u);
    EXPECT_EQ(mTasks.at(0)->TaskOutputPath, Out("ZEB_done"));
    EXPECT_TRUE(log.Contains("Path already exist"));
    const std::string stamped = mTasks.at(1)->TaskOutputPath;
    ASSERT_EQ(stamped.size(), Out("run1").size() + 14);
    const std::string stamp = stamped.substr(Out("run1").size());
    for (char c : stamp) EXPECT_TRUE(isdigit(static_cast<unsigned char>(c))) << stamp;
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
    EXPECT_TRUE(std::filesystem::is_directory(stamped));
    // Only the last component is made: a missing parent is logged, the task kept.
    EXPECT_TRUE(log.Contains("Could not make DIR with path " + Out("missing/ZEB_x")));
    EXPECT_FALSE(std::filesystem::exists(Out("missing")));
    // Without an output path the folder is the bare stamp, in the current folder.
    EXPECT_EQ(mTasks.at(3)->TaskOutputPath.size(), 14u);
    EXPECT_TRUE(std::filesystem::is_directory(cwd / mTasks.at(3)->TaskOutputPath));
}

TEST_F(TaskList, AnOutputPathTheDumpRootCannotHoldIsRefused) {
    // The dump root property holds 91 characters; a tuning entry's folder adds
    // "/" and a 14-digit stamp, and a folder without ZEB_ gets the run's stamp.
    const std::string base = Out("");
    auto named = [&](size_t length, const std::string& tag) {
        return base + tag + std::string(length - base.size() - tag.size(), 'x');
    };
    const std::string fits = named(76, "ZEB_"), tooLong = named(77, "ZEB_"), stampedFits = named(62, "run"),
                      stampedTooLong = named(63, "run");
    WriteTaskList({{{{"/raw/0"}, fits}, {{"/raw/1"}, tooLong}, {{"/raw/2"}, stampedFits}, {{"/raw/3"}, stampedTooLong}}});
    LogCapture log;
    mReader.ParseTaskList(&mTasks);
    ASSERT_EQ(mTasks.size(), 2u);
    EXPECT_EQ(mTasks.at(0)->TaskOutputPath, fits);
    EXPECT_EQ(mTasks.at(2)->TaskOutputPath.size(), 76u);
    EXPECT_TRUE(log.Contains("Output path " + tooLong + " has 77 characters, it may have at most 76", "ZEBParameter", 1));
    EXPECT_TRUE(log.Contains("Output path " + stampedTooLong, "ZEBParameter", 1));
    EXPECT_FALSE(std::filesystem::exists(tooLong));
}

TEST_F(TaskList, ATaskIndexAlreadyPresentKeepsItsFirstTask) {
    // The second image's input path is long enough to live on the heap.
    const std::string second = "/data/raw/" + std::string(40, 'b') + "_cap";
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(("<input><mode>UltraRes</mode><TaskList><image><inputpath>/a</inputpath><outputpath>" +
                                 Out("ZEB_a") + "</outputpath></image><image><inputpath>" + second +
                                 "</inputpath><outputpath>" + Out("ZEB_b") + "</outputpath></image></TaskList></input>")
                                    .c_str()));
    pugi::xml_node list = doc.child("input").child("TaskList");
    LogCapture log;
    mReader.FullfillImageInfo(list.first_child(), &mTasks, 3);
    mReader.FullfillImageInfo(list.last_child(), &mTasks, 3);
    ASSERT_EQ(mTasks.size(), 1u);
    EXPECT_EQ(mTasks.at(3)->TaskInputPath[0], "/a");
    // The mode is the document's own, read without any file.
    EXPECT_EQ(mTasks.at(3)->TaskMode, "UltraRes");
    // The dropped task's paths are still named whole.
    EXPECT_TRUE(log.Contains("Now IN/OUT path is " + mRoot.path() + second + " <-> " + Out("ZEB_b") + ", with frmId 3"));
    mReader.FullfillImageInfo(pugi::xml_node(), &mTasks, 4);
    EXPECT_EQ(mTasks.size(), 1u);
}

TEST_F(TaskList, MissingOrBrokenFilesLeaveTheMapAsItWas) {
    mTasks.emplace(7, std::make_shared<ZEB::TaskInfo>());
    LogCapture log;
    EXPECT_EQ(mReader.ParseTaskList(&mTasks), "");
    EXPECT_TRUE(log.Contains("Document not parsed successfully! with file path " + mRoot.Device(kTaskListPath)));
    zeb_config::Write(mRoot.Device(kTaskListPath), "<input><TaskList><image>");
    EXPECT_EQ(mReader.ParseTaskList(&mTasks), "");
    zeb_config::Write(mRoot.Device(kTaskListPath), "<list><TaskList/></list>");
    EXPECT_EQ(mReader.ParseTaskList(&mTasks), "");
    EXPECT_TRUE(log.Contains("Could not find rootnode"));
    ASSERT_EQ(mTasks.size(), 1u);
    EXPECT_EQ(mTasks.begin()->first, 7);
    mReader.ParseTaskList(nullptr);  // no map to fill: nothing to crash on
}

// Task ids are image positions, and id 65535 is the HAL's snapshot command:
// a list of 65,535 images plays, one more and none of it does.
TEST_F(TaskList, MoreThan65535ImagesAreRefused) {
    const int level = zeb_platform::LogLevel();
    zeb_platform::SetLogLevel(1);  // six lines an image otherwise
    for (const size_t images : {65535u, 65536u}) {
        SCOPED_TRACE(std::to_string(images) + " images");
        // Two lists: the limit counts the images of all.
        WriteTaskList({std::vector<Image>(images - 1, Image{{"/raw/0"}, Out("ZEB_all")}), {Image{{"/raw/1"}, Out("ZEB_all")}}},
                      "/blocks.xml");
        mTasks.clear();
        LogCapture log(1);
        const std::string ispconfig = mReader.ParseTaskList(&mTasks);
        ZEB::TaskListReading reading;
        mReader.ReadTaskList(mRoot.Device(kTaskListPath), nullptr, &reading);
        const std::string refusal = "names 65536 images, more than the 65535 a run can play: no task is read";
        if (images == 65535) {
            ASSERT_EQ(mTasks.size(), 65535u);
            EXPECT_EQ(mTasks.rbegin()->first, 65534);
            EXPECT_EQ(ispconfig, "/blocks.xml");
            EXPECT_EQ(reading.images.size(), 65535u);
            EXPECT_EQ(log.Count("", "ZEBParameter", 1), 0u);
        } else {
            EXPECT_TRUE(mTasks.empty());
            EXPECT_EQ(ispconfig, "");
            EXPECT_EQ(log.Count(refusal, "ZEBParameter", 1), 2u);
            ASSERT_EQ(reading.report.Problems().size(), 1u);
            EXPECT_EQ(reading.report.Problems()[0].code, "too-many-tasks");
            EXPECT_EQ(reading.report.Problems()[0].what, refusal);
        }
    }
    zeb_platform::SetLogLevel(level);
}

class BlockList : public ::testing::Test {
protected:
    std::vector<ZEB::IspInfo> Parse(const std::string& xml) {
        zeb_config::Write(mDir / "blocks.xml", xml);
        std::vector<ZEB::IspInfo> blocks;
        mReader.ParseIspConfigList((mDir / "blocks.xml").c_str(), &blocks, &ZEB::IspConfiginfo);
        return blocks;
    }

    zeb_test::TempDir mDir;
    ZEB::ConfigReader mReader;
};

TEST_F(BlockList, FillsEveryFieldAndCutsOverlongTexts) {
    auto blocks = Parse(zeb_config::BlockListXml({{"BNR_long_name", 1, "/t/bnr.xml", "1f"},
                                                  {"CNR", 3, "null", "zz"},
                                                  {std::string(300, 'X') + "XTM", 0, "null", "1"}}));
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(ZEB::IspText(blocks[0].name), "BNR_long_name");
    EXPECT_EQ(blocks[0].id, 0x1Fu);
    EXPECT_EQ(blocks[0].state, 1u);
    EXPECT_EQ(ZEB::IspText(blocks[0].dump), "off");
    EXPECT_EQ(ZEB::IspText(blocks[0].tuning), "/t/bnr.xml");
    // A shorter name than the block before holds only its own characters; a
    // bad id gives 0.
    EXPECT_EQ(ZEB::IspText(blocks[1].name), "CNR");
    for (size_t i = 3; i < ZEB::kIspTextSize; ++i) ASSERT_EQ(blocks[1].name[i], 0) << i;
    EXPECT_EQ(blocks[1].id, 0u);
    // 256 characters without a terminator, read back bounded.
    EXPECT_EQ(ZEB::IspText(blocks[2].name), std::string(ZEB::kIspTextSize, 'X'));
    EXPECT_EQ(blocks[2].id, 1u);

    blocks = Parse("<ispblocks><block><name>A</name><id>null</id><id>1f</id><state>x</state><dump/><tuning/></block>"
                   "</ispblocks>");
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].id, 0x1Fu) << "a null id is skipped for the next";
    EXPECT_EQ(blocks[0].state, 0u);
}

TEST_F(BlockList, AMissingTextEndsTheRecordAndBadFilesAppendNothing) {
    LogCapture log;
    auto blocks = Parse("<ispblocks><block><id>5</id><state>1</state><dump>x</dump><tuning>/t.xml</tuning></block>"
                        "<block><name>N</name><id>6</id><state>1</state><tuning>/u.xml</tuning></block></ispblocks>");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(log.Count("Not valid temp_char"), 2u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&blocks[0]);
    for (size_t i = 0; i < sizeof(ZEB::IspInfo); ++i) ASSERT_EQ(bytes[i], 0) << i;
    EXPECT_EQ(blocks[1].id, 6u);
    EXPECT_EQ(ZEB::IspText(blocks[1].tuning), "") << "without a dump the tuning path after it is not read";

    mReader.ParseIspConfigList((mDir / "none.xml").c_str(), &blocks, &ZEB::IspConfiginfo);
    mReader.ParseIspConfigList(nullptr, &blocks, &ZEB::IspConfiginfo);
    EXPECT_EQ(log.Count("Document not parsed successfully!"), 2u);
    EXPECT_TRUE(Parse("<blocks><block><name>A</name></block></blocks>").empty());
    EXPECT_EQ(blocks.size(), 2u);
}

}  // namespace
