#pragma once
// The 3A records: the results a device's AE, AWB, lens shading and tone
// mapping leave with each frame (a dump is the byte image of the HAL's own
// record), the capture AE parameters, and what the hand-over gives the offline
// 3A modules. The recording generator writes these layouts, the library reads
// them, and the HAL emulator's algorithms produce and check them; the tests
// hold them to the written-out numbers. Offsets in bytes, integers
// little-endian.
#include <cstddef>
#include <cstdint>

namespace ZEB {

// AE result (AE_RESULT_INFO).
namespace AeResult {
constexpr size_t kSize = 1248;
constexpr size_t kBv = 0;                    // int32
constexpr size_t kLum = 4;                   // uint32
constexpr size_t kEv = 12;                   // float
constexpr size_t kFrameId = 56;              // int32
constexpr size_t kGain = 84;                 // int32, 128 = 1x; also the instance's sensitivity
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
}  // namespace AeResult

// CAP_AE_PARAMS (644 bytes): sixteen 40-byte EV slots from byte 40, the EV
// being the first float of a slot.
namespace CapAeParams {
constexpr size_t kSize = 644;
constexpr size_t kSlot0 = 40;
constexpr size_t kSlotSize = 40;
constexpr int kSlots = 16;
constexpr size_t Slot(int i) { return kSlot0 + kSlotSize * static_cast<size_t>(i); }
}  // namespace CapAeParams

// AWB result (AWB_CALC_INFO).
namespace AwbCalc {
constexpr size_t kSize = 120;
constexpr size_t kGainR = 0, kGainG = 4, kGainB = 8;  // uint32, 1024 = 1x
constexpr size_t kCt = 44;                            // uint32, kelvin
constexpr size_t kCcm = 56;                           // 9 x int16, row by row, 1024 = 1
constexpr size_t kCcmBytes = 18;
constexpr size_t kTimestamp = 96;                     // uint64
constexpr size_t kStatsIndex = 104;                   // uint32
constexpr size_t kFrameId = 112;                      // uint32
}  // namespace AwbCalc

// Lens shading: the "ALSC 3" result (LSC_RESULT_INFO) and the "ALSC 4" one
// (LSC4_RESULT_INFO), each pointing at the recorded table buffers.
namespace LscResult {
constexpr size_t kSize = 32;
constexpr size_t kTableIndex = 0;  // uint32
constexpr size_t kGridSize = 4;    // uint16
constexpr size_t kValid = 8;       // uint64: non-zero when the frame used this format
}  // namespace LscResult
namespace Lsc4Result {
constexpr size_t kSize = 208;
constexpr size_t kBypass = 4;       // uint32
constexpr size_t kUpdateAll = 8;    // uint32
constexpr size_t kGrid = 12;        // 5 x uint32
constexpr size_t kWeight = 32;      // 3 x uint32
constexpr size_t kFieldsBytes = 40;  // bypass to the last weight: bytes 4 to 43
constexpr size_t kValid = 48;       // uint64: non-zero when the frame used this format
constexpr size_t kGridWidthX = 80;  // uint32
constexpr size_t kGridWidthY = 84;  // uint32
}  // namespace Lsc4Result

// Tone mapping result (XTM_RESULT_INFO).
namespace XtmResult {
constexpr size_t kSize = 17436;
constexpr size_t kGtm = 0;           // 8 x uint16
constexpr size_t kGtmSize = 16;
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
}  // namespace XtmResult

// Per-frame records the hand-over gives the offline 3A modules through the
// parameter registry. The addresses point into a frame's dump areas, which
// stay valid while the task holds its frames.

// "AE": one per frame of a task, handed over as a std::vector<ZebAeInfo>.
struct ZebAeInfo {
    void* aemInfo;   // AEM_INFO
    void* aeResult;  // AE_RESULT_INFO, 1,248 bytes
};

// "XTM": one per frame of a task, handed over as a std::vector<ZebXtmInfo>.
struct ZebXtmInfo {
    void* xtmResult;  // XTM_RESULT_INFO, 17,436 bytes
};

// "AWB": one per task.
struct ZebAwbInfo {
    void* aemInfo;  // AEM_FOR_AWB, or AEM_INFO when the former was not recorded
    void* awbCalc;  // AWB_CALC_INFO, 120 bytes
};

// "ALSC": one per task.
struct ZebAlscInfo {
    void* lscmInfo;
    void* lscResult;
    void* lsc4Result;
    void* lscTable;   // mapped LSC_RESULT_TABLE_INFO buffer, or null
    void* lscWTable;  // mapped LSC_RESULT_WTABLE_INFO buffer, or null
    // Usable bytes behind the two tables: a short table file is never read
    // past its end.
    size_t lscTableBytes;
    size_t lscWTableBytes;
};

// One frame's OFFLINE_AE_INFO dump as the HAL reads it back.
constexpr int kOfflineAeSize = 128;
struct ZebAeOfflineInfo {
    int32_t values[25];
    float gains[2];
    uint8_t reserved[20];
};
static_assert(sizeof(ZebAeOfflineInfo) == kOfflineAeSize, "OFFLINE_AE_INFO is 128 bytes");

}  // namespace ZEB
