#pragma once
// The HAL's side of its four 3A algorithms (AE, AWB, lens shading ALSC, tone
// mapping XTM): the operation table each algorithm library exports, the result
// callback, and the records the HAL and the algorithms exchange. The results
// themselves have the layouts of the recorded dumps (ThreeARecords.h).
#include <cstddef>
#include <cstdint>

#include "core/records/Field.h"
#include "core/records/ThreeARecords.h"

namespace zeb_hal {
namespace hal3a {

using ZEB::ReadField;
using ZEB::WriteField;

// Operation table: four entries in this order. Entry 1 is the algorithm's
// deinit; the HAL calls the entries through the table it got back.
enum OpsEntry { kOpsInit = 0, kOpsDeinit = 1, kOpsProcess = 2, kOpsIoctl = 3, kOpsEntries = 4 };
// The kind the HAL names the table by when it hands it over.
enum OpsKind { kOpsAe = 0, kOpsAwb = 1, kOpsAlsc = 2, kOpsXtm = 5 };

// How an algorithm reports a result: (handle, type, parameter, data).
using ResultCallback = int (*)(void*, int64_t, void*, void*);
using DeinitFunc = int (*)(void*);
using IoctlFunc = int (*)(void*, uint32_t, void*, void*);
using ProcessFunc = int (*)(void*, void*, void*);

namespace ae {
using ZEB::AeResult::kSize;
// ae_init_in: the result callback the algorithm reports through.
constexpr size_t kInitSize = 512;
constexpr size_t kInitCallback = 256;
using InitFunc = int (*)(void* initIn, void* initOut, void* handleOut);
constexpr int64_t kCbResult = 6;            // data: the 1,248-byte result; parameter: 64-bit 0 for a frame result
constexpr int64_t kCbSkipFrame = 5;         // data: the result of a skipped frame
constexpr uint32_t kIoctlGetResult = 0x20;  // output: a copy of the latest result
}  // namespace ae

namespace awb {
using ZEB::AwbCalc::kSize;
constexpr size_t kInitSize = 512;
constexpr size_t kInitCallback = 376;
using InitFunc = int (*)(void* initParam, void* handleOut);
// awb_ctrl_calc_param: the three statistics planes of 65,536 bytes.
constexpr size_t kCalcSize = 128;
constexpr size_t kCalcPlanes[3] = {56, 64, 72};
constexpr size_t kPlaneSize = 65536;
constexpr int64_t kCbResult = 32;  // data: pointer table, entry 1 the 120-byte result
constexpr int64_t kCbCcm = 33;     // parameter: 9 x int16 ccm
constexpr int64_t kCbGains = 29;   // parameter: 3 x uint32 gains
constexpr uint32_t kIoctlGetGain = 257;
// The output of kIoctlGetGain: gains and what follows them, the ccm.
constexpr size_t kGainOutSize = 64;
constexpr size_t kGainOutHead = 0, kGainOutHeadSize = 32;  // result bytes 0..31
constexpr size_t kGainOutCcm = 36, kGainOutCcmSize = 16;   // result bytes 56..71
constexpr size_t kGainOutCcmLast = 52;                     // result's 16-bit value at 72
}  // namespace awb

namespace alsc {
constexpr size_t kInitSize = 512;
constexpr size_t kInitCallback = 256;
using InitFunc = int (*)(void* initParam, void* handleOut);
// lsc_adv_calc_param: four 64-bit statistics plane addresses.
constexpr size_t kCalcSize = 64;
constexpr size_t kCalcPlanes[4] = {0, 8, 16, 24};
constexpr size_t kPlaneSize = 65536;
constexpr size_t kStatsSize = 196620;  // the recorded LSCM_INFO
constexpr int64_t kCbResult = 28;      // parameter: the shading result below
constexpr int64_t kCbOther = 27;
// The shading result reported with kCbResult.
constexpr size_t kResultSize = 256;
// "ALSC 3" form
constexpr size_t kV3TableIndex = 216;  // uint32
constexpr size_t kV3GridSize = 220;    // uint16
constexpr size_t kV3Table = 224;       // table address
// "ALSC 4" form
constexpr size_t kV4Params = 12;     // 10 x uint32: bypass, update_all, grid[5], weight[3]
constexpr size_t kV4ParamsFrom = 4;  // their place in LSC4_RESULT_INFO
constexpr size_t kV4ParamsSize = 40;
constexpr size_t kV4Table = 56;
constexpr size_t kV4WTables[3] = {64, 72, 80};
constexpr size_t kV4GridWidthX = 88, kV4GridWidthY = 92;
// Ioctl kIoctlGetLsc4: the output is two pointer-sized fields, the second the
// address of a 208-byte LSC 4 result.
constexpr uint32_t kIoctlGetLsc4 = 8;
}  // namespace alsc

namespace xtm {
constexpr size_t kInitSize = 256;
constexpr size_t kInitResultSize = 64;
using InitFunc = int (*)(void* initParam, void* initResult, void* handleOut);
constexpr size_t kCalcSize = 64;
// xtm_ctrl_calc_result
constexpr size_t kResultSize = 640;
constexpr size_t kGtm = 24, kGtmSize = 16;
constexpr size_t kGtmTarget = 42, kGtmStrength = 44;  // uint16
constexpr size_t kLtmBuffer = 48;                     // address of the local tone map, 16,384 bytes
constexpr size_t kLtmTiles = 56;                      // uint32
constexpr size_t kCurve = 60, kCurveSize = 512;
constexpr size_t kGammaBuffer = 576;  // address of the gamma curve, 514 bytes
constexpr uint32_t kIoctlGetStatus = 2;
}  // namespace xtm

}  // namespace hal3a
}  // namespace zeb_hal
