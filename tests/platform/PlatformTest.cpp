#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/BufferManager.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/Property.h"
#include "support/TestSupport.h"

using zeb_platform::LogCapture;

TEST(Property, DefaultsLengthLimitAndNulls) {
    zeb_test::DeviceRoot root;
    LogCapture log(1);
    char value[PROPERTY_VALUE_MAX];
    EXPECT_EQ(property_get("vendor.none", value, "dflt"), 4);
    EXPECT_STREQ(value, "dflt");
    EXPECT_EQ(property_get("vendor.none", value, nullptr), 0);
    EXPECT_STREQ(value, "");

    const std::string longest(PROPERTY_VALUE_MAX - 1, 'a');
    EXPECT_EQ(property_set("vendor.k", longest.c_str()), 0);
    EXPECT_EQ(property_get("vendor.k", value, ""), PROPERTY_VALUE_MAX - 1);
    EXPECT_EQ(longest, value);

    // One character too many is refused whole, never cut.
    const std::string tooLong(PROPERTY_VALUE_MAX, 'b');
    EXPECT_EQ(property_set("vendor.k", tooLong.c_str()), -1);
    EXPECT_TRUE(log.Contains("refused", "Property", 1));
    property_get("vendor.k", value, "");
    EXPECT_EQ(longest, value);

    EXPECT_EQ(property_set(nullptr, "1"), -1);
    EXPECT_EQ(property_set("", "1"), -1);
    EXPECT_EQ(property_get(nullptr, value, "d"), 1);
    EXPECT_STREQ(value, "d");
    EXPECT_EQ(property_get("vendor.k", nullptr, "d"), -1);
    EXPECT_EQ(property_set("vendor.n", nullptr), 0);
    EXPECT_EQ(property_get("vendor.n", value, "d"), 0);
}

TEST(Property, PersistedValuesCrossProcesses) {
    zeb_test::DeviceRoot root;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int rc = property_set("persist.vendor.cam.zeb.capready", "1");
        rc |= property_set("vendor.cam.volatile", "1");
        _exit(rc == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    char value[PROPERTY_VALUE_MAX];
    property_get("persist.vendor.cam.zeb.capready", value, "0");
    EXPECT_STREQ(value, "1");
    EXPECT_EQ(zeb_test::ReadFile(root.Device("/data/property/persist.vendor.cam.zeb.capready")), "1");
    property_get("vendor.cam.volatile", value, "0");
    EXPECT_STREQ(value, "0") << "only persist. keys outlive their process";

    // A later change by another process is seen, not a stale copy.
    child = fork();
    if (child == 0) _exit(property_set("persist.vendor.cam.zeb.capready", "0") == 0 ? 0 : 1);
    waitpid(child, &status, 0);
    property_get("persist.vendor.cam.zeb.capready", value, "x");
    EXPECT_STREQ(value, "0");
}

using zeb_test::ReturnsWithin;

TEST(Property, WhatIsPlantedAtAPersistedKeyIsNeitherWrittenThroughNorWaitedOn) {
    const std::string key = "persist.vendor.cam.loop.parse";
    for (zeb_test::Planted planted : zeb_test::EveryPlanted()) {
        SCOPED_TRACE(zeb_test::Name(planted));
        zeb_test::DeviceRoot root;
        zeb_test::TempDir outside;
        zeb_test::WriteFile(outside / "secret", "41");
        const std::string at = root.Device("/data/property/" + key);
        zeb_test::Plant(planted, at, planted == zeb_test::Planted::LinkToFolder ? outside.path() : outside / "secret",
                        root.Device("/data/property/persist.other"));
        const auto letPipeOut = [&] { zeb_test::OpenPipeEnds(at); };
        LogCapture log(1);
        char value[PROPERTY_VALUE_MAX] = "";
        EXPECT_TRUE(ReturnsWithin([&] { property_get(key.c_str(), value, "0"); }, letPipeOut));
        // A sparse file is a regular file: its first bytes are its value.
        const bool regular = planted == zeb_test::Planted::SparseHuge;
        EXPECT_STREQ(value, regular ? std::string(PROPERTY_VALUE_MAX - 1, '\0').c_str() : "0");
        EXPECT_TRUE(ReturnsWithin([&] { property_get(key.c_str(), value, "0"); }, letPipeOut));
        EXPECT_EQ(log.Count(at + " refused: "), regular ? 0u : 1u) << "named once, not at every call";

        const bool folder = planted == zeb_test::Planted::Folder;
        EXPECT_TRUE(ReturnsWithin([&] { EXPECT_EQ(property_set(key.c_str(), "1"), 0); }, letPipeOut));
        EXPECT_EQ(zeb_test::ReadFile(outside / "secret"), "41") << "nothing written through the link";
        EXPECT_FALSE(std::filesystem::exists(outside / key));
        EXPECT_EQ(log.Count("could not persist " + key), folder ? 1u : 0u);
        if (!folder) {
            EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(at)));
            EXPECT_EQ(zeb_test::ReadFile(at), "1");
        }
        EXPECT_EQ(zeb_test::Property(key), "1");
    }
}

TEST(Property, AReaderHeldAtAPersistedKeyHoldsUpNoOtherPropertyCall) {
    zeb_test::DeviceRoot root;
    property_set("persist.vendor.cam.zeb.tester", "1");
    zeb_test::HeldFile held(root.Device("/data/property/persist.vendor.cam.loop.parse"));
    std::thread reader([] { zeb_test::Property("persist.vendor.cam.loop.parse"); });
    ASSERT_TRUE(held.Reached());
    EXPECT_TRUE(ReturnsWithin(
        [] {
            EXPECT_EQ(zeb_test::Property("persist.vendor.cam.zeb.tester"), "1");
            property_set("persist.vendor.cam.zeb.process", "1");
            property_set("vendor.cam.volatile", "2");
            EXPECT_EQ(zeb_test::Property("vendor.cam.volatile"), "2");
        },
        [&] { held.Release(); }));
    held.Release();
    reader.join();
}

TEST(Log, LevelFilterPrefixAndCapture) {
    zeb_platform::SetLogLevel(4);
    LogCapture everything(5);
    int progressLine = 0;
    {
        LogCapture failures(1);
        ZLOG("ZEBTask", 1, "%d, %s: failed %s", "here");
        progressLine = __LINE__; ZLOG("ZEBTask", 4, "%d, %s: progress %d", 7);
        ZPRINT(LOG_PRI_E, "ZEB_XTM", "%d, %s: second path");
        ASSERT_EQ(failures.Records().size(), 2u);
        EXPECT_EQ(failures.Records()[0].tag, "ZEBTask");
        EXPECT_EQ(failures.Records()[1].level, 1);
    }
    auto records = everything.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].text, std::to_string(progressLine) + ", TestBody: progress 7");
    EXPECT_EQ(records[1].level, 4);
    // A LogMessage that was never given a format emits nothing.
    { LogMessage unused = _log("ZEBTask", 1); }
    EXPECT_EQ(everything.Records().size(), 3u);
}

TEST(Log, WritesLinesToTheConfiguredFile) {
    // The settings are read with a process's first line: the lines come from
    // this program started afresh, running this case alone.
    if (getenv("ZEB_TEST_LOG_CHILD")) {
        ZLOG("Tag", 4, "%d, %s: kept");
        ZLOG("Tag", 5, "%d, %s: dropped");
        _exit(0);
    }
    zeb_test::TempDir dir;
    const std::string path = dir / "log.txt";
    pid_t child = fork();
    if (child == 0) {
        setenv("ZEB_LOG_FILE", path.c_str(), 1);
        setenv("ZEB_LOG_LEVEL", "4", 1);
        setenv("ZEB_TEST_LOG_CHILD", "1", 1);
        execl("/proc/self/exe", "test_platform", "--gtest_filter=Log.WritesLinesToTheConfiguredFile",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const std::string text = zeb_test::ReadFile(path);
    EXPECT_NE(text.find(" 4 Tag: "), std::string::npos) << text;
    EXPECT_NE(text.find(": kept\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
}

TEST(Host, DevicePathAndScaledTime) {
    zeb_platform::SetDeviceRoot("/tmp/root/");
    EXPECT_EQ(zeb_platform::DevicePath("/data/vendor/x.xml"), "/tmp/root/data/vendor/x.xml");
    zeb_platform::SetDeviceRoot("");
    EXPECT_EQ(zeb_platform::DevicePath("/vendor/firmware"), "/vendor/firmware");
    const double scale = zeb_platform::TimeScale();
    zeb_platform::SetTimeScale(0.5);
    EXPECT_EQ(zeb_platform::Scaled(std::chrono::seconds(8)), std::chrono::seconds(4));
    EXPECT_EQ(zeb_platform::Scaled(std::chrono::milliseconds(-5)).count(), 0);
    zeb_platform::SetTimeScale(-1);
    EXPECT_EQ(zeb_platform::TimeScale(), 1.0);
    zeb_platform::SetTimeScale(scale);  // the cases after this one, in a whole run
}

// Paths read from files: device paths under the root, anything else as written.
TEST(Host, HostPathOfTakesDevicePathsUnderTheRoot) {
    struct Case {
        const char* root;
        const char* written;
        const char* host;
    };
    const Case cases[] = {
        {"/r/", "/data/vendor/cameraserver/zeb/frames/task0", "/r/data/vendor/cameraserver/zeb/frames/task0"},
        {"/r", "/vendor/firmware/t/cfg.xml", "/r/vendor/firmware/t/cfg.xml"},
        {"/r", "/data", "/r/data"},
        {"/r", "/tmp/rec/recording/task0/frame0", "/tmp/rec/recording/task0/frame0"},
        {"/r", "rec/recording/task0", "rec/recording/task0"},
        {"/r", "/database/x", "/database/x"},
        {"/r", "/datax", "/datax"},
        {"/data/host", "/data/host/rec/frame0", "/data/host/rec/frame0"},
        {"", "/data/vendor/x", "/data/vendor/x"},
        {"/", "/data/vendor/x", "/data/vendor/x"},
    };
    for (const Case& c : cases) {
        zeb_platform::SetDeviceRoot(c.root);
        EXPECT_EQ(zeb_platform::HostPathOf(c.written), c.host) << "root " << c.root;
    }
    zeb_platform::SetDeviceRoot("");
}

TEST(BufferManager, DescriptorMapsTheSameBytesAndReturnsFromAnyThread) {
    pvk::BufferManager* manager = pvk::BufferManager::getInstance();
    if (!manager) manager = pvk::BufferManager::createInstance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(pvk::BufferManager::getInstance(), manager);
    const size_t before = manager->liveBufferCount();

    struct Request { int usage, width, height; size_t atLeast; };
    const std::vector<Request> requests = {
        {0, 1234, 1, 1234}, {1, 2 * 64, 48, 64 * 48 * 3 / 2}, {2, 640, 480, 640 * 480 * 3 / 2},
        {3, 5000, 3000, 5000u * 3000u * 2}};
    std::vector<pvk::Buffer*> buffers;
    for (const Request& request : requests) {
        pvk::Buffer* buffer = nullptr;
        manager->getBuffer(request.usage, request.width, request.height, buffer, false);
        ASSERT_NE(buffer, nullptr);
        // Read the fields the way callers do: third pointer, first int, seventh u64.
        auto* record = reinterpret_cast<void**>(buffer)[2];
        const int fd = *reinterpret_cast<int32_t*>(record);
        auto* address = reinterpret_cast<uint8_t*>(reinterpret_cast<uint64_t*>(record)[6]);
        ASSERT_GE(buffer->capacity, request.atLeast);
        address[0] = 0x5a;
        address[request.atLeast - 1] = 0xa5;
        void* view = mmap(nullptr, request.atLeast, PROT_READ, MAP_SHARED, fd, 0);
        ASSERT_NE(view, MAP_FAILED);
        EXPECT_EQ(static_cast<uint8_t*>(view)[0], 0x5a);
        EXPECT_EQ(static_cast<uint8_t*>(view)[request.atLeast - 1], 0xa5);
        munmap(view, request.atLeast);
        buffers.push_back(buffer);
    }
    EXPECT_EQ(manager->liveBufferCount(), before + buffers.size());

    std::thread other([&] {
        for (size_t i = 0; i < buffers.size(); ++i) manager->returnBuffer(buffers[i], requests[i].usage, false);
    });
    other.join();
    EXPECT_EQ(manager->liveBufferCount(), before);

    LogCapture log(1);
    EXPECT_EQ(manager->returnBuffer(buffers[0], 0, false), -1);
    pvk::Buffer stranger{};
    EXPECT_EQ(manager->returnBuffer(&stranger, 2, false), -1);
    EXPECT_EQ(log.Count("refused buffer", "BufferManager", 1), 2u);

    pvk::Buffer* none = reinterpret_cast<pvk::Buffer*>(1);
    manager->getBuffer(3, 0, 100, none, false);
    EXPECT_EQ(none, nullptr);
}

TEST(ParamSet, CopiesDuringTheCallAndReadsZerosWhenUnset) {
    zeb_platform::ResetPsParams();
    std::vector<uint8_t> record(zeb_platform::PsParamSize(2061), 0);
    LogCapture log(1);
    // The store lives as long as the process, once made (by an earlier case, in a whole run).
    if (!pvk::ParamSet::getInstance()) {
        EXPECT_EQ(setPsParam(0, 1, 3, 2061, record.data()), -1) << "no store yet";
        pvk::ParamSet::createInstance();
    }
    ASSERT_NE(pvk::ParamSet::getInstance(), nullptr);

    std::vector<uint8_t> out(zeb_platform::PsParamSize(2061), 0xff);
    EXPECT_EQ(getPsParam(0, 0, 0, 2061, out.data()), 0);
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0));

    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(setPsParam(1, 1, 42, 2061, record.data()), 0);
    const std::vector<uint8_t> sent = record;
    std::fill(record.begin(), record.end(), 0xee);  // the caller's record ends with the call
    getPsParam(1, 0, 0, 2061, out.data());
    EXPECT_EQ(out, sent);
    getPsParam(0, 0, 0, 2061, out.data());
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0)) << "cameras are kept apart";

    auto kept = zeb_platform::GetPsRecord(1, 2061);
    EXPECT_EQ(kept.setCount, 1u);
    EXPECT_EQ(kept.lastMode, 1);
    EXPECT_EQ(kept.lastFrameId, 42);

    EXPECT_EQ(setPsParam(1, 0, 0, 12345, record.data()), -1);
    EXPECT_EQ(getPsParam(1, 0, 0, 2061, nullptr), -1);
    EXPECT_TRUE(log.Contains("unknown parameter id 12345"));
    EXPECT_EQ(zeb_platform::PsParamSize(65658), 1085440u);
    EXPECT_EQ(zeb_platform::PsParamSize(2050), 13864u);
}
