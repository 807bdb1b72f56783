// The HAL's result queries on a task's first preview frame and on each
// capture, and the parameter records the hand-over gave, each checked against
// the recording's files.
#include <cstring>

#include "core/records/Field.h"
#include "core/records/HalRecords.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "core/records/HalRecords.h"
#include "parameter/SceneInfo.h"
#include "platform/ParamSet.h"
#include "zebsim-hal/lib/Emulator.h"

namespace zeb_hal {
using namespace ZEB;

void Emulator::PreviewQueries(Camera& c, size_t index) {
    const zeb_tools::LibraryEntries& api = mLibrary.entries();
    const ExpectedTask& task = mRecording.tasks[index];
    if (task.frames.empty()) return;
    const ExpectedFrame& first = task.frames.front();
    if (task.hasScene) SceneQueries(c, index);

    const auto zolt = first.Dump("ZOLTDEF_INFO.bin", ZoltDef::kSize);
    const auto control = first.Dump("CONTROL_INFO.bin", ControlInfo::kSize);
    const auto aeResult = first.Dump("AE_RESULT_INFO.bin", AeResult::kSize);
    uint8_t manual[ManualInfoOut::kSize] = {0};
    api.GetFrameManualInfo(c.handle, manual);
    bool ok = task.hasScene
                  ? manual[ManualInfoOut::kWbMode] == control[ControlInfo::kWbMode] &&
                        manual[ManualInfoOut::kSaturation] == zolt[ZoltDef::kSaturation] &&
                        manual[ManualInfoOut::kContrast] == zolt[ZoltDef::kContrast] &&
                        manual[ManualInfoOut::kAmMode] == zolt[ZoltDef::kAmMode] &&
                        ReadField<int32_t>(manual, ManualInfoOut::kWbCt) == ReadField<int32_t>(zolt.data(), ZoltDef::kWbCt) &&
                        ReadField<int32_t>(manual, ManualInfoOut::kIso) == zolt[ZoltDef::kIso] &&
                        ReadField<int32_t>(manual, ManualInfoOut::kAeExposureCompensation) ==
                            ReadField<int32_t>(control.data(), ControlInfo::kAeExposureCompensation) &&
                        ReadField<int32_t>(manual, ManualInfoOut::kSensitivity) ==
                            ReadField<int32_t>(aeResult.data(), AeResult::kGain)
                  : true;
    Check(c, index, "GetFrameManualInfo", ok);

    // Public statistic types: 9 hist2, 10 gtm histogram, 1 AEM, 8 LSCM.
    const std::pair<int, const char*> statistics[] = {
        {9, "HIST2_DATA_INFO.bin"}, {10, "GTMHIST_DATA_INFO.bin"}, {1, "AEM_DATA_INFO.bin"}, {8, "LSCM_DATA_INFO.bin"}};
    for (const auto& statistic : statistics) {
        if (!first.Has(statistic.second) || first.dumps.at(statistic.second).empty()) continue;
        const auto& expected = first.dumps.at(statistic.second);
        std::vector<uint8_t> out(expected.size(), 0xcd);
        api.GetFrameStatisInfo(c.handle, statistic.first, reinterpret_cast<unsigned long>(out.data()),
                                static_cast<unsigned int>(out.size()));
        Check(c, index, std::string("GetFrameStatisInfo ") + std::to_string(statistic.first), out == expected);
    }
    {
        uint8_t out[64];
        memset(out, 0xcd, sizeof out);
        api.GetFrameStatisInfo(c.handle, 2, reinterpret_cast<unsigned long>(out), sizeof out);
        bool untouched = true;
        for (uint8_t byte : out) untouched &= byte == 0xcd;
        Check(c, index, "GetFrameStatisInfo 2", untouched);
    }

    // SetDataUpdateFunc reads frame mTaskSeq, 0 before any ZSL copy.
    const std::pair<int, std::pair<const char*, size_t>> updates[] = {{5, {"XTMHIST_INFO.bin", 560}},
                                                                      {6, {"LTMHIST_INFO.bin", 16396}},
                                                                      {7, {"HIST2_INFO.bin", 1048}},
                                                                      {8, {"BAYHIST_INFO.bin", 3144}}};
    for (const auto& update : updates) {
        std::vector<uint8_t> out(update.second.second, 0xcd);
        api.SetDataUpdateFunc(c.handle, update.first, out.data());
        Check(c, index, std::string("SetDataUpdateFunc ") + std::to_string(update.first),
              out == first.Dump(update.second.first, update.second.second));
    }

    void* list = nullptr;
    int count = -1;
    bool listed = api.GetFrameYuv(c.handle, &list, &count);
    Check(c, index, "GetFrameYuv", listed && list && count == 0);
}

// What the HAL reads of the task's scene: the scene, smart and Android records.
void Emulator::SceneQueries(Camera& c, size_t index) {
    const zeb_tools::LibraryEntries& api = mLibrary.entries();
    const std::vector<uint8_t>& scene = mRecording.tasks[index].scene;
    uint8_t info[SceneInfoOut::kSize];
    memset(info, 0xab, sizeof info);
    api.GetFrameSceneInfo(c.handle, info);
    bool ok = ReadField<int32_t>(info, SceneInfoOut::kIsHdrScene) == SceneInt(scene, SceneRecord::kIsHdrScene) &&
              ReadField<int32_t>(info, SceneInfoOut::kIsMfnrScene) == SceneInt(scene, SceneRecord::kIsMfnrScene) &&
              ReadField<int32_t>(info, SceneInfoOut::kIsMfnrHdrScene) == SceneInt(scene, SceneRecord::kIsMfnrHdrScene) &&
              ReadField<int32_t>(info, SceneInfoOut::kIsRawMfnrScene) == SceneInt(scene, SceneRecord::kIsRawMfnrScene) &&
              ReadField<int32_t>(info, SceneInfoOut::kSessionMode) == SceneInt(scene, SceneRecord::kSessionMode) &&
              ReadField<int32_t>(info, SceneInfoOut::kWidth) == SceneInt(scene, SceneRecord::kWidth) &&
              ReadField<int32_t>(info, SceneInfoOut::kHeight) == SceneInt(scene, SceneRecord::kHeight) &&
              ReadField<float>(info, SceneInfoOut::kZoomRatio) == SceneFloat(scene, SceneRecord::kZoomRatio) &&
              ReadField<int32_t>(info, SceneInfoOut::kAppMode) == SceneInt(scene, SceneRecord::kAppMode) &&
              ReadField<int32_t>(info, SceneInfoOut::kTopAppId) == SceneInt(scene, SceneRecord::kTopAppId) &&
              ReadField<int32_t>(info, SceneInfoOut::kZoltAppmodeId) == SceneInt(scene, SceneRecord::kZoltAppmodeId) &&
              info[16] == 0xab;
    Check(c, index, "GetFrameSceneInfo", ok);

    uint8_t smart[SmartInfoOut::kSize];
    memset(smart, 0xab, sizeof smart);
    api.GetFrameSmartInfo(c.handle, smart);
    ok = ReadField<int32_t>(smart, SmartInfoOut::kAppMode) == SceneInt(scene, SceneRecord::kAppMode) &&
         ReadField<int32_t>(smart, SmartInfoOut::kAblWeight) == SceneInt(scene, SceneRecord::kAblWeight) &&
         ReadField<int32_t>(smart, SmartInfoOut::kSensorGain) == SceneInt(scene, SceneRecord::kSensorGain) &&
         ReadField<int32_t>(smart, SmartInfoOut::kIspGain) == SceneInt(scene, SceneRecord::kIspGain) &&
         ReadField<int32_t>(smart, SmartInfoOut::kAwbCt) == SceneInt(scene, SceneRecord::kAwbCt) &&
         ReadField<int32_t>(smart, SmartInfoOut::kBv) == SceneInt(scene, SceneRecord::kBv) && smart[8] == 0xab;
    Check(c, index, "GetFrameSmartInfo", ok);

    uint8_t android[AndroidInfoOut::kSize];
    api.GetFrameAndroidInfo(c.handle, android);
    ok = ReadField<int32_t>(android, AndroidInfoOut::kAeMode) == SceneInt(scene, SceneRecord::kAeMode) &&
         ReadField<int32_t>(android, AndroidInfoOut::kFlashMode) == SceneInt(scene, SceneRecord::kFlashMode) &&
         ReadField<int32_t>(android, AndroidInfoOut::kLcdFlashMode) == SceneInt(scene, SceneRecord::kLcdFlashMode);
    Check(c, index, "GetFrameAndroidInfo", ok);
}

void Emulator::CaptureQueries(Camera& c, size_t index, int captureIndex) {
    const zeb_tools::LibraryEntries& api = mLibrary.entries();
    const ExpectedTask& task = mRecording.tasks[index];
    if (task.frames.empty()) return;
    const std::vector<uint8_t>& scene = task.scene;
    const size_t frames = task.frames.size();
    const bool hdr = SceneInt(scene, SceneRecord::kIsHdrScene) != 0;
    const bool mfnr = SceneInt(scene, SceneRecord::kIsMfnrScene) != 0;
    const bool mfnrHdr = SceneInt(scene, SceneRecord::kIsMfnrHdrScene) != 0;

    const ExpectedFrame& zsl = task.frames[static_cast<size_t>(captureIndex) % frames];
    const size_t yuvBytes = static_cast<size_t>(zsl.yuvWidth) * zsl.yuvHeight * 3 / 2;
    if (task.hasScene && frames > 1 && (hdr || mfnr) && yuvBytes > 0) {
        std::vector<uint8_t> out(yuvBytes, 0);
        api.GetZSLYuvFrame(c.handle, out.data());
        std::vector<uint8_t> expected(yuvBytes, 0);
        memcpy(expected.data(), zsl.yuv.data(), std::min(yuvBytes, zsl.yuv.size()));
        Check(c, index, "GetZSLYuvFrame", out == expected);
    }
    if (task.hasScene && (hdr || mfnrHdr) && captureIndex < SceneRecord::kEvCount) {
        const float ev = api.GetFrameEvStatus(c.handle);
        const float expected = SceneFloat(scene, SceneRecord::kHdrEv + 4 * static_cast<size_t>(captureIndex));
        Check(c, index, "GetFrameEvStatus", ev == expected, std::to_string(ev) + " for " + std::to_string(expected));
    }
    // Capture k of every task gets frame k's record; the first once past the end.
    uint8_t offline[kOfflineAeSize];
    memset(offline, 0xcd, sizeof offline);
    api.SetAeOfflineInfoFunc(c.handle, offline);
    const ExpectedFrame& owner = task.frames[static_cast<size_t>(captureIndex) < frames ? captureIndex : 0];
    Check(c, index, "SetAeOfflineInfoFunc",
          memcmp(offline, owner.Dump("OFFLINE_AE_INFO.bin", kOfflineAeSize).data(), sizeof offline) == 0,
          "capture " + std::to_string(captureIndex));
}

// The records the hand-over gave the post-processing parameter set, rebuilt
// from the recording's files and scene file.
void Emulator::CheckParamSet(Camera& c, size_t index) {
    const ExpectedTask& task = mRecording.tasks[index];
    if (task.frames.empty() || !task.hasScene) return;
    const ExpectedFrame& first = task.frames.front();
    const std::vector<uint8_t>& scene = task.scene;
    const int camera = c.id;

    std::vector<uint8_t> faces(FaceRecord::kSize, 0);
    const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(SceneInt(scene, SceneRecord::kFaceCount)),
                                              static_cast<uint32_t>(FaceRecord::kMaxFaces));
    WriteField<uint64_t>(faces.data(), FaceRecord::kCount, count);
    for (uint32_t i = 0, j = 0; i < count && j < SceneRecord::kFaceListLength; ++i) {
        const size_t at = SceneRecord::kFacePrev + 4 * j;
        if (SceneInt(scene, at) == static_cast<int32_t>(i) && j + 4 < SceneRecord::kFaceListLength) {
            memcpy(faces.data() + FaceRecord::kFace0 + FaceRecord::kFaceStride * i, scene.data() + at + 4, 16);
            j += 5;
        } else {
            j += 1;
        }
    }
    zeb_platform::PsRecord record = zeb_platform::GetPsRecord(camera, PsId::kFacePrev);
    Check(c, index, "parameter 2050", record.setCount > 0 && record.data == faces);

    record = zeb_platform::GetPsRecord(camera, PsId::kFaceCap);
    Check(c, index, "parameter 2104", record.setCount > 0 && record.data == first.Dump("FD_SNAPSHOT.bin", FaceRecord::kSize));

    const uint32_t postproc = static_cast<uint32_t>(SceneInt(scene, SceneRecord::kPostprocType));
    auto evOf = [&](int64_t i) {
        return i >= 0 && i < SceneRecord::kEvCount ? SceneFloat(scene, SceneRecord::kHdrEv + 4 * static_cast<size_t>(i)) : 0.0f;
    };
    if (postproc & 0x111006u) {
        std::vector<uint8_t> capAe = first.Dump("CAP_AE_PARAMS.bin", CapAeParams::kSize);
        for (int i = 0; i < SceneRecord::kEvCount; ++i) WriteField(capAe.data(), CapAeParams::Slot(i), evOf(i));
        record = zeb_platform::GetPsRecord(camera, PsId::kCapAeParams);
        Check(c, index, "parameter 2061", record.setCount > 0 && record.data == capAe);
    }

    std::vector<uint8_t> sdOut = first.Dump("SCENE_DETECT_OUT.bin", SceneDetectOut::kSize);
    const int32_t normal = SceneInt(scene, SceneRecord::kNormalNum);
    for (int i = 0; i < SceneRecord::kEvCount; ++i) WriteField(sdOut.data(), SceneDetectOut::kEv + 4 * i, evOf(i));
    WriteField(sdOut.data(), SceneDetectOut::kPostprocType, postproc);
    WriteField(sdOut.data(), SceneDetectOut::kNormalNum, normal);
    WriteField(sdOut.data(), SceneDetectOut::kTotalNum, SceneInt(scene, SceneRecord::kTotalNum));
    if (postproc & 0x11006u) {
        WriteField(sdOut.data(), SceneDetectOut::kEv, evOf(normal));
        WriteField(sdOut.data(), SceneDetectOut::kEv + 4, evOf(static_cast<int64_t>(normal) + 1));
        WriteField(sdOut.data(), SceneDetectOut::kEv + 8, evOf(0));
    } else if (postproc & 0x80000u) {
        memset(sdOut.data() + SceneDetectOut::kEv, 0, 40);
        WriteField(sdOut.data(), SceneDetectOut::kEv, evOf(normal));
    }
    if (SceneInt(scene, SceneRecord::kTotalNum) == 1) {
        for (size_t offset : SceneDetectOut::kMultiFrameFields) WriteField<int32_t>(sdOut.data(), offset, 0);
    }
    record = zeb_platform::GetPsRecord(camera, PsId::kSceneDetect);
    Check(c, index, "parameter 2056", record.setCount > 0 && record.data == sdOut);
}

}  // namespace zeb_hal
