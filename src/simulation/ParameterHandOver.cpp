// Before a task plays, what its recorded frames carry goes to the modules that
// stand in for the HAL's own results (through the registry) and to the
// post-processing parameter set; a per-task worker finishes the job once the
// reader has every frame of the task in memory.
#include <cstring>
#include <vector>

#include "algo/AE.h"
#include "frame/ZEBFrame.h"
#include "parameter/SceneParameter.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "core/records/Field.h"
#include "core/records/HalRecords.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "simulation/SimulationControl.h"

namespace ZEB {
namespace {
const char* const kTag = "SimulationControl";
constexpr uint32_t kHdrTypes = 0x11006;
constexpr uint32_t kChdrType = 0x80000;
constexpr uint32_t kCapAeTypes = 0x111006;

// Entry `index` of the scene's ten EVs; 0 outside them, so that a normalNum
// from a recording can never index past the list.
float SceneEv(const uint8_t* scene, int64_t index) {
    if (index < 0 || index >= SceneRecord::kEvCount) return 0.0f;
    return ReadField<float>(scene, SceneRecord::kHdrEv + 4 * static_cast<size_t>(index));
}

void LogTenEvs(const char* format, const uint8_t* base, size_t offset) {
    float ev[10];
    memcpy(ev, base + offset, sizeof ev);
    ZLOG_AS("SetInfo2Parameter", kTag, 4, format, static_cast<double>(ev[0]), static_cast<double>(ev[1]),
            static_cast<double>(ev[2]), static_cast<double>(ev[3]), static_cast<double>(ev[4]),
            static_cast<double>(ev[5]), static_cast<double>(ev[6]), static_cast<double>(ev[7]),
            static_cast<double>(ev[8]), static_cast<double>(ev[9]));
}
}  // namespace

void SimulationControl::SetInfo2Parameter(int64_t frameId, std::shared_ptr<TaskInfo> task) {
    std::vector<std::shared_ptr<ZEBFrame>> frames;
    if (task) {
        MutexLock guard(task->TaskLock);
        frames = task->TaskFrame;
    }
    if (frames.empty() || !frames.front()) {
        ZLOG(kTag, 1, "%d, %s: task %ld has no frame to hand over", static_cast<long>(frameId));
        return;
    }
    ZEBFrame& first = *frames.front();

    std::vector<ZebAeInfo> ae{{first.mAemInfo, first.mAeResultInfo}};
    mParamManager->SetFrameStaticInfo(&ae, frameId, "AE");
    std::vector<ZebXtmInfo> xtm{{first.mXtmResultInfo}};
    mParamManager->SetFrameStaticInfo(&xtm, frameId, "XTM");

    {
        MutexLock guard(mInfoLock);
        mSensitivity = ReadField<int32_t>(first.mAeResultInfo, AeResult::kGain);
        mIso = ReadField<int32_t>(first.mAeResultInfo, AeResult::kIso);
        ZLOG(kTag, 4, "%d, %s: mSensitivity=%d,mIso=%d", mSensitivity, mIso);
    }

    ZebAwbInfo awb{first.mAemForAwbInfo, first.mAwbCalcInfo};
    if (!first.GetAemForAwbValid()) {
        ZLOG(kTag, 4, "%d, %s: Not valid AEMFORAWB Info");
        awb.aemInfo = first.mAemInfo;
    }
    ZebAlscInfo alsc{first.mLscmInfo,
                     first.mLscResultInfo,
                     first.mLsc4ResultInfo,
                     BufferAddress(first.mLscTableBuf),
                     BufferAddress(first.mLscWTableBuf),
                     BufferBytes(first.mLscTableBuf),
                     BufferBytes(first.mLscWTableBuf)};

    int64_t sceneKey = frameId;
    auto* sceneRecord = static_cast<const iSceneInfo*>(mParamManager->GetParameter(&sceneKey, "SceneParameter"));
    mScene.store(sceneRecord);
    // Started once the task's scene is in place: the worker decides the raw
    // multi-frame hand-over by it.
    StartFrameInfoWorker(frameId, task);
    if (!sceneRecord) {
        ZLOG(kTag, 1, "%d, %s: get mScene fail");
        return;
    }
    const uint8_t* scene = reinterpret_cast<const uint8_t*>(sceneRecord);
    ZLOG(kTag, 4, "%d, %s: update mScene done");
    {
        MutexLock guard(mInfoLock);
        memcpy(mZoltDefInfo, first.mZoltDefInfo, sizeof mZoltDefInfo);
        memcpy(mControlInfo, first.mControlInfo, sizeof mControlInfo);
    }
    mParamManager->SetFrameStaticInfo(&awb, frameId, "AWB");
    mParamManager->SetFrameStaticInfo(&alsc, frameId, "ALSC");
    mParamManager->SetFrameId2ALG(frameId);

    SetFdInfo(mCameraId, 0);
    setPsParam(mCameraId, 1, 0, PsId::kFaceCap, first.mFdSnapshot);
    setPsParam(mCameraId, 1, 0, PsId::kFdIspInfo, first.mFdIspInfo);
    setPsParam(mCameraId, 1, 0, PsId::kXtmResult, first.mXtmResultInfo);

    uint8_t* capAe = reinterpret_cast<uint8_t*>(first.mCapAeParams);
    for (int i = 0; i < SceneRecord::kEvCount; ++i) {
        const float ev = SceneEv(scene, i);
        WriteField(capAe, CapAeParams::Slot(i), ev);
        ZLOG(kTag, 5, "%d, %s: ev[%d] is%f", i, static_cast<double>(ev));
    }
    const uint32_t postprocType = ReadField<uint32_t>(scene, SceneRecord::kPostprocType);
    if (postprocType & kCapAeTypes) setPsParam(mCameraId, 1, 0, PsId::kCapAeParams, first.mCapAeParams);
    {
        double slots[CapAeParams::kSlots];
        for (int i = 0; i < CapAeParams::kSlots; ++i) slots[i] = ReadField<float>(capAe, CapAeParams::Slot(i));
        ZLOG(kTag, 4, "%d, %s: ev is %f %f %f %f %f %f %f %f %f %f %f %f %f %f %f %f ", slots[0], slots[1], slots[2],
             slots[3], slots[4], slots[5], slots[6], slots[7], slots[8], slots[9], slots[10], slots[11], slots[12],
             slots[13], slots[14], slots[15]);
    }

    // The scene-detect output and the frame's own scene information carry
    // the task's capture plan.
    uint8_t* sdOut = reinterpret_cast<uint8_t*>(first.mSceneDetectOut);
    uint8_t* iscene = reinterpret_cast<uint8_t*>(first.mIsceneInfo);
    const int32_t normalNum = ReadField<int32_t>(scene, SceneRecord::kNormalNum);
    const int32_t totalNum = ReadField<int32_t>(scene, SceneRecord::kTotalNum);
    const int32_t jpegOrientation = ReadField<int32_t>(scene, SceneRecord::kJpegOrientation);
    memcpy(sdOut + SceneDetectOut::kEv, scene + SceneRecord::kHdrEv, 4 * SceneRecord::kEvCount);
    WriteField(sdOut, SceneDetectOut::kPostprocType, postprocType);
    WriteField(sdOut, SceneDetectOut::kNormalNum, normalNum);
    WriteField(sdOut, SceneDetectOut::kTotalNum, totalNum);
    memcpy(iscene + SceneRecord::kHdrEv, scene + SceneRecord::kHdrEv, 4 * SceneRecord::kEvCount);
    WriteField(iscene, SceneRecord::kPostprocType, postprocType);
    WriteField(iscene, SceneRecord::kNormalNum, normalNum);
    WriteField(iscene, SceneRecord::kTotalNum, totalNum);
    WriteField(iscene, SceneRecord::kJpegOrientation, jpegOrientation);
    WriteField(iscene, SceneRecord::kDeviceOrientation, ReadField<int32_t>(scene, SceneRecord::kDeviceOrientation));
    ZLOG(kTag, 4, "%d, %s: PostprocType is 0x%x jpegOrientation %d", postprocType, jpegOrientation);
    ZLOG(kTag, 4, "%d, %s: mSd_out is_highlight_nozsl %d",
         ReadField<int32_t>(sdOut, SceneDetectOut::kIsHighlightNozsl));

    const float triple[3] = {SceneEv(scene, normalNum), SceneEv(scene, static_cast<int64_t>(normalNum) + 1),
                             SceneEv(scene, 0)};
    if (postprocType & kHdrTypes) {
        ZLOG(kTag, 4, "%d, %s: cover mSd_out ev");
        memcpy(sdOut + SceneDetectOut::kEv, triple, sizeof triple);
        memcpy(iscene + SceneRecord::kHdrEv, triple, sizeof triple);
        WriteField(iscene, SceneRecord::kTuningParamIndex, ReadField<uint32_t>(scene, SceneRecord::kTuningParamIndex));
        WriteField(iscene, SceneRecord::kSceneChosen, ReadField<uint32_t>(scene, SceneRecord::kSceneChosen));
        LogTenEvs("%d, %s: HDR ev[%f,%f,%f,%f,%f,%f,%f,%f,%f,%f]", scene, SceneRecord::kHdrEv);
        ZLOG(kTag, 4, "%d, %s: mISceneInfo tuning_param_index %d sceneChosen %d",
             ReadField<int32_t>(iscene, SceneRecord::kTuningParamIndex),
             ReadField<int32_t>(iscene, SceneRecord::kSceneChosen));
    } else if (postprocType & kChdrType) {
        ZLOG(kTag, 4, "%d, %s: cover mSd_out ev");
        memset(sdOut + SceneDetectOut::kEv, 0, 4 * SceneRecord::kEvCount);
        WriteField(sdOut, SceneDetectOut::kEv, triple[0]);
        LogTenEvs("%d, %s: CHDR mSd_out ev[%f,%f,%f,%f,%f,%f,%f,%f,%f,%f]", sdOut, SceneDetectOut::kEv);
        // The frame's scene information has one EV list, which both of its
        // detect-output views name.
        LogTenEvs("%d, %s: CHDR mISceneInfo.cap_info.detect_out ev[%f,%f,%f,%f,%f,%f,%f,%f,%f,%f]", iscene,
                  SceneRecord::kHdrEv);
        LogTenEvs("%d, %s: CHDR mISceneInfo.cap_info.detect_out.hdr_detect_out ev[%f,%f,%f,%f,%f,%f,%f,%f,%f,%f]",
                  iscene, SceneRecord::kHdrEv);
    }
    if (ReadField<int32_t>(iscene, SceneRecord::kTotalNum) == 1) {
        for (size_t offset : SceneDetectOut::kMultiFrameFields) WriteField<int32_t>(sdOut, offset, 0);
    }
    setPsParam(mCameraId, 0, 0, PsId::kSceneDetect, first.mSceneDetectOut);
}

void SimulationControl::SetInfo2Parameter(int64_t frameId, std::shared_ptr<ZEBFrame> frame) {
    if (!frame) {
        ZLOG(kTag, 1, "%d, %s: Not valid input");
        return;
    }
    std::vector<ZebAeInfo> ae{{frame->mAemInfo, frame->mAeResultInfo}};
    ZebAwbInfo awb{frame->mAemForAwbInfo, frame->mAwbCalcInfo};
    if (!frame->GetAemForAwbValid()) {
        ZLOG(kTag, 4, "%d, %s: Not valid AEMFORAWB Info");
        awb.aemInfo = frame->mAemInfo;
    }
    ZebAlscInfo alsc{frame->mLscmInfo,
                     frame->mLscResultInfo,
                     frame->mLsc4ResultInfo,
                     BufferAddress(frame->mLscTableBuf),
                     BufferAddress(frame->mLscWTableBuf),
                     BufferBytes(frame->mLscTableBuf),
                     BufferBytes(frame->mLscWTableBuf)};
    int64_t sceneKey = frameId;
    auto* sceneRecord = static_cast<const iSceneInfo*>(mParamManager->GetParameter(&sceneKey, "SceneParameter"));
    mScene.store(sceneRecord);
    if (!sceneRecord) {
        ZLOG(kTag, 1, "%d, %s: get mScene fail");
        return;
    }
    ZLOG(kTag, 4, "%d, %s: update mScene done");
    mParamManager->SetFrameStaticInfo(&ae, frameId, "AE");
    mParamManager->SetFrameStaticInfo(&awb, frameId, "AWB");
    mParamManager->SetFrameStaticInfo(&alsc, frameId, "ALSC");
    mParamManager->SetFrameId2ALG(frameId);
    SetFdInfo(mCameraId, 0);
    setPsParam(mCameraId, 1, 0, PsId::kFaceCap, frame->mFdSnapshot);
}

void SimulationControl::WaitFrameInfoDone(int64_t frameId, std::shared_ptr<TaskInfo> task) {
    if (!task) return;
    std::vector<std::shared_ptr<ZEBFrame>> frames;
    // No time limit of its own: it ends when the reader is done or the
    // instance goes.
    if (!WaitTask(*task,
                  [&frames](TaskInfo& info) REQUIRES(info.TaskLock) {
                      if (!info.TaskReadDone) return false;
                      frames = info.TaskFrame;
                      return true;
                  },
                  std::nullopt)) {
        return;
    }
    ZLOG(kTag, 4, "%d, %s: read cur task frame done");

    std::vector<ZebAeInfo> ae;
    std::vector<ZebXtmInfo> xtm;
    std::vector<ZebAeOfflineInfo> offline;
    for (const auto& frame : frames) {
        if (!frame) continue;
        ae.push_back({frame->mAemInfo, frame->mAeResultInfo});
        xtm.push_back({frame->mXtmResultInfo});
        ZebAeOfflineInfo record;
        memcpy(&record, frame->mOfflineAeInfo, sizeof record);
        offline.push_back(record);
        // The AE module holds the first frame's result since the hand-over
        // began: its callbacks write the live frame ids into it meanwhile.
        uint8_t result[sizeof frame->mAeResultInfo];
        ReadRecordedAeResult(frame->mAeResultInfo, result);
        ZLOG(kTag, 4, "%d, %s: AE Parameter with ISO[%d], Gain[%d], bv[%d], lum[%u], EV [%f], with Id [%d]",
             ReadField<int32_t>(result, AeResult::kIso), ReadField<int32_t>(result, AeResult::kGain),
             ReadField<int32_t>(result, AeResult::kBv), ReadField<uint32_t>(result, AeResult::kLum),
             static_cast<double>(ReadField<float>(result, AeResult::kEv)), ReadField<int32_t>(result, AeResult::kFrameId));
        const uint8_t* xtmResult = reinterpret_cast<const uint8_t*>(frame->mXtmResultInfo);
        uint16_t gamma[9];
        memcpy(gamma, xtmResult + XtmResult::kGamma, sizeof gamma);
        ZLOG(kTag, 4, "%d, %s: ZEB_XTM gtm (%d %d %d)) gamma_out: (%d %d %d %d %d %d %d %d %d)",
             ReadField<int32_t>(xtmResult, XtmResult::kGtm), ReadField<int32_t>(xtmResult, XtmResult::kGtm + 4),
             ReadField<int32_t>(xtmResult, XtmResult::kGtm + 8), gamma[0], gamma[1], gamma[2], gamma[3], gamma[4],
             gamma[5], gamma[6], gamma[7], gamma[8]);
        const int32_t* v = record.values;
        ZLOG(kTag, 4,
             "%d, %s: ae offline info: [%d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d] "
             "[%f %f]",
             v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13], v[14], v[15],
             v[16], v[17], v[18], v[19], v[20], v[21], v[22], v[23], v[24], static_cast<double>(record.gains[0]),
             static_cast<double>(record.gains[1]));
    }
    // The task's id, which is mFrameId for as long as the worker runs.
    const int64_t currentId = frameId;
    {
        // An earlier task under the same id keeps its records.
        MutexLock guard(mAeOfflineLock);
        mAeOfflineInfo.emplace(currentId, std::move(offline));
    }
    mParamManager->SetFrameStaticInfo(&ae, currentId, "AE");
    mParamManager->SetFrameStaticInfo(&xtm, currentId, "XTM");
    mParamManager->SetFrameSize2ALG(static_cast<int64_t>(frames.size()));

    const uint8_t* scene = Scene();
    if (scene && !frames.empty() && frames.front()) {
        const bool xdr = ReadField<int32_t>(scene, SceneRecord::kIsXdrScene) == 1;
        const int32_t rawMfnr = ReadField<int32_t>(scene, SceneRecord::kIsRawMfnrScene);
        if (!xdr && rawMfnr == 1) ZLOG(kTag, 4, "%d, %s: is_raw_mfnr_scene %d", rawMfnr);
        if (xdr || rawMfnr == 1) {
            ZEBFrame& first = *frames.front();
            void* table = BufferAddress(first.mLscTableBuf);
            void* weights = BufferAddress(first.mLscWTableBuf);
            if (table && weights) {
                uint8_t record[RawMultiFrame::kSize] = {0};
                WriteField(record, RawMultiFrame::kLscTable, reinterpret_cast<uint64_t>(table));
                WriteField(record, RawMultiFrame::kLscWTable, reinterpret_cast<uint64_t>(weights));
                setPsParam(mCameraId, 1, 0, PsId::kRawMultiFrame, record);
                setPsParam(mCameraId, 1, 0, PsId::kOfflineResult, first.mOfflineResultInfo);
            } else {
                ZLOG(kTag, 1, "%d, %s: null ptr");
                if (xdr) return;
            }
        }
    }
    MutexLock guard(mSnapStopLock);
    if (mSnapStopped) mCurCnt.store(0);
}

int SimulationControl::SetFdInfo(int cameraId, int64_t frameId) {
    ZLOG(kTag, 4, "%d, %s: E");
    const uint8_t* scene = Scene();
    if (!scene) {
        ZLOG(kTag, 1, "%d, %s: Scene Parameter not ready");
        return -1;
    }
    std::vector<uint8_t> prev(FaceRecord::kSize, 0);
    std::vector<uint8_t> cap(FaceRecord::kSize, 0);
    uint32_t faces = ReadField<uint32_t>(scene, SceneRecord::kFaceCount);
    if (faces > static_cast<uint32_t>(FaceRecord::kMaxFaces)) {
        ZLOG(kTag, 1, "%d, %s: %u faces recorded, the record holds %d", faces, FaceRecord::kMaxFaces);
        faces = FaceRecord::kMaxFaces;
    }
    WriteField<uint64_t>(prev.data(), FaceRecord::kCount, faces);
    WriteField<uint64_t>(cap.data(), FaceRecord::kCount, faces);

    // A face list is a run of (index, four coordinates) entries; the cursor
    // steps one integer past an entry that is not the face looked for.
    auto fill = [&](size_t listOffset, std::vector<uint8_t>& record, const char* format) {
        int32_t list[SceneRecord::kFaceListLength];
        memcpy(list, scene + listOffset, sizeof list);
        int j = 0;
        for (uint32_t i = 0; i < faces && j < SceneRecord::kFaceListLength; ++i) {
            if (list[j] == static_cast<int32_t>(i) && j + 4 < SceneRecord::kFaceListLength) {
                memcpy(record.data() + FaceRecord::kFace0 + FaceRecord::kFaceStride * i, &list[j + 1], 4 * sizeof(int32_t));
                ZLOG_AS("SetFdInfo", kTag, 4, format, static_cast<int>(i), list[j + 1], list[j + 2], list[j + 3],
                        list[j + 4]);
                j += 5;
            } else {
                j += 1;
            }
        }
    };
    fill(SceneRecord::kFacePrev, prev, "%d, %s: fd_out_prev.info[%d]:%d %d %d %d");
    fill(SceneRecord::kFaceCap, cap, "%d, %s: fd_out_cap.info[%d]:%d %d %d %d");
    ZLOG(kTag, 4, "%d, %s: X");
    setPsParam(cameraId, 0, static_cast<int>(frameId), PsId::kFacePrev, prev.data());
    return setPsParam(cameraId, 0, static_cast<int>(frameId), PsId::kFaceCap, cap.data());
}

void SimulationControl::SetSceneInfo(int cameraId, int64_t frameId) {
    const uint8_t* scene = Scene();
    if (!scene) return;
    std::vector<uint8_t> record(SceneInfoRecord::kSize, 0);
    const uint32_t postprocType = ReadField<uint32_t>(scene, SceneRecord::kPostprocType);
    const int32_t normalNum = ReadField<int32_t>(scene, SceneRecord::kNormalNum);
    const int32_t totalNum = ReadField<int32_t>(scene, SceneRecord::kTotalNum);
    const float first = SceneEv(scene, normalNum);
    const float second = SceneEv(scene, static_cast<int64_t>(normalNum) + 1);
    uint8_t* out = record.data();
    WriteField(out, SceneInfoRecord::kPostprocType, postprocType);
    WriteField(out, SceneInfoRecord::kEv, first);
    WriteField(out, SceneInfoRecord::kEv + 4, second);
    WriteField(out, SceneInfoRecord::kTotalNum, totalNum);
    WriteField(out, SceneInfoRecord::kNormalNum, normalNum);
    WriteField(out, SceneInfoRecord::kHdrEv, first);
    WriteField(out, SceneInfoRecord::kHdrEv + 4, second);
    WriteField(out, SceneInfoRecord::kMergeFrameNum, ReadField<int32_t>(scene, SceneRecord::kMergeFrameNum));
    const int32_t hdr = ReadField<int32_t>(scene, SceneRecord::kIsHdrScene);
    const int32_t mfnr = ReadField<int32_t>(scene, SceneRecord::kIsMfnrScene);
    const int32_t mfsr = ReadField<int32_t>(scene, SceneRecord::kIsMfsrScene);
    const int32_t mfnrHdr = ReadField<int32_t>(scene, SceneRecord::kIsMfnrHdrScene);
    const int32_t rawMfnrHdr = ReadField<int32_t>(scene, SceneRecord::kIsRawMfnrScene);
    WriteField(out, SceneInfoRecord::kHdr, hdr);
    WriteField(out, SceneInfoRecord::kMfnr, mfnr);
    WriteField(out, SceneInfoRecord::kMfsr, mfsr);
    WriteField(out, SceneInfoRecord::kMfnrHdr, mfnrHdr);
    WriteField(out, SceneInfoRecord::kRawMfnrHdr, rawMfnrHdr);
    double ev[10];
    for (int i = 0; i < 10; ++i) ev[i] = SceneEv(scene, i);
    ZLOG(kTag, 4,
         "%d, %s: CamId %d FrmId %ld, Setting SceneInfo with normalNum/TotalNum/PostprocType/EV [%d, %d, %d, (%f, %f, "
         "%f, %f, %f, %f, %f, %f, %f, %f)] to PS",
         cameraId, static_cast<long>(frameId), normalNum, totalNum, static_cast<int>(postprocType), ev[0], ev[1], ev[2],
         ev[3], ev[4], ev[5], ev[6], ev[7], ev[8], ev[9]);
    ZLOG(kTag, 4, "%d, %s: Scene Detect info with RawMfnrHdr/MfnrHdr/Hdr/MFSR/MFNR [%d, %d, %d, %d, %d]", rawMfnrHdr,
         mfnrHdr, hdr, mfsr, mfnr);
    setPsParam(cameraId, 0, static_cast<int>(frameId), PsId::kSceneDetect, out);
}

}  // namespace ZEB
