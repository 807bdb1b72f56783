// What runs when the HAL loads the library: the parameter modules are created
// and registered here, in one place and in a fixed order, so the order never
// depends on how the linker lays out static initialisers.
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "algo/AE.h"
#include "algo/ALSC.h"
#include "algo/AWB.h"
#include "algo/XTM.h"
#include "parameter/ParameterManager.h"
#include "parameter/SceneParameter.h"
#include "parameter/TaskManager.h"
#include "platform/Log.h"

namespace ZEB {

// What each module's registration returned: the module, as registered at load.
struct RegisterParameterSceneParameter {
    static intptr_t parameter;
};
struct RegisterParameterTaskManager {
    static intptr_t parameter;
};
struct RegisterParameterAE {
    static intptr_t parameter;
};
struct RegisterParameterAWB {
    static intptr_t parameter;
};
struct RegisterParameterALSC {
    static intptr_t parameter;
};
struct RegisterParameterXTM {
    static intptr_t parameter;
};
intptr_t RegisterParameterSceneParameter::parameter = 0;
intptr_t RegisterParameterTaskManager::parameter = 0;
intptr_t RegisterParameterAE::parameter = 0;
intptr_t RegisterParameterAWB::parameter = 0;
intptr_t RegisterParameterALSC::parameter = 0;
intptr_t RegisterParameterXTM::parameter = 0;

namespace {

const char* const kTag = "ZEBParameter";

// Owns the modules created at load. The modules' threads use code of this
// library, so unloading stops and joins them before anything goes.
class LibraryLoad {
public:
    LibraryLoad() {
        try {
            Load();
        } catch (const std::exception& error) {
            // The HAL's process must survive a failed load. A task manager that
            // failed half-way has freed the mutual modules it registered, so no
            // name may stay behind to be looked up: the library serves no
            // modules at all, and every lookup logs that it finds none.
            ZLOG(kTag, 1, "%d, %s: library load failed: %s", error.what());
            ParameterManager::StopStatusWatch();
            ParameterManager::Clear();
        }
    }

    ~LibraryLoad() {
        // The watch may wait on any module; it goes first.
        ParameterManager::StopStatusWatch();
        if (mTaskManager) mTaskManager->Stop();
        if (mScene) mScene->Stop();
        ParameterManager::Clear();
        mXtm.reset();
        mAlsc.reset();
        mAwb.reset();
        mAe.reset();
        mTaskManager.reset();
        mScene.reset();
    }

    LibraryLoad(const LibraryLoad&) = delete;
    LibraryLoad& operator=(const LibraryLoad&) = delete;

private:
    void Load() {
        // 1. The registry: built on first use, before any module registers.
        (void)ParameterManager::RegisteredNames();
        // 2. The schema tables are constant data, complete before any code runs.
        // 3. The scene module: the task manager hands it the task list.
        mScene = std::make_unique<SceneParameter>();
        RegisterParameterSceneParameter::parameter = ParameterManager::CreateParameter("SceneParameter", mScene.get());
        // 4. The task manager: reads the task and block lists and starts the
        //    scene reader, the sweeps, the status watch and the ready loop.
        mTaskManager = std::make_unique<TaskManager>();
        RegisterParameterTaskManager::parameter = ParameterManager::CreateParameter("TaskManager", mTaskManager.get());
        // 5. The offline 3A modules, after the task manager whose block list
        //    they read. A block may not take their names (the task manager
        //    refuses such a sweep), so these registrations always hold.
        mAe = std::make_unique<AE>();
        RegisterParameterAE::parameter = ParameterManager::CreateParameter("AE", mAe.get());
        mAwb = std::make_unique<AWB>();
        RegisterParameterAWB::parameter = ParameterManager::CreateParameter("AWB", mAwb.get());
        mAlsc = std::make_unique<ALSC>();
        RegisterParameterALSC::parameter = ParameterManager::CreateParameter("ALSC", mAlsc.get());
        mXtm = std::make_unique<XTM>();
        RegisterParameterXTM::parameter = ParameterManager::CreateParameter("XTM", mXtm.get());

        std::string names;
        for (const std::string& name : ParameterManager::RegisteredNames()) names += (names.empty() ? "" : ",") + name;
        ZLOG(kTag, 4, "%d, %s: registered at load: %s", names.c_str());
    }

    std::unique_ptr<SceneParameter> mScene;
    std::unique_ptr<TaskManager> mTaskManager;
    std::unique_ptr<AE> mAe;
    std::unique_ptr<AWB> mAwb;
    std::unique_ptr<ALSC> mAlsc;
    std::unique_ptr<XTM> mXtm;
};

const LibraryLoad gLoad;

}  // namespace
}  // namespace ZEB
