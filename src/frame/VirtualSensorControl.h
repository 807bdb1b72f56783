#pragma once
// Plays the camera sensor toward the HAL: every request is one command of the
// HAL's virtual-sensor driver, sent through the sensor ioctl the HAL installed.
#include <atomic>
#include <cstdint>

#include "core/records/HalRecords.h"
#include "frame/ZEBFrame.h"

namespace ZEB {

class VirtualSensorControl {
public:
    // `oemCxt` is the HAL's context record (sensor handle at byte 112, colour
    // pattern at byte 132); it may be null, then both read as 0.
    VirtualSensorControl(void* oemCxt, int32_t cameraId);
    ~VirtualSensorControl();
    VirtualSensorControl(const VirtualSensorControl&) = delete;
    VirtualSensorControl& operator=(const VirtualSensorControl&) = delete;

    void SetSensorOps(zeb_sensor_ioctl_t sensorIoctl);
    long SetGrabOps(void* grabHandle);
    long SetOemCxt2SensorDrv();

    // Sends the frame's packed raw (realigned once per file set to the
    // driver's 16-byte line stride unless `skipRealign`). -1 when no frame, no
    // ioctl, or a raw buffer smaller than the lines the record describes at
    // that stride (nothing is sent); otherwise the driver's result.
    long SetFrame(const ZEBFramePtr& frame);
    long SetFrame(const ZEBFramePtr& frame, bool skipRealign);
    // Sends the frame binned by `binningFactor`; a factor whose binned size
    // cannot be packed (odd, not a multiple of 4 wide, below 1) sends nothing.
    void SetFrame(const ZEBFramePtr& frame, int32_t binningFactor);

    long RunOneFrame();
    long SetSensorMode(VirtualSensorMode mode);
    long PauseVirtualSensor(bool pause);
    void SetFpsInfo(int32_t fps);
    int32_t GetBinningFactor();
    uint32_t GetSensorPattern();
    static int32_t GetSensorRawAlignWidth(int32_t width);

    // Moves the frame's packed lines to the aligned stride, in place; false
    // (logged, flag left clear) when the buffer cannot hold the aligned image.
    bool SensorRawProcess(const ZEBFramePtr& frame);
    void ConvertFrame(const ZEBFramePtr& frame, isp_raw_proc_info* info);
    void ConvertFrame(const ZEBFramePtr& frame, isp_raw_proc_info* info, int32_t binningFactor);

private:
    long SendCommand(VirtualSensorCommand code, void* param);
    void FillRecord(isp_raw_proc_info* info, int32_t width, int32_t height, int fd);
    static void CompactLines(const ZEBFramePtr& frame);

    std::atomic<zeb_sensor_ioctl_t> mSensorIoctl{nullptr};
    std::atomic<void*> mGrabHandle{nullptr};
    void* const mOemCxt;
    const int32_t mCameraId;
};

}  // namespace ZEB
