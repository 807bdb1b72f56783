// The parameter side of the library load, from the first file read until
// every scene record and every sweep file is there: task list, block list,
// scene files, three swept blocks of ten sweep frames each. The load must grow
// linearly with the task list: 1,000 images at most 12 times 100 images.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "parameter/ConfigFiles.h"
#include "parameter/ParameterManager.h"
#include "parameter/SceneParameter.h"
#include "parameter/TaskManager.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Property.h"

namespace {

const char* const kTaskListPath = "/data/vendor/cameraserver/zeb/config/RawListFile.xml";
constexpr int kSweptBlocks = 3;
constexpr int kSweepFrames = 10;

// A device root with a task list of `images` recorded frames.
class LoadFixture {
public:
    explicit LoadFixture(int images) {
        std::string pattern = (std::filesystem::temp_directory_path() / "zebsim-bench-XXXXXX").string();
        if (mkdtemp(&pattern[0])) mRoot = pattern;
        zeb_platform::SetDeviceRoot(mRoot);
        zeb_platform::ResetProperties();

        std::vector<zeb_config::Block> blocks;
        for (int b = 0; b < kSweptBlocks; ++b) {
            const std::string name = "BLK" + std::to_string(b);
            const std::string param = mRoot + "/tune/" + name + ".xml";
            zeb_config::Write(param, zeb_config::TuningParamXml());
            const std::string task = mRoot + "/tune/" + name + "_task.xml";
            zeb_config::Write(task, zeb_config::TuningTaskXml(
                                        name, param, mRoot + "/sweep/" + name + "/",
                                        {zeb_config::Parameter("Block/Table[2]/gain", "1 0 0",
                                                               std::to_string(kSweepFrames) + " 0 0", "1 0 0",
                                                               "array=\"3\"")}));
            std::filesystem::create_directories(mRoot + "/sweep/" + name);
            blocks.push_back({name, 0, task});
        }
        blocks.push_back({"XTM", 1, "null"});
        zeb_config::Write(mRoot + "/blocks.xml", zeb_config::BlockListXml(blocks));

        std::vector<zeb_config::Image> list;
        for (int i = 0; i < images; ++i) {
            const std::string input = mRoot + "/raw/" + std::to_string(i) + "_frame";
            zeb_config::Write(input + "/iscene_Info.xml", zeb_config::SceneXml(4000, 3000, i % 2, 0.5f));
            zeb_config::Write(input + "/frame.raw", "raw");
            list.push_back({{input, input + "_b"}, mRoot + "/out/ZEB_" + std::to_string(i)});
        }
        std::filesystem::create_directories(mRoot + "/out");
        zeb_config::Write(zeb_platform::DevicePath(kTaskListPath), zeb_config::TaskListXml({list}, mRoot + "/blocks.xml"));
        mLastTask = images - 1;
    }

    ~LoadFixture() {
        zeb_platform::ResetProperties();
        zeb_platform::SetDeviceRoot("");
        std::error_code code;
        if (!mRoot.empty()) std::filesystem::remove_all(mRoot, code);
    }

    int64_t LastTask() const { return mLastTask; }

private:
    std::string mRoot;
    int64_t mLastTask = 0;
};

void BM_LibraryLoad(benchmark::State& state) {
    zeb_platform::SetLogLevel(1);
    const int images = static_cast<int>(state.range(0));
    LoadFixture fixture(images);
    int64_t last = fixture.LastTask();
    for (auto _ : state) {
        ZEB::ParameterManager::Clear();
        auto scene = std::make_unique<ZEB::SceneParameter>();
        ZEB::ParameterManager::CreateParameter("SceneParameter", scene.get());
        auto manager = std::make_unique<ZEB::TaskManager>();
        ZEB::ParameterManager::CreateParameter("TaskManager", manager.get());

        // Loaded once every sweep is written and the last scene record is in.
        ZEB::ParameterManager registry;
        for (const std::string& name : manager->MutualNames()) {
            ZEB::ZebStatusTag* status = registry.GetStatus(nullptr, name.c_str());
            MutexLock lock(status->mMutex);
            status->mCond.wait(lock.native(), [&] { return status->mReady; });
        }
        while (!scene->GetParameter(&last)) {
        }
        benchmark::DoNotOptimize(manager->GetParameter(nullptr));

        ZEB::ParameterManager::StopStatusWatch();
        ZEB::ParameterManager::Clear();
        manager.reset();
        scene.reset();
    }
    state.SetItemsProcessed(state.iterations() * images);
}
BENCHMARK(BM_LibraryLoad)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
