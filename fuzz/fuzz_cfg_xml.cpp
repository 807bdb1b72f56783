// The scenario table "cfg.xml" of a firmware tuning folder, read by a tuning
// updater of its own (its table only grows), then asked for the aliases of
// the preview and capture scenarios a recording generator writes.
#include <cstring>

#include "FuzzSupport.h"
#include "parameter/SceneInfo.h"
#include "tuning/ParameterUpdate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zeb_fuzz::Write("vendor/firmware/fuzz_tuning/cfg.xml", data, size);
    ZEB::ParameterUpdate update(0, nullptr);
    // Its start-up thread finds no tuning name and reads no table.
    update.WaitStartup();
    update.TuningCfgXMLParser("fuzz_tuning");
    ZEB::iSceneInfo scene;
    memset(&scene, 0, sizeof scene);
    scene.commonInfo.prv_scenario_id = 0x1a;
    scene.commonInfo.cap_scenario_id = 0x2b;
    update.FindScenarioAlia(&scene, 0);
    update.FindScenarioAlia(&scene, 1);
    return 0;
}
