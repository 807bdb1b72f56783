#pragma once
// Records and callback types shared with the HAL's virtual-sensor driver. Their
// byte layouts are fixed by the driver; the static_asserts keep them so.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ZEB {

// The HAL's sensor I/O control entry: (sensor handle, command, argument, argument).
typedef long (*zeb_sensor_ioctl_t)(void* sensorHandle, unsigned int command, unsigned long arg1,
                                   unsigned long arg2);
// The HAL's grab operation; the library only passes it on as an opaque handle.
typedef long (*zeb_grab_ops_t)(void*, void*);

// Commands of the virtual-sensor driver (first byte of the command record).
enum VirtualSensorCommand : uint8_t {
    VSENSOR_CMD_GET_BINNING_FACTOR = 0x1f,
    VSENSOR_CMD_SET_SENSOR_MODE = 0x24,
    VSENSOR_CMD_SET_FRAME = 0x25,
    VSENSOR_CMD_RUN_ONE_FRAME = 0x26,
    VSENSOR_CMD_SET_OEM_CXT = 0x27,
    VSENSOR_CMD_PAUSE = 0x28,
    VSENSOR_CMD_SET_FPS = 0x2a,
};

// Every request goes through the ioctl with this value as its third argument.
constexpr unsigned long kVirtualSensorIoctlTag = 32;

// The mode word passed with VSENSOR_CMD_SET_SENSOR_MODE; the driver gives the
// values their meaning, any 32-bit value is passed through.
enum VirtualSensorMode : int32_t {
    VIRTUAL_SENSOR_MODE_PREVIEW = 0,
    VIRTUAL_SENSOR_MODE_CAPTURE = 1,
};

// One request: command code in byte 0 (bytes 1..7 zero), then the address of
// the command's parameter. Built on the caller's stack for each call.
struct vsensor_cmd_t {
    uint8_t cmd;
    uint8_t reserved[7];
    uint64_t param;
};
static_assert(sizeof(vsensor_cmd_t) == 16 && offsetof(vsensor_cmd_t, param) == 8,
              "the driver reads a 16-byte command record");

// Parameter of VSENSOR_CMD_GET_BINNING_FACTOR: the driver writes the factor at byte 32.
struct vsensor_binning_info_t {
    uint8_t reserved[32];
    int32_t factor;
    int32_t reserved2;
};
static_assert(sizeof(vsensor_binning_info_t) == 40 && offsetof(vsensor_binning_info_t, factor) == 32,
              "40-byte record, factor at byte 32");

// Parameter of VSENSOR_CMD_SET_OEM_CXT.
struct vsensor_oem_cxt_t {
    void* oem_cxt;
    void* grab_handle;
};
static_assert(sizeof(vsensor_oem_cxt_t) == 16, "OEM context then grab handle");

// Description of a raw image handed to the driver with VSENSOR_CMD_SET_FRAME.
// Only the named fields are written; every other byte stays zero.
struct isp_raw_proc_info {
    uint32_t type;           // 0: always 3
    uint32_t width;          // 4
    uint32_t height;         // 8
    uint8_t reserved0[40];   // 12
    char format[4];          // 52: "GREY"
    uint32_t pattern;        // 56: sensor colour pattern
    uint8_t reserved1[8];    // 60
    int32_t fd;              // 68: descriptor of the buffer holding the packed raw
    uint8_t reserved2[12];   // 72
    uint32_t offset;         // 84: offset of the image in that buffer
    uint8_t reserved3[40];   // 88
};
static_assert(offsetof(isp_raw_proc_info, width) == 4 && offsetof(isp_raw_proc_info, height) == 8 &&
                  offsetof(isp_raw_proc_info, format) == 52 && offsetof(isp_raw_proc_info, pattern) == 56 &&
                  offsetof(isp_raw_proc_info, fd) == 68 && offsetof(isp_raw_proc_info, offset) == 84 &&
                  sizeof(isp_raw_proc_info) == 128,
              "driver layout of isp_raw_proc_info");

// What the library reads of the HAL's OEM context (a record the HAL owns).
constexpr size_t kOemCxtSensorHandleOffset = 112;  // pointer-sized
constexpr size_t kOemCxtSensorPatternOffset = 132;  // 32-bit

inline void* OemCxtSensorHandle(const void* oemCxt) {
    if (!oemCxt) return nullptr;
    void* handle = nullptr;
    memcpy(&handle, static_cast<const uint8_t*>(oemCxt) + kOemCxtSensorHandleOffset, sizeof handle);
    return handle;
}

inline uint32_t OemCxtSensorPattern(const void* oemCxt) {
    if (!oemCxt) return 0;
    uint32_t pattern = 0;
    memcpy(&pattern, static_cast<const uint8_t*>(oemCxt) + kOemCxtSensorPatternOffset, sizeof pattern);
    return pattern;
}

}  // namespace ZEB
