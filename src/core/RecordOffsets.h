#pragma once
// Byte positions inside the vendor and HAL records this library reads from a
// recording or fills for the HAL. They are named once, here, so that the
// simulation code, the HAL emulator and the tests agree on every layout.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ZEB {

// The 1,152-byte scene record of a task (iSceneInfo). A frame's ISCENE_INFO
// dump begins with the same layout, so both are read through these offsets.
namespace SceneRecord {
constexpr size_t kSize = 1152;
// commonInfo
constexpr size_t kWidth = 8;
constexpr size_t kHeight = 12;
constexpr size_t kZoomRatio = 16;
constexpr size_t kAppMode = 36;
constexpr size_t kTopAppId = 40;
constexpr size_t kZoltAppmodeId = 44;
constexpr size_t kDeviceOrientation = 64;
constexpr size_t kSessionMode = 68;
// switchInfo, one byte each
constexpr size_t kFaceBeautyOn = 72;
constexpr size_t kIsFlashOn = 83;
// ThreeAInfo
constexpr size_t kBv = 84;
constexpr size_t kSensorGain = 88;
constexpr size_t kIspGain = 92;
constexpr size_t kAwbCt = 96;
constexpr size_t kAblWeight = 100;
// postprocInfo
constexpr size_t kAiSceneType = 116;
constexpr size_t kIsHdrScene = 120;
constexpr size_t kIsMfnrScene = 124;
constexpr size_t kIsMfsrScene = 128;
constexpr size_t kIsMfnrHdrScene = 132;
constexpr size_t kIsRawMfnrScene = 140;
constexpr size_t kIsXdrScene = 144;
// capInfo
constexpr size_t kPostprocType = 148;
constexpr size_t kNormalNum = 152;
constexpr size_t kTotalNum = 156;
constexpr size_t kMergeFrameNum = 160;
constexpr size_t kJpegOrientation = 164;
// hdrDetectOut: ten EVs, ten shutters, ten gains, then scalars
constexpr size_t kHdrEv = 172;
constexpr size_t kHdrShutter = 212;
constexpr size_t kTuningParamIndex = 296;
constexpr size_t kSceneChosen = 320;
constexpr int kEvCount = 10;
// FDInfo
constexpr size_t kFaceCount = 332;
constexpr size_t kFacePrev = 336;
constexpr size_t kFaceCap = 736;
constexpr int kFaceListLength = 100;
// androidTag
constexpr size_t kAeMode = 1136;
constexpr size_t kFlashMode = 1140;
constexpr size_t kLcdFlashMode = 1144;
constexpr size_t kValid = 1148;
// The "UltraRes" capture rule tests the second hdrDetectOut shutter entry.
constexpr size_t kUltraResShutter = kHdrShutter + 4;
}  // namespace SceneRecord

// A frame's 4,904-byte scene-detect output (SCENE_DETECT_OUT), which has the
// layout of the scene-info record handed to the parameter set as id 2056.
namespace SceneDetectOut {
constexpr size_t kSize = 4904;
constexpr size_t kPostprocType = 0;
constexpr size_t kEv = 4;  // ten floats, bytes 4 to 43
constexpr size_t kTotalNum = 56;
constexpr size_t kNormalNum = 60;
constexpr size_t kHdrEv = 64;  // two floats
constexpr size_t kMergeFrameNum = 888;
constexpr size_t kHdr = 4832;
constexpr size_t kMfnr = 4840;
constexpr size_t kMfsr = 4856;
constexpr size_t kMfnrHdr = 4860;
constexpr size_t kRawMfnrHdr = 4868;
// The three words before is_highlight_nozsl describe a multi-frame capture;
// they are cleared when the capture takes one frame.
constexpr size_t kMultiFrameFields[3] = {4884, 4888, 4892};
constexpr size_t kIsHighlightNozsl = 4896;
}  // namespace SceneDetectOut

// CAP_AE_PARAMS (644 bytes): sixteen 40-byte EV slots from byte 40, the EV
// being the first float of a slot.
namespace CapAeParams {
constexpr size_t kSize = 644;
constexpr size_t kSlot0 = 40;
constexpr size_t kSlotSize = 40;
constexpr int kSlots = 16;
constexpr size_t Slot(int i) { return kSlot0 + kSlotSize * static_cast<size_t>(i); }
}  // namespace CapAeParams

// The HAL's 1,248-byte AE result (AE_RESULT_INFO).
namespace AeResult {
constexpr size_t kSize = 1248;
constexpr size_t kBv = 0;
constexpr size_t kLum = 4;
constexpr size_t kEv = 12;
constexpr size_t kFrameId = 56;
constexpr size_t kGain = 84;  // also the instance's sensitivity
constexpr size_t kIso = 96;
}  // namespace AeResult

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

// XTM_RESULT_INFO (17,436 bytes).
namespace XtmResult {
constexpr size_t kSize = 17436;
constexpr size_t kGtm = 0;
constexpr size_t kGamma = 16920;  // 257 16-bit values
}  // namespace XtmResult

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

// Records handed to the post-processing parameter set.
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
namespace SceneInfoRecord = SceneDetectOut;

constexpr int kOfflineAeSize = 128;
constexpr int kIscenInfoSize = 8512;

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

// Unaligned access to a field of a byte image.
template <class T>
inline T ReadField(const void* base, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return value;
}
template <class T>
inline void WriteField(void* base, size_t offset, T value) {
    std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

}  // namespace ZEB
