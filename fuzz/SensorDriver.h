#pragma once
// The HAL's virtual-sensor driver as the harnesses play it: it answers the
// binning-factor request with a value the input chose, and checks each frame
// record it is handed against the buffer behind its descriptor, as a driver
// that maps that buffer would read it. A record the buffer cannot hold aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/records/HalRecords.h"
#include "frame/ZEBFrame.h"

namespace zeb_fuzz {

struct SensorDriver {
    const ZEB::ZEBFrame* frame = nullptr;  // whose buffers the records may name
    int32_t binningFactor = 0;
    uint32_t pattern = 0;  // the colour pattern every frame record must carry
    int frames = 0;

    static SensorDriver& Get() {
        static SensorDriver driver;
        return driver;
    }

    static long Ioctl(void*, unsigned int, unsigned long tag, unsigned long arg) {
        SensorDriver& self = Get();
        if (tag != ZEB::kVirtualSensorIoctlTag) abort();
        ZEB::vsensor_cmd_t command;
        memcpy(&command, reinterpret_cast<const void*>(arg), sizeof command);
        void* param = reinterpret_cast<void*>(static_cast<uintptr_t>(command.param));
        if (command.cmd == ZEB::VSENSOR_CMD_GET_BINNING_FACTOR) {
            static_cast<ZEB::vsensor_binning_info_t*>(param)->factor = self.binningFactor;
        } else if (command.cmd == ZEB::VSENSOR_CMD_SET_FRAME) {
            self.Check(*static_cast<const ZEB::isp_raw_proc_info*>(param));
        }
        return 0;
    }

    void Check(const ZEB::isp_raw_proc_info& record) const {
        ++const_cast<SensorDriver*>(this)->frames;
        if (!frame || record.type != 3 || memcmp(record.format, "GREY", 4) != 0 || record.pattern != pattern) abort();
        size_t bytes = 0;
        if (record.fd == ZEB::BufferFd(frame->mMipiRawBuf)) bytes = ZEB::BufferBytes(frame->mMipiRawBuf);
        if (record.fd == ZEB::BufferFd(frame->mBinningRawBuf)) bytes = ZEB::BufferBytes(frame->mBinningRawBuf);
        const uint64_t lines = record.height;
        const uint64_t stride = static_cast<uint64_t>(ZEB::ZEBFrame::AlignedStride(static_cast<int>(record.width)));
        if (record.width > INT32_MAX || record.offset + lines * stride > bytes) abort();
    }
};

}  // namespace zeb_fuzz
