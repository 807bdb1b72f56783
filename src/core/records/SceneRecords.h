#pragma once
// The scene records a device writes: the scene information record of a task
// (iSceneInfo, also the start of every frame's ISCENE_INFO dump) and a
// frame's scene-detect output. The layouts are the device's; the library, the
// HAL emulator and the recording tools read them through these offsets alone,
// and the tests hold them to the written-out numbers.
#include <cstddef>
#include <cstdint>

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
namespace SceneInfoRecord = SceneDetectOut;

}  // namespace ZEB
