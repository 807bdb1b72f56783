// Loads the real libzebsim.so, as the HAL does, in a child process: the test
// re-runs its own binary with a filter that selects the child case, which
// loads the library over a prepared device root and writes what it observed.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "ConfigFiles.h"
#include "common/LibraryBinding.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "support/TestSupport.h"

using zeb_config::Block;
using zeb_config::Image;

using zeb_test::Property;

namespace {

const char* const kChildOut = "ZEB_LOAD_TEST_OUT";
const char* const kChildScenes = "ZEB_LOAD_TEST_SCENES";  // scene files the child waits to see read
const char* const kTaskListPath = "/data/vendor/cameraserver/zeb/config/RawListFile.xml";

// The child: runs only when the parent names a report file.
TEST(LibraryLoadChild, ReportsWhatTheLoadProduced) {
    const char* out = getenv(kChildOut);
    if (!out) GTEST_SKIP() << "runs as the child of LibraryLoad.*";
    std::map<std::string, std::string> report;
    {
        zeb_platform::LogCapture log;
        void* library = dlopen(ZEB_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        report["serverready_at_load"] = Property("persist.vendor.cam.zeb.serverready");
        report["xtm_loaded"] = Property("persist.vendor.cam.zeb.xtmresult");
        const std::string loaded = "registered at load: ";
        for (const auto& record : log.Records()) {
            const size_t at = record.text.find(loaded);
            if (at != std::string::npos) report["registered"] = record.text.substr(at + loaded.size());
        }

        const zeb_tools::SetDeviceReadyFunc setDeviceReady = zeb_tools::ResolveSetDeviceReady(library);
        ASSERT_NE(setDeviceReady, nullptr) << dlerror();
        setDeviceReady(true);
        zeb_test::WaitFor([] { return Property("persist.vendor.cam.zeb.serverready") == "1"; },
                          std::chrono::seconds(20));
        report["serverready_after_device"] = Property("persist.vendor.cam.zeb.serverready");
        const size_t scenes = static_cast<size_t>(atoi(getenv(kChildScenes) ? getenv(kChildScenes) : "0"));
        zeb_test::WaitFor([&] { return log.Count("Temp cap with ev", "ZEB_SCENE") >= scenes; });
        report["scenes_read"] = std::to_string(log.Count("Temp cap with ev", "ZEB_SCENE"));
        report["cap_num"] = Property("persist.vendor.cam.zeb.cap.num");
        EXPECT_EQ(dlclose(library), 0);
    }
    std::ofstream file(out);
    for (const auto& entry : report) file << entry.first << "=" << entry.second << "\n";
    file << "done=1\n";
}

std::map<std::string, std::string> ReadReport(const std::string& path) {
    std::map<std::string, std::string> report;
    std::istringstream lines(zeb_config::Read(path));
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) report[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return report;
}

// Runs the child case over `root`.
zeb_test::ProgramRun RunChild(const std::string& root, const std::string& out, int scenes) {
    return zeb_test::RunProgram({"/proc/self/exe", "--gtest_filter=LibraryLoadChild.*"},
                                {"ZEB_DEVICE_ROOT=" + root, std::string(kChildOut) + "=" + out,
                                 std::string(kChildScenes) + "=" + std::to_string(scenes)});
}

TEST(LibraryLoad, ReadsTheConfigurationRegistersModulesAndPublishesReadiness) {
    zeb_test::DeviceRoot root;
    auto swept = [&](const std::string& block, int frames) {
        return zeb_config::SweptTask(root.path(), block, frames);
    };
    std::vector<Image> images;
    for (int i = 0; i < 2; ++i) {
        const std::string input = root / ("raw/" + std::to_string(i) + "_cap");
        zeb_config::Write(input + "/iscene_Info.xml", zeb_config::SceneXml(640, 480, 1, 0.5f));
        images.push_back({{input}, root / ("ZEB_out" + std::to_string(i))});
    }
    zeb_config::Write(root.Device(kTaskListPath), zeb_config::TaskListXml({images}, root / "blocks.xml"));
    zeb_config::Write(root / "blocks.xml", zeb_config::BlockListXml({{"BNR", 0, swept("BNR", 2)},
                                                                     {"CNR", 1, swept("CNR", 3)},
                                                                     {"NLM", 2, swept("NLM", 2)},
                                                                     {"XTM", 3, "null"}}));
    ASSERT_EQ(property_set("persist.vendor.cam.zeb.xtmresult", "5"), 0);

    const std::string out = root / "report.txt";
    const auto child = RunChild(root.path(), out, 2);
    ASSERT_EQ(child.status, 0) << child.out;
    auto report = ReadReport(out);
    ASSERT_EQ(report["done"], "1");

    // The scene module is there before the task manager, which hands it the
    // task list: both tasks' scenes are read. NLM (state 2) and the XTM block
    // get no sweep module; the four offline 3A modules keep their names.
    EXPECT_EQ(report["registered"], "AE,ALSC,AWB,BNR,CNR,SceneParameter,TaskManager,XTM");
    EXPECT_EQ(report["scenes_read"], "2");
    EXPECT_EQ(report["serverready_at_load"], "0");
    EXPECT_EQ(report["serverready_after_device"], "1");
    EXPECT_EQ(report["xtm_loaded"], "1");
    EXPECT_EQ(report["cap_num"], "");  // published when an instance is created
    EXPECT_TRUE(std::filesystem::exists(root / "sweep/CNR/Frame2_CNR.xml"));
    EXPECT_TRUE(std::filesystem::is_directory(root / "ZEB_out1"));
    // What the test tool sees once the process has gone: ready, and the XTM
    // switch back as the load found it.
    EXPECT_EQ(Property("persist.vendor.cam.zeb.serverready"), "1");
    EXPECT_EQ(Property("persist.vendor.cam.zeb.xtmresult"), "5");
}

TEST(LibraryLoad, SurvivesADeviceWithoutConfiguration) {
    zeb_test::DeviceRoot root;
    const std::string out = root / "report.txt";
    const auto child = RunChild(root.path(), out, 0);
    ASSERT_EQ(child.status, 0) << child.out;
    auto report = ReadReport(out);
    ASSERT_EQ(report["done"], "1");
    EXPECT_EQ(report["registered"], "AE,ALSC,AWB,SceneParameter,TaskManager,XTM");
    EXPECT_EQ(report["serverready_after_device"], "1");
}

}  // namespace
