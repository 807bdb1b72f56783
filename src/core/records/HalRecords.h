#pragma once
// The HAL's records: what its virtual-sensor driver takes (command records and
// callback types, whose layouts the static_asserts keep), what the library
// reads of the HAL's OEM context and dumps, the records it fills for the HAL's
// result queries, and what it hands to the post-processing parameter set. The
// layouts are the HAL's; the tests hold them to the written-out numbers.
#include <cstddef>
#include <cstdint>

#include "core/records/Field.h"

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
    return oemCxt ? ReadField<void*>(oemCxt, kOemCxtSensorHandleOffset) : nullptr;
}

inline uint32_t OemCxtSensorPattern(const void* oemCxt) {
    return oemCxt ? ReadField<uint32_t>(oemCxt, kOemCxtSensorPatternOffset) : 0;
}

// ZOLTDEF_INFO (1,392 bytes) and CONTROL_INFO (324 bytes), for the manual record.
namespace ZoltDef {
constexpr size_t kSize = 1392;
constexpr size_t kContrast = 38;
constexpr size_t kSaturation = 39;
constexpr size_t kIso = 41;
constexpr size_t kAmMode = 42;
constexpr size_t kWbCt = 1308;
}  // namespace ZoltDef
namespace ControlInfo {
constexpr size_t kSize = 324;
constexpr size_t kAeExposureCompensation = 252;
constexpr size_t kWbMode = 279;
}  // namespace ControlInfo

// Records filled for the HAL by the result queries.
namespace YuvDescriptor {
constexpr size_t kSize = 304;
constexpr size_t kWidth = 4;
constexpr size_t kHeight = 8;
constexpr size_t kAddress = 32;
constexpr size_t kFd = 56;
constexpr size_t kFrameId = 72;
}  // namespace YuvDescriptor
namespace SceneInfoOut {
constexpr size_t kSize = 48;
constexpr size_t kIsHdrScene = 0;
constexpr size_t kIsMfnrScene = 4;
constexpr size_t kIsMfnrHdrScene = 8;
constexpr size_t kIsRawMfnrScene = 12;
constexpr size_t kSessionMode = 20;
constexpr size_t kWidth = 24;
constexpr size_t kHeight = 28;
constexpr size_t kZoomRatio = 32;
constexpr size_t kAppMode = 36;
constexpr size_t kTopAppId = 40;
constexpr size_t kZoltAppmodeId = 44;
}  // namespace SceneInfoOut
namespace SmartInfoOut {
constexpr size_t kSize = 32;
constexpr size_t kAppMode = 0;
constexpr size_t kAblWeight = 4;
constexpr size_t kSensorGain = 16;
constexpr size_t kIspGain = 20;
constexpr size_t kAwbCt = 24;
constexpr size_t kBv = 28;
}  // namespace SmartInfoOut
namespace ManualInfoOut {
constexpr size_t kSize = 20;
constexpr size_t kWbMode = 0;
constexpr size_t kSaturation = 1;
constexpr size_t kContrast = 2;
constexpr size_t kAmMode = 3;
constexpr size_t kWbCt = 4;
constexpr size_t kIso = 8;
constexpr size_t kAeExposureCompensation = 12;
constexpr size_t kSensitivity = 16;
}  // namespace ManualInfoOut
namespace AndroidInfoOut {
constexpr size_t kSize = 12;
constexpr size_t kAeMode = 0;
constexpr size_t kFlashMode = 4;
constexpr size_t kLcdFlashMode = 8;
}  // namespace AndroidInfoOut

// Records handed to the post-processing parameter set: the face lists of the
// scene record (ids 2050 and 2104) and the lens shading tables of a raw
// multi-frame capture.
namespace FaceRecord {
constexpr size_t kSize = 13864;
constexpr size_t kCount = 16;  // 64-bit
constexpr size_t kFace0 = 2824;
constexpr size_t kFaceStride = 196;
// Faces that fit the record after its first face.
constexpr int kMaxFaces = static_cast<int>((kSize - kFace0 - 4 * sizeof(int32_t)) / kFaceStride) + 1;
}  // namespace FaceRecord
namespace RawMultiFrame {
constexpr size_t kSize = 208;
constexpr size_t kLscTable = 40;
constexpr size_t kLscWTable = 48;
}  // namespace RawMultiFrame

// Parameter-set ids used by the hand-over.
namespace PsId {
constexpr int kFacePrev = 2050;
constexpr int kSceneDetect = 2056;
constexpr int kCapAeParams = 2061;
constexpr int kFaceCap = 2104;
constexpr int kRawMultiFrame = 65578;
constexpr int kFdIspInfo = 65626;
constexpr int kOfflineResult = 65671;
constexpr int kXtmResult = 65681;
}  // namespace PsId

}  // namespace ZEB
