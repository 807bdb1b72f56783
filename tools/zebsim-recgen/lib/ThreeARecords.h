#pragma once
// The 3A results a device records with each frame. A dump is the byte image
// of the HAL's own record, so these are the HAL's layouts: the recording
// generator writes them and the HAL emulator's algorithms produce and check
// them. Offsets in bytes, integers little-endian.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zeb_3a {

template <typename T>
T Get(const void* record, size_t offset) {
    T value;
    memcpy(&value, static_cast<const uint8_t*>(record) + offset, sizeof value);
    return value;
}
template <typename T>
void Put(void* record, size_t offset, T value) {
    memcpy(static_cast<uint8_t*>(record) + offset, &value, sizeof value);
}

// AE result (AE_RESULT_INFO).
namespace ae {
constexpr size_t kSize = 1248;
constexpr size_t kBv = 0;                    // int32
constexpr size_t kLum = 4;                   // uint32
constexpr size_t kEv = 12;                   // float
constexpr size_t kFrameId = 56;              // int32
constexpr size_t kGain = 84;                 // int32, 128 = 1x
constexpr size_t kIso = 96;                  // int32
constexpr size_t kHdrStep = 180;             // uint8: the second frame of a bracket
constexpr size_t kNextFrameId = 192;         // int32
constexpr size_t kTimestamp = 216;           // uint64, ns
constexpr size_t kExposureLine = 224;        // uint32
constexpr size_t kLcgGain = 232;             // uint32
constexpr size_t kFlashState = 260;          // uint32
constexpr size_t kHdrStepFlag = 528;         // uint32
constexpr size_t kSensorFrameId = 616;       // int32
constexpr size_t kStatsFrameId = 812;        // int32
constexpr size_t kOfflineCurFrameId = 1108;  // int32
constexpr size_t kSofTimestamp = 1208;       // uint64, ns
}  // namespace ae

// AWB result (AWB_CALC_INFO).
namespace awb {
constexpr size_t kSize = 120;
constexpr size_t kGainR = 0, kGainG = 4, kGainB = 8;  // uint32, 1024 = 1x
constexpr size_t kCt = 44;                            // uint32, kelvin
constexpr size_t kCcm = 56;                           // 9 x int16, row by row, 1024 = 1
constexpr size_t kTimestamp = 96;                     // uint64
constexpr size_t kStatsIndex = 104;                   // uint32
constexpr size_t kFrameId = 112;                      // uint32
}  // namespace awb

// Lens shading: the "ALSC 3" result (LSC_RESULT_INFO) and the "ALSC 4" one
// (LSC4_RESULT_INFO), each pointing at the recorded table buffers.
namespace lsc {
constexpr size_t kSize = 32;
constexpr size_t kTableIndex = 0;  // uint32
constexpr size_t kGridSize = 4;    // uint16
constexpr size_t kValid = 8;       // uint64: non-zero when the frame used this format
}  // namespace lsc
namespace lsc4 {
constexpr size_t kSize = 208;
constexpr size_t kBypass = 4;       // uint32
constexpr size_t kUpdateAll = 8;    // uint32
constexpr size_t kGrid = 12;        // 5 x uint32
constexpr size_t kWeight = 32;      // 3 x uint32
constexpr size_t kValid = 48;       // uint64: non-zero when the frame used this format
constexpr size_t kGridWidthX = 80;  // uint32
constexpr size_t kGridWidthY = 84;  // uint32
}  // namespace lsc4

// Tone mapping result (XTM_RESULT_INFO).
namespace xtm {
constexpr size_t kSize = 17436;
constexpr size_t kGtm = 0;           // 8 x uint16
constexpr size_t kGtmTarget = 16;    // uint16
constexpr size_t kGtmStrength = 18;  // uint16
constexpr size_t kLtm = 20;          // local tone map, 16384 bytes of uint16
constexpr size_t kLtmSize = 16384;
constexpr size_t kLtmTiles = 16404;  // uint32
constexpr size_t kCurve = 16408;     // 512 bytes
constexpr size_t kCurveSize = 512;
constexpr size_t kGamma = 16920;  // 257 x uint16, monotone
constexpr size_t kGammaPoints = 257;
constexpr size_t kGammaSize = 514;
}  // namespace xtm

}  // namespace zeb_3a
