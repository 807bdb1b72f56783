#pragma once
// A device with a recording and the parameter modules of a library load, for
// tests that build SimulationControl directly; and a fake virtual-sensor
// driver on the far side of the sensor callback.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/records/HalRecords.h"
#include "parameter/ParameterManager.h"
#include "parameter/SceneParameter.h"
#include "parameter/TaskManager.h"
#include "support/TestSupport.h"

namespace ZEB {
class SimulationControl;
class ZEBFrame;

// What tests reach inside an instance that no entry point shows.
struct SimulationControlProbe {
    // The instance's own view of the task list, which holds its frames.
    static TaskMap& Tasks(SimulationControl& instance);
    // Lists the given frames under ids 0, 1, ... for the YUV list query.
    static void ListFrames(SimulationControl& instance, const std::vector<std::shared_ptr<ZEBFrame>>& frames);
};
}  // namespace ZEB

namespace zeb_sim_test {

// What the sensor driver was told, in order.
struct FakeSensor {
    std::mutex lock;
    std::condition_variable changed;
    int frames = 0;
    int fps = 0;
    std::vector<int> pauses;

    static long Ioctl(void* handle, unsigned int, unsigned long, unsigned long record) {
        auto* sensor = static_cast<FakeSensor*>(handle);
        ZEB::vsensor_cmd_t command;
        memcpy(&command, reinterpret_cast<const void*>(record), sizeof command);
        const void* param = reinterpret_cast<const void*>(command.param);
        std::lock_guard<std::mutex> guard(sensor->lock);
        switch (command.cmd) {
            case ZEB::VSENSOR_CMD_SET_FRAME: sensor->frames++; break;
            case ZEB::VSENSOR_CMD_SET_FPS: sensor->fps = zeb_test::At<int32_t>(param, 0); break;
            case ZEB::VSENSOR_CMD_PAUSE: sensor->pauses.push_back(zeb_test::At<int32_t>(param, 0)); break;
            default: break;
        }
        sensor->changed.notify_all();
        return 0;
    }
    int Frames() {
        std::lock_guard<std::mutex> guard(lock);
        return frames;
    }
};

// The HAL's context record, pointing at a fake sensor.
struct HalContext {
    alignas(8) uint8_t bytes[256] = {0};
    explicit HalContext(void* sensor) { memcpy(bytes + ZEB::kOemCxtSensorHandleOffset, &sensor, sizeof sensor); }
};

struct SceneSpec {
    SceneSpec(int hdrScene = 0, unsigned postprocType = 0, std::string evs = "0 0 0 0 0 0 0 0 0 0")
        : hdr(hdrScene), postproc(postprocType), ev(std::move(evs)) {}
    int hdr;
    unsigned postproc;
    std::string ev;
    int faces = 0;
    std::string prevFaces, capFaces;
    std::string xml;  // when set, the whole content of <root> instead
};

struct TaskSpec {
    TaskSpec(int frameCount, bool withScene = true, SceneSpec sceneValues = SceneSpec())
        : frames(frameCount), scene(withScene), values(std::move(sceneValues)) {}
    int frames;
    bool scene;
    SceneSpec values;
};

// The HAL and the test tool: each capture-ready signal is answered with a
// snapshot start, the HAL's per-capture queries, and the snapshot stop.
class FakeHal {
public:
    FakeHal(ZEB::SimulationControl& instance, std::function<void(int)> capture);
    ~FakeHal();

private:
    ZEB::SimulationControl& mInstance;
    std::function<void(int)> mCapture;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

class SimulationTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Writes the task list and the frame folders, then loads the modules as
    // the library does. `blocks` (name, state) makes a block configuration list.
    void Load(const std::vector<TaskSpec>& tasks, const std::string& mode = "Capture",
              const std::vector<std::pair<std::string, int>>& blocks = {});
    // The tasks as loaded; an instance takes a view of them when it is created.
    ZEB::TaskMap& Tasks();
    // The instance's view, with the frames its reader attaches.
    static ZEB::TaskMap& Tasks(ZEB::SimulationControl& instance) { return ZEB::SimulationControlProbe::Tasks(instance); }
    // Waits until the instance's reader has attached every task's frames: the
    // driver waits only one scaled second for them.
    bool WaitForFrames(ZEB::SimulationControl& instance);
    // Waits until the scene reader has the first task's record (the instance
    // takes it at construction, waiting one scaled second at most).
    bool WaitForScene();
    std::string FramePath(size_t task, int frame) const;
    // Frame f of every task: an 8 x 4 packed raw whose line r holds the byte
    // 0x10 * (f + 1) + r, an 8 x 4 YUV image of the byte 'a' + f, and an
    // offline AE record of 'A' + f.
    static std::string RawOf(int frame);

    zeb_test::DeviceRoot mRoot;
    std::unique_ptr<ZEB::SceneParameter> mScene;
    std::unique_ptr<ZEB::TaskManager> mTaskManager;
};

}  // namespace zeb_sim_test
