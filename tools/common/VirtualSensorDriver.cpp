#include "common/VirtualSensorDriver.h"

#include <cstring>

#include "common/LibraryBinding.h"
#include "core/records/Field.h"
#include "core/records/HalRecords.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"

namespace zeb_tools {
using namespace ZEB;

void VirtualSensorDriver::NameIn(uint8_t* context) {
    WriteField<void*>(context, kOemCxtSensorHandleOffset, static_cast<VirtualSensorDriver*>(this));
}

void VirtualSensorDriver::Install(const LibraryEntries& api, void* handle) {
    api.SetSensorIoctlOps(&VirtualSensorDriver::Ioctl, handle);
    api.SetGrabOps(&VirtualSensorDriver::Grab, handle);
    api.SetScenerioUpdateFunc(&VirtualSensorDriver::ScenarioUpdate, handle);
}

long VirtualSensorDriver::Ioctl(void* sensor, unsigned int, unsigned long tag, unsigned long record) {
    return static_cast<VirtualSensorDriver*>(sensor)->Command(tag, record);
}

long VirtualSensorDriver::Command(unsigned long tag, unsigned long record) {
    if (tag != kVirtualSensorIoctlTag || !record) return -1;
    vsensor_cmd_t command;
    memcpy(&command, reinterpret_cast<const void*>(record), sizeof command);
    void* param = reinterpret_cast<void*>(command.param);
    switch (command.cmd) {
        case VSENSOR_CMD_GET_BINNING_FACTOR:
            if (param) static_cast<vsensor_binning_info_t*>(param)->factor = 1;
            return 0;
        case VSENSOR_CMD_SET_FRAME:
            if (param) OnFrame(*static_cast<const isp_raw_proc_info*>(param));
            return 0;
        case VSENSOR_CMD_PAUSE: {
            int32_t pause = 0;
            if (param) memcpy(&pause, param, sizeof pause);
            OnPause(pause);
            return 0;
        }
        case VSENSOR_CMD_SET_FPS: {
            int32_t fps = 0;
            if (param) memcpy(&fps, param, sizeof fps);
            OnFps(fps);
            return 0;
        }
        case VSENSOR_CMD_SET_OEM_CXT: {
            vsensor_oem_cxt_t cxt{};
            if (param) memcpy(&cxt, param, sizeof cxt);
            OnOemContext(cxt.oem_cxt);
            return 0;
        }
        default:
            return 0;
    }
}

}  // namespace zeb_tools
