#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "ConfigFiles.h"
#include "ParameterReader.h"
#include "parameter/TaskInfo.h"
#include "parameter/XmlSchema.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

using zeb_config::Block;
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
    void WriteTaskList(const std::vector<std::vector<Image>>& lists, const std::string& ispconfig = "") {
        zeb_config::Write(mRoot.Device(kTaskListPath), zeb_config::TaskListXml(lists, ispconfig));
    }
    std::string Out(const std::string& name) const { return mRoot / ("out/" + name); }

    zeb_test::DeviceRoot mRoot;
    zeb_config::Reader mReader;
    ZEB::TaskMap mTasks;
};

TEST_F(TaskList, TaskIndexesRunOnAcrossTaskListElements) {
    std::filesystem::create_directories(mRoot / "out");
    WriteTaskList({{{{"/raw/a0"}, Out("ZEB_a0")}, {{"/raw/a1"}, Out("ZEB_a1")}},
                   {{{"/raw/b0", "/raw/b0_2"}, Out("ZEB_b0")}, {{"/raw/b1"}, Out("ZEB_b1")}, {{"/raw/b2"}, Out("ZEB_b2")}}},
                  "/cfg/blocks.xml");

    EXPECT_EQ(mReader.ParseTaskList(&mTasks), "/cfg/blocks.xml");

    ASSERT_EQ(mTasks.size(), 5u);
    int64_t expected = 0;
    for (const auto& task : mTasks) EXPECT_EQ(task.first, expected++);
    const ZEB::TaskInfo& third = *mTasks.at(2);
    EXPECT_EQ(third.TaskInputPath[0], "/raw/b0");
    EXPECT_EQ(third.TaskInputPath[1], "/raw/b0_2");
    for (int k = 2; k < ZEB::kTaskInputPaths; ++k) EXPECT_TRUE(third.TaskInputPath[k].empty());
    EXPECT_EQ(mTasks.at(4)->TaskInputPath[0], "/raw/b2");
    for (const auto& task : mTasks) {
        EXPECT_EQ(task.second->TaskMode, "Preview");
        EXPECT_TRUE(std::filesystem::is_directory(task.second->TaskOutputPath));
    }
}

TEST_F(TaskList, KeepsTenInputFoldersAndLogsTheFrameIdOfTheFirst) {
    std::vector<std::string> inputs;
    for (int k = 0; k < 12; ++k) inputs.push_back("/data/raw/" + std::to_string(k) + "_cap");
    WriteTaskList({{{inputs, mRoot / "ZEB_x"}, {{}, mRoot / "ZEB_y"}}});
    LogCapture log;

    mReader.ParseTaskList(&mTasks);

    ASSERT_EQ(mTasks.size(), 2u);
    for (int k = 0; k < ZEB::kTaskInputPaths; ++k) EXPECT_EQ(mTasks.at(0)->TaskInputPath[k], inputs[k]);
    EXPECT_TRUE(log.Contains("Parsing input path with size 12"));
    EXPECT_TRUE(log.Contains("Frame id is cap"));
    // An image without input folders: ten empty paths, an empty frame id.
    for (const std::string& path : mTasks.at(1)->TaskInputPath) EXPECT_TRUE(path.empty());
    EXPECT_EQ(log.Count("Frame id is ", "ZEBParameter", 4), 2u);
    bool emptyFrameId = false;
    for (const auto& record : log.Records()) {
        const std::string& text = record.text;
        if (text.size() >= 12 && text.compare(text.size() - 12, 12, "Frame id is ") == 0) emptyFrameId = true;
    }
    EXPECT_TRUE(emptyFrameId);
}

TEST_F(TaskList, OutputFolderGetsTheRunTimeUnlessItIsATesterFolder) {
    const std::string before = Stamp();
    WriteTaskList({{{{"/raw/0"}, mRoot / "ZEB_run1"}, {{"/raw/1"}, mRoot / "run1"}}});
    mReader.ParseTaskList(&mTasks);
    const std::string after = Stamp();

    EXPECT_EQ(mTasks.at(0)->TaskOutputPath, mRoot / "ZEB_run1");
    const std::string stamped = mTasks.at(1)->TaskOutputPath;
    const std::string prefix = mRoot / "run1";
    ASSERT_EQ(stamped.size(), prefix.size() + 14);
    ASSERT_EQ(stamped.compare(0, prefix.size(), prefix), 0);
    const std::string stamp = stamped.substr(prefix.size());
    for (char c : stamp) EXPECT_TRUE(isdigit(static_cast<unsigned char>(c))) << stamp;
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
    EXPECT_TRUE(std::filesystem::is_directory(mRoot / "ZEB_run1"));
    EXPECT_TRUE(std::filesystem::is_directory(stamped));
}

TEST_F(TaskList, AbsentOutputPathIsTheBareStampInTheCurrentFolder) {
    zeb_test::TempDir cwd;
    const std::string previous = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    Image image{{"/raw/0"}, "", false};
    WriteTaskList({{image}});

    mReader.ParseTaskList(&mTasks);

    ASSERT_EQ(chdir(previous.c_str()), 0);
    ASSERT_EQ(mTasks.size(), 1u);
    EXPECT_EQ(mTasks.at(0)->TaskOutputPath.size(), 14u);
    EXPECT_TRUE(std::filesystem::is_directory(cwd / mTasks.at(0)->TaskOutputPath));
}

TEST_F(TaskList, AFolderThatCannotBeMadeIsLoggedAndTheTaskKept) {
    // Only the last component is created: a missing parent is not made up.
    WriteTaskList({{{{"/raw/0"}, mRoot / "missing/parent/ZEB_out"}}});
    LogCapture log;

    mReader.ParseTaskList(&mTasks);

    ASSERT_EQ(mTasks.size(), 1u);
    EXPECT_TRUE(log.Contains("Could not make DIR with path " + (mRoot / "missing/parent/ZEB_out")));
    EXPECT_FALSE(std::filesystem::exists(mRoot / "missing"));
}

TEST_F(TaskList, AnExistingFolderIsReused) {
    std::filesystem::create_directories(mRoot / "ZEB_done");
    WriteTaskList({{{{"/raw/0"}, mRoot / "ZEB_done"}}});
    LogCapture log;
    mReader.ParseTaskList(&mTasks);
    EXPECT_TRUE(log.Contains("Path already exist"));
    EXPECT_FALSE(log.Contains("Could not make DIR"));
}

TEST_F(TaskList, MissingOrBrokenFilesLeaveTheMapAsItWas) {
    mTasks.emplace(7, std::make_shared<ZEB::TaskInfo>());
    {
        LogCapture log;
        EXPECT_EQ(mReader.ParseTaskList(&mTasks), "");
        EXPECT_TRUE(log.Contains("Document not parsed successfully! with file path " + mRoot.Device(kTaskListPath)));
    }
    zeb_config::Write(mRoot.Device(kTaskListPath), "<input><TaskList><image>");
    EXPECT_EQ(mReader.ParseTaskList(&mTasks), "");
    {
        zeb_config::Write(mRoot.Device(kTaskListPath), "<list><TaskList/></list>");
        LogCapture log;
        EXPECT_EQ(mReader.ParseTaskList(&mTasks), "");
        EXPECT_TRUE(log.Contains("Could not find rootnode"));
    }
    ASSERT_EQ(mTasks.size(), 1u);
    EXPECT_EQ(mTasks.begin()->first, 7);
    mReader.ParseTaskList(nullptr);  // no map to fill: nothing to crash on
}

TEST_F(TaskList, ATaskIndexAlreadyPresentKeepsItsFirstTask) {
    // The second image's input path is long enough to live on the heap.
    const std::string second = "/data/raw/" + std::string(40, 'b') + "_cap";
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(("<input><mode>UltraRes</mode><TaskList><image><inputpath>/a</inputpath><outputpath>" +
                                 Out("ZEB_a") + "</outputpath></image><image><inputpath>" + second +
                                 "</inputpath><outputpath>" + Out("ZEB_b") + "</outputpath></image></TaskList></input>")
                                    .c_str()));
    std::filesystem::create_directories(mRoot / "out");
    pugi::xml_node list = doc.child("input").child("TaskList");
    LogCapture log;
    mReader.FullfillImageInfo(list.first_child(), &mTasks, 3);
    mReader.FullfillImageInfo(list.last_child(), &mTasks, 3);
    ASSERT_EQ(mTasks.size(), 1u);
    EXPECT_EQ(mTasks.at(3)->TaskInputPath[0], "/a");
    // The mode is the document's own, read without any file.
    EXPECT_EQ(mTasks.at(3)->TaskMode, "UltraRes");
    // The dropped task's paths are still named whole.
    EXPECT_TRUE(log.Contains("Now IN/OUT path is " + second + " <-> " + Out("ZEB_b") + ", with frmId 3"));
    mReader.FullfillImageInfo(pugi::xml_node(), &mTasks, 4);
    EXPECT_EQ(mTasks.size(), 1u);
}

TEST_F(TaskList, AnOutputPathTheDumpRootCannotHoldIsRefused) {
    // The dump root property holds 91 characters; a tuning entry's folder adds
    // "/" and a 14-digit stamp, and a folder without ZEB_ gets the run's stamp.
    const std::string base = mRoot / "out/";
    std::filesystem::create_directories(base);
    auto named = [&](size_t length, const std::string& tag) { return base + tag + std::string(length - base.size() - tag.size(), 'x'); };
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

class BlockList : public ::testing::Test {
protected:
    std::vector<ZEB::IspInfo> Parse(const std::string& xml) {
        zeb_config::Write(mDir / "blocks.xml", xml);
        std::vector<ZEB::IspInfo> blocks;
        mReader.ParseIspConfigList((mDir / "blocks.xml").c_str(), &blocks, &ZEB::IspConfiginfo);
        return blocks;
    }

    zeb_test::TempDir mDir;
    zeb_config::Reader mReader;
};

TEST_F(BlockList, FillsEveryFieldAtItsOffset) {
    auto blocks = Parse(zeb_config::BlockListXml({{"BNR_long_name", 1, "/t/bnr.xml", "1f"}, {"CNR", 3, "null", "2"}}));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(ZEB::IspText(blocks[0].name), "BNR_long_name");
    EXPECT_EQ(blocks[0].id, 0x1Fu);
    EXPECT_EQ(blocks[0].state, 1u);
    EXPECT_EQ(ZEB::IspText(blocks[0].dump), "off");
    EXPECT_EQ(ZEB::IspText(blocks[0].tuning), "/t/bnr.xml");
    // A shorter name than the block before holds only its own characters.
    EXPECT_EQ(ZEB::IspText(blocks[1].name), "CNR");
    for (size_t i = 3; i < ZEB::kIspTextSize; ++i) ASSERT_EQ(blocks[1].name[i], 0) << i;
    EXPECT_EQ(ZEB::IspText(blocks[1].tuning), "null");
}

TEST_F(BlockList, IdSkipsNullChildrenAndBadTextsGiveZero) {
    auto blocks = Parse(
        "<ispblocks><block><name>A</name><id>null</id><id>1f</id><state>2</state><dump>d</dump>"
        "<tuning>null</tuning></block><block><name>B</name><id>zz</id><state>x</state><dump/><tuning/></block>"
        "</ispblocks>");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].id, 0x1Fu);
    EXPECT_EQ(blocks[0].state, 2u);
    EXPECT_EQ(blocks[1].id, 0u);
    EXPECT_EQ(blocks[1].state, 0u);
    EXPECT_EQ(ZEB::IspText(blocks[1].tuning), "");
}

TEST_F(BlockList, AMissingTextFieldEndsTheRecord) {
    LogCapture log;
    auto blocks = Parse("<ispblocks><block><id>5</id><state>1</state><dump>x</dump><tuning>/t.xml</tuning></block>"
                        "<block><name>N</name><id>6</id><state>1</state><tuning>/u.xml</tuning></block></ispblocks>");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(log.Count("Not valid temp_char"), 2u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&blocks[0]);
    for (size_t i = 0; i < offsetof(ZEB::IspInfo, tuning) + ZEB::kIspTextSize; ++i) ASSERT_EQ(bytes[i], 0) << i;
    // Without a dump the tuning path after it is not read either.
    EXPECT_EQ(blocks[1].id, 6u);
    EXPECT_EQ(ZEB::IspText(blocks[1].tuning), "");
}

TEST_F(BlockList, AnOverlongTextIsCutWithoutATerminatorAndReadBounded) {
    const std::string name(300, 'X');
    auto blocks = Parse(zeb_config::BlockListXml({{name + "XTM", 1, "null", "1"}}));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].name[ZEB::kIspTextSize - 1], 'X');
    EXPECT_EQ(ZEB::IspText(blocks[0].name), std::string(ZEB::kIspTextSize, 'X'));
    EXPECT_EQ(blocks[0].id, 1u);
}

TEST_F(BlockList, AbsentOrForeignFilesAppendNothing) {
    std::vector<ZEB::IspInfo> blocks(1);
    LogCapture log;
    mReader.ParseIspConfigList((mDir / "none.xml").c_str(), &blocks, &ZEB::IspConfiginfo);
    mReader.ParseIspConfigList("", &blocks, &ZEB::IspConfiginfo);
    mReader.ParseIspConfigList(nullptr, &blocks, &ZEB::IspConfiginfo);
    EXPECT_EQ(log.Count("Document not parsed successfully!"), 3u);
    EXPECT_TRUE(Parse("<blocks><block><name>A</name></block></blocks>").empty());
    EXPECT_EQ(blocks.size(), 1u);
}

}  // namespace
