#pragma once
// The HAL's side of the library's virtual sensor: the library calls the
// sensor ioctl with a command record, and a tool's fake driver answers it.
// This base decodes the record (the binning factor is answered here, as
// every driver answers it) and hands the tool what it cares about through
// hooks; each hook runs on the library's calling thread, inside the ioctl,
// while the library keeps the command's parameter valid.
#include <cstdint>

#include "core/records/HalRecords.h"

namespace zeb_tools {

struct LibraryEntries;

class VirtualSensorDriver {
public:
    VirtualSensorDriver() = default;
    VirtualSensorDriver(const VirtualSensorDriver&) = delete;
    VirtualSensorDriver& operator=(const VirtualSensorDriver&) = delete;
    virtual ~VirtualSensorDriver() = default;

    // Names this driver as the sensor in a HAL's OEM context, where the
    // library finds the handle it passes back to the ioctl.
    void NameIn(uint8_t* context);
    // Installs the driver's ioctl, and the grab and scenario operations a HAL
    // installs beside it (which do nothing here), on an instance.
    static void Install(const LibraryEntries& api, void* handle);

    // The ioctl: `sensor` is the handle NameIn wrote.
    static long Ioctl(void* sensor, unsigned int camera, unsigned long tag, unsigned long record);

protected:
    // A raw frame to read now, while the library holds its buffer.
    virtual void OnFrame(const ZEB::isp_raw_proc_info& info) = 0;
    // The sensor paused (non-zero) or resumed (0).
    virtual void OnPause(int32_t pause) { (void)pause; }
    // The frame rate the library set: 15 for preview, 8 for capture.
    virtual void OnFps(int32_t fps) { (void)fps; }
    // The OEM context the library hands the driver: the HAL's own.
    virtual void OnOemContext(const void* context) { (void)context; }

private:
    long Command(unsigned long tag, unsigned long record);
    static long Grab(void*, void*) { return 0; }
    static void ScenarioUpdate(void*) {}
};

}  // namespace zeb_tools
