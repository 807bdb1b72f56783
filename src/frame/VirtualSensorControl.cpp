#include "frame/VirtualSensorControl.h"

#include <algorithm>
#include <cstring>

#include "frame/RawKernels.h"
#include "platform/Log.h"

namespace ZEB {
namespace {

const char* const kTag = "VirtualSensorCtrl";

}  // namespace

VirtualSensorControl::VirtualSensorControl(void* oemCxt, int32_t cameraId) : mOemCxt(oemCxt), mCameraId(cameraId) {
    ZLOG(kTag, 4, "%d, %s: Prepare to setOemHandle to Sensor");
}

VirtualSensorControl::~VirtualSensorControl() { mGrabHandle = nullptr; }

long VirtualSensorControl::SendCommand(VirtualSensorCommand code, void* param) {
    const zeb_sensor_ioctl_t sensorIoctl = mSensorIoctl.load();
    if (!sensorIoctl) {
        ZLOG(kTag, 1, "%d, %s: No sensor ioctl installed, command 0x%x not sent", static_cast<unsigned>(code));
        return -1;
    }
    vsensor_cmd_t command;
    memset(&command, 0, sizeof command);
    command.cmd = code;
    command.param = reinterpret_cast<uintptr_t>(param);
    return sensorIoctl(OemCxtSensorHandle(mOemCxt), static_cast<unsigned int>(mCameraId), kVirtualSensorIoctlTag,
                       static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&command)));
}

void VirtualSensorControl::SetSensorOps(zeb_sensor_ioctl_t sensorIoctl) { mSensorIoctl = sensorIoctl; }

long VirtualSensorControl::SetGrabOps(void* grabHandle) {
    mGrabHandle = grabHandle;
    return SetOemCxt2SensorDrv();
}

long VirtualSensorControl::SetOemCxt2SensorDrv() {
    ZLOG(kTag, 4, "%d, %s: Grab Handle is %p vs %p", mOemCxt, mOemCxt);
    vsensor_oem_cxt_t context{mOemCxt, mGrabHandle.load()};
    return SendCommand(VSENSOR_CMD_SET_OEM_CXT, &context);
}

long VirtualSensorControl::SetFrame(const ZEBFramePtr& frame) { return SetFrame(frame, false); }

long VirtualSensorControl::SetFrame(const ZEBFramePtr& frame, bool skipRealign) {
    if (!frame) {
        // No record to point the driver at: sending would hand it a null address.
        ZLOG(kTag, 4, "%d, %s: Could not find frame");
        return -1;
    }
    // The driver maps the record's lines at the aligned stride: a record the
    // buffer cannot hold would make it read past the buffer.
    const int32_t width = frame->mRawWidth, height = frame->mRawHeight;
    const uint64_t mapped =
        static_cast<uint64_t>(ZEBFrame::AlignedStride(width)) * static_cast<uint64_t>(std::max(height, 0));
    if (width < 0 || height < 0 || mapped > BufferBytes(frame->mMipiRawBuf)) {
        ZLOG(kTag, 1, "%d, %s: Raw buffer of %s holds %zu bytes, not %d lines of %d bytes of [%d, %d]: frame not sent",
             frame->mFilePath, BufferBytes(frame->mMipiRawBuf), height, ZEBFrame::AlignedStride(width), width,
             height);
        return -1;
    }
    if (!skipRealign && !frame->mRawAligned) SensorRawProcess(frame);
    if (skipRealign && !frame->mRawAligned && frame->mRawAtStride) CompactLines(frame);
    ConvertFrame(frame, &frame->mRawProcInfo);
    ZLOG(kTag, 4, "%d, %s: Set Frame to VirtualSensor with SensorRaw Addr %p", static_cast<void*>(&frame->mRawProcInfo));
    return SendCommand(VSENSOR_CMD_SET_FRAME, &frame->mRawProcInfo);
}

void VirtualSensorControl::SetFrame(const ZEBFramePtr& frame, int32_t binningFactor) {
    if (!frame) {
        ZLOG(kTag, 4, "%d, %s: Could not find frame");
        return;
    }
    const int32_t width = frame->mRawWidth, height = frame->mRawHeight;
    if (width == 0 || height == 0) return;
    if (!ZEBFrame::BinningFactorUsable(width, height, binningFactor)) {
        ZLOG(kTag, 1, "%d, %s: Binning factor %d does not fit raw size [%d, %d], frame not sent", binningFactor, width,
             height);
        return;
    }
    const int binnedStride = ZEBFrame::AlignedStride(width / binningFactor);
    const int stride = ZEBFrame::AlignedStride(width);
    ZLOG(kTag, 4, "%d, %s: width %d,sensor_width %d", binnedStride, stride);
    // Decode the lines where they are: at the aligned stride once read or
    // realigned there, else back to back as stored in the file. Unpacking, binning and
    // packing run band by band, in one pass over the image.
    const int held = frame->mRawAligned || frame->mRawAtStride ? stride : ZEBFrame::PackedLineBytes(width);
    const uint64_t spans = static_cast<uint64_t>(held) * static_cast<uint64_t>(height - 1) +
                           static_cast<uint64_t>(ZEBFrame::PackedLineBytes(width));
    if (spans > BufferBytes(frame->mMipiRawBuf)) {
        ZLOG(kTag, 1, "%d, %s: Raw buffers of %s cannot hold [%d, %d], frame not sent", frame->mFilePath, width,
             height);
        return;
    }
    if (!ZEBFrame::CreateBinningFrame(frame, binningFactor, binnedStride, held)) {
        ZLOG(kTag, 1, "%d, %s: Could not bin %s by %d, frame not sent", frame->mFilePath, binningFactor);
        return;
    }
    ConvertFrame(frame, &frame->mRawProcInfo, binningFactor);
    ZLOG(kTag, 4, "%d, %s: Set Frame to VirtualSensor with SensorRaw Addr %p", static_cast<void*>(&frame->mRawProcInfo));
    SendCommand(VSENSOR_CMD_SET_FRAME, &frame->mRawProcInfo);
}

bool VirtualSensorControl::SensorRawProcess(const ZEBFramePtr& frame) {
    if (!frame) return false;
    const int32_t width = frame->mRawWidth, height = frame->mRawHeight;
    const int lineBytes = ZEBFrame::PackedLineBytes(width);
    const int stride = lineBytes % 16 == 0 ? lineBytes : ZEBFrame::AlignedStride(width);
    if (stride != lineBytes && !frame->mRawAtStride) {
        uint8_t* raw = BufferAddress(frame->mMipiRawBuf);
        if (!raw || height < 1 ||
            static_cast<uint64_t>(stride) * static_cast<uint64_t>(height) > BufferBytes(frame->mMipiRawBuf)) {
            ZLOG(kTag, 1, "%d, %s: Raw buffer of %s cannot hold %d lines of %d bytes, not realigned", frame->mFilePath,
                 height, stride);
            return false;
        }
        // In place, last line first: no scratch copy of the image.
        raw::RealignLines(raw, static_cast<size_t>(lineBytes), static_cast<size_t>(stride), height);
    }
    frame->mRawAligned = true;
    ZLOG(kTag, 4, "%d, %s: AlignWidth is %d vs %d with base %d, Height %d", stride, lineBytes, 16, height);
    return true;
}

// The skip variant sends the lines as the file stores them, back to back:
// lines read straight to the stride are moved together again (first line
// first), the bytes after them zeroed as after a plain read.
void VirtualSensorControl::CompactLines(const ZEBFramePtr& frame) {
    const int32_t height = frame->mRawHeight;
    const size_t line = static_cast<size_t>(ZEBFrame::PackedLineBytes(frame->mRawWidth));
    const size_t stride = static_cast<size_t>(ZEBFrame::AlignedStride(frame->mRawWidth));
    uint8_t* raw = BufferAddress(frame->mMipiRawBuf);
    if (!raw || height < 1 || stride * static_cast<size_t>(height) > BufferBytes(frame->mMipiRawBuf)) return;
    for (int32_t r = 1; r < height; ++r) memmove(raw + line * r, raw + stride * r, line);
    memset(raw + line * height, 0, (stride - line) * height);
    frame->mRawAtStride = false;
}

void VirtualSensorControl::FillRecord(isp_raw_proc_info* info, int32_t width, int32_t height, int fd) {
    memset(info, 0, sizeof *info);
    memcpy(info->format, "GREY", 4);
    info->pattern = GetSensorPattern();
    info->width = static_cast<uint32_t>(width);
    info->height = static_cast<uint32_t>(height);
    info->fd = fd;
    info->offset = 0;
    ZLOG(kTag, 4, "%d, %s: Param with size [%d, %d], fd %d, offset %d", width, height, fd, 0);
    info->type = 3;
}

void VirtualSensorControl::ConvertFrame(const ZEBFramePtr& frame, isp_raw_proc_info* info) {
    if (!info || !frame || !frame->mMipiRawBuf) {
        ZLOG(kTag, 4, "%d, %s: Could not find frame");
        return;
    }
    FillRecord(info, frame->mRawWidth, frame->mRawHeight, BufferFd(frame->mMipiRawBuf));
}

void VirtualSensorControl::ConvertFrame(const ZEBFramePtr& frame, isp_raw_proc_info* info, int32_t binningFactor) {
    if (!info || !frame || !frame->mBinningRawBuf) {
        ZLOG(kTag, 4, "%d, %s: Could not find frame");
        return;
    }
    const int32_t width = binningFactor ? frame->mRawWidth / binningFactor : 0;
    const int32_t height = binningFactor ? frame->mRawHeight / binningFactor : 0;
    FillRecord(info, width, height, BufferFd(frame->mBinningRawBuf));
}

long VirtualSensorControl::RunOneFrame() {
    uint8_t run = 1;
    return SendCommand(VSENSOR_CMD_RUN_ONE_FRAME, &run);
}

long VirtualSensorControl::SetSensorMode(VirtualSensorMode mode) {
    int32_t value = mode;
    return SendCommand(VSENSOR_CMD_SET_SENSOR_MODE, &value);
}

long VirtualSensorControl::PauseVirtualSensor(bool pause) {
    int32_t value = pause ? 1 : 0;
    ZLOG(kTag, 4, "%d, %s: Pausing VirtualSensor %d", value);
    return SendCommand(VSENSOR_CMD_PAUSE, &value);
}

void VirtualSensorControl::SetFpsInfo(int32_t fps) {
    int32_t value = fps;
    SendCommand(VSENSOR_CMD_SET_FPS, &value);
    ZLOG(kTag, 4, "%d, %s: virtualsensorctrl SetFpsInfo %d", fps);
}

int32_t VirtualSensorControl::GetBinningFactor() {
    vsensor_binning_info_t info;
    memset(&info, 0, sizeof info);
    SendCommand(VSENSOR_CMD_GET_BINNING_FACTOR, &info);
    ZLOG(kTag, 4, "%d, %s: virtualsensorctrl GetBinningFactor %d", info.factor);
    return info.factor;
}

uint32_t VirtualSensorControl::GetSensorPattern() { return OemCxtSensorPattern(mOemCxt); }

int32_t VirtualSensorControl::GetSensorRawAlignWidth(int32_t width) {
    return width % 16 == 0 ? width : width / 16 * 16 + 16;
}

}  // namespace ZEB
