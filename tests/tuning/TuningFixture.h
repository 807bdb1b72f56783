#pragma once
// The tuning updater's fixture: a device root of its own with a task manager
// over a block list, the real sensor side, converters and plugin; and what
// its cases compare (whole trees, flag records, tuning documents, headers).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "parameter/ConfigFiles.h"
#include "parameter/ParameterManager.h"
#include "parameter/SceneInfo.h"
#include "parameter/SceneParameter.h"
#include "parameter/TaskManager.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/SensorTuning.h"
#include "support/TestSupport.h"
#include "tuning/ParameterUpdate.h"

namespace zeb_tuning_test {

namespace fs = std::filesystem;
using zeb_config::Block;
using zeb_test::ReadFile;
using zeb_test::WriteFile;

constexpr const char* kCfg = "<cfg><scenario alia=\"prv\"><id>0x1a</id></scenario>"
                             "<scenario alia=\"cap\"><id>2B</id></scenario></cfg>";

inline ZEB::iSceneInfo Scene(uint64_t preview, uint64_t capture) {
    ZEB::iSceneInfo scene{};
    scene.commonInfo.prv_scenario_id = preview;
    scene.commonInfo.cap_scenario_id = capture;
    return scene;
}

// The five int32 flags as the HAL reads them: at bytes 0, 4, 8, 12, 16.
inline std::vector<int32_t> Flags(const ZEB::zeb_update_flag& record) {
    std::vector<int32_t> flags(5);
    for (size_t i = 0; i < 5; ++i) flags[i] = zeb_test::At<int32_t>(&record, 4 * i);
    return flags;
}

// Every file and link below `root`, with its content or target, leaving out
// the tuning folders of `name` (which an update rewrites).
inline std::map<std::string, std::string> Tree(const std::string& root, const std::string& name = "\n") {
    std::map<std::string, std::string> files = zeb_test::Contents(root);
    for (auto it = files.begin(); it != files.end();) {
        bool own = false;
        for (const char* folder : {"/tuningparameter/", "/tuningbin/", "/vendor/firmware/"}) {
            own = own || (it->first + "/").find(folder + name + "/") != std::string::npos;
        }
        it = own ? files.erase(it) : std::next(it);
    }
    return files;
}

// A tuning XML document of one block and its values.
inline std::string TuningXml(const std::string& block, const std::string& id, const std::string& values) {
    return "<T block=\"" + block + "\" id=\"" + id + "\"><v>" + values + "</v></T>";
}

// A binary tuning file's header bytes (the rest filler): the magic and the
// header size the sensor side checks.
inline std::string Header(const char* magic, uint32_t size, size_t length) {
    std::string bytes(length, 0);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(0xA0 + i);
    if (length >= 8) {
        memcpy(&bytes[0], magic, 4);
        memcpy(&bytes[4], &size, 4);
    }
    return bytes;
}

class TuningUpdate : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef ZEB_SANITIZED
        // The sanitizers' dlopen becomes the caller of the updater's load by
        // name, and its run path is not ours: load the plugin by path first.
        mPlugin = dlopen(ZEB_BINARY_DIR "/src/libcorvale.so", RTLD_NOW);
#endif
        zeb_platform::ResetSensorTuning();
        zeb_platform::SetTimeScale(0.01);
        mWorkingDir = fs::current_path();
        fs::current_path(mCwd.path());
        fs::create_directories(mRoot.Device("/data/vendor/cameraserver/zeb"));
        LoadBlocks({});
    }
    void TearDown() override {
        fs::current_path(mWorkingDir);
        EXPECT_TRUE(fs::is_empty(mCwd.path())) << "nothing is written to the current directory";
        Unload();
        zeb_platform::ResetSensorTuning();
        if (mPlugin) dlclose(mPlugin);
    }
    void Unload() {
        ZEB::ParameterManager::StopStatusWatch();
        if (mTaskManager) mTaskManager->Stop();
        ZEB::ParameterManager::Clear();
        mTaskManager.reset();
    }
    // A task manager over this block list, registered as the library does.
    void LoadBlocks(const std::vector<Block>& blocks) {
        Unload();
        WriteFile(mRoot.Device("/data/vendor/cameraserver/zeb/config/RawListFile.xml"),
                  zeb_config::TaskListXml({}, mRoot / "blocks.xml"));
        WriteFile(mRoot / "blocks.xml", zeb_config::BlockListXml(blocks));
        ZEB::ParameterManager::CreateParameter("SceneParameter", &mScene);
        mTaskManager = std::make_unique<ZEB::TaskManager>();
        ZEB::ParameterManager::CreateParameter("TaskManager", mTaskManager.get());
    }
    // The sensor's tuning: its name and its scenario table.
    void Sensor(const std::string& name, const std::string& cfg = kCfg) {
        zeb_platform::SetSensorTuningName(0, name);
        WriteFile(mRoot.Device("/vendor/firmware/" + name + "/cfg.xml"), cfg);
    }
    std::string Firmware(const std::string& relative) { return mRoot.Device("/vendor/firmware/" + relative); }

    zeb_test::DeviceRoot mRoot;
    zeb_test::TempDir mCwd;
    fs::path mWorkingDir;
    ZEB::SceneParameter mScene;
    std::unique_ptr<ZEB::TaskManager> mTaskManager;
    ZEB::TaskMap mTasks;
    void* mPlugin = nullptr;
};

}  // namespace zeb_tuning_test
