#include "SimulationFixture.h"

#include <filesystem>
#include <sstream>

#include "frame/ReadControl.h"
#include "parameter/ConfigFiles.h"
#include "platform/Property.h"
#include "simulation/SimulationControl.h"

namespace ZEB {
TaskMap& SimulationControlProbe::Tasks(SimulationControl& instance) { return *instance.mTaskMap; }

void SimulationControlProbe::ListFrames(SimulationControl& instance,
                                        const std::vector<std::shared_ptr<ZEBFrame>>& frames) {
    instance.mYuvCount.store(static_cast<int32_t>(frames.size()));
    for (size_t i = 0; i < frames.size(); ++i) instance.mReadControl->PushFrame(frames[i], static_cast<int64_t>(i));
}
}  // namespace ZEB

namespace zeb_sim_test {

FakeHal::FakeHal(ZEB::SimulationControl& instance, std::function<void(int)> capture)
    : mInstance(instance), mCapture(std::move(capture)) {
    mThread = std::thread([this] {
        const char* const capReady = "persist.vendor.cam.zeb.capready";
        auto ready = [capReady] { return zeb_test::Property(capReady) == "1"; };
        for (int captures = 0; !mStop.load();) {
            if (!zeb_test::WaitFor(ready, std::chrono::milliseconds(20))) continue;
            property_set(capReady, "0");
            mInstance.ReceivingSnapStatus(true);
            if (mCapture) mCapture(captures++);
            mInstance.ReceivingSnapStatus(false);
        }
    });
}

FakeHal::~FakeHal() {
    mStop.store(true);
    mThread.join();
}

void SimulationTest::TearDown() {
    ZEB::ParameterManager::StopStatusWatch();
    if (mTaskManager) mTaskManager->Stop();
    if (mScene) mScene->Stop();
    ZEB::ParameterManager::Clear();
    mTaskManager.reset();
    mScene.reset();
}

std::string SimulationTest::RawOf(int frame) {
    std::string raw;
    for (int line = 0; line < 4; ++line) raw += std::string(10, static_cast<char>(0x10 * (frame + 1) + line));
    return raw;
}

std::string SimulationTest::FramePath(size_t task, int frame) const {
    return mRoot / ("raw/task" + std::to_string(task) + "frame" + std::to_string(frame));
}

void SimulationTest::Load(const std::vector<TaskSpec>& tasks, const std::string& mode,
                          const std::vector<std::pair<std::string, int>>& blocks) {
    std::vector<zeb_config::Block> list;
    for (const auto& block : blocks) list.push_back({block.first, block.second});
    if (!blocks.empty()) zeb_config::Write(mRoot / "blocks.xml", zeb_config::BlockListXml(list));
    std::vector<zeb_config::Image> images;
    for (size_t t = 0; t < tasks.size(); ++t) {
        images.push_back({{}, mRoot / ("out/ZEB_task" + std::to_string(t))});
        for (int f = 0; f < tasks[t].frames; ++f) {
            const std::string folder = FramePath(t, f);
            zeb_test::WriteFile(folder + "/IMG_8x4_raw.mipi_raw", RawOf(f));
            zeb_test::WriteFile(folder + "/IMG_8x4_1.cap.yuv_nv21", std::string(48, static_cast<char>('a' + f)));
            zeb_test::WriteFile(folder + "/OFFLINE_AE_INFO.bin", std::string(128, static_cast<char>('A' + f)));
            if (f == 0 && tasks[t].scene) {
                const SceneSpec& scene = tasks[t].values;
                std::ostringstream xml;
                xml << "<postprocInfo><is_hdr_scene>" << scene.hdr << "</is_hdr_scene></postprocInfo>"
                    << "<capInfo><postproc_type>" << scene.postproc << "</postproc_type><normal_num>1</normal_num>"
                    << "<total_num>3</total_num></capInfo><hdrDetectOut><ev>" << scene.ev << "</ev></hdrDetectOut>"
                    << "<FDInfo><face_count>" << scene.faces << "</face_count><face_rectangle_coordinate_prev>"
                    << scene.prevFaces << "</face_rectangle_coordinate_prev><face_rectangle_coordinate_cap>"
                    << scene.capFaces << "</face_rectangle_coordinate_cap></FDInfo>";
                zeb_test::WriteFile(folder + "/iscene_Info.xml",
                                    "<root>" + (scene.xml.empty() ? xml.str() : scene.xml) + "</root>");
            }
            images.back().inputs.push_back(folder);
        }
    }
    zeb_test::WriteFile(mRoot.Device("/data/vendor/cameraserver/zeb/config/RawListFile.xml"),
                        zeb_config::TaskListXml({images}, blocks.empty() ? "" : mRoot / "blocks.xml", mode));
    std::filesystem::create_directories(mRoot / "out");

    mScene = std::make_unique<ZEB::SceneParameter>();
    ZEB::ParameterManager::CreateParameter("SceneParameter", mScene.get());
    mTaskManager = std::make_unique<ZEB::TaskManager>();
    ZEB::ParameterManager::CreateParameter("TaskManager", mTaskManager.get());
}

ZEB::TaskMap& SimulationTest::Tasks() {
    return *static_cast<ZEB::TaskMap*>(mTaskManager->GetParameter(nullptr));
}


bool SimulationTest::WaitForFrames(ZEB::SimulationControl& instance) {
    return zeb_test::WaitFor([&instance] {
        for (auto& entry : Tasks(instance)) {
            MutexLock guard(entry.second->TaskLock);
            if (!entry.second->TaskFrameStatus) return false;
        }
        return true;
    });
}

bool SimulationTest::WaitForScene() {
    int64_t first = Tasks().begin()->first;
    return zeb_test::WaitFor([&] { return mScene->GetParameter(&first) != nullptr; });
}
}  // namespace zeb_sim_test
