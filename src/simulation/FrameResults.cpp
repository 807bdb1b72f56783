// What the HAL asks of the running frame: YUV images, statistics, scene,
// smart, manual and Android records, EVs, offline AE records, the offline 3A
// operation tables, and the statistics updates it pulls per frame.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame/ReadControl.h"
#include "frame/ZEBFrame.h"
#include "parameter/SceneParameter.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "core/records/Field.h"
#include "core/records/HalRecords.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "simulation/SimulationControl.h"

namespace ZEB {
namespace {
const char* const kTag = "SimulationControl";

// A frame buffer as this side reaches it: mapped address, usable bytes and
// descriptor; a null address when the frame holds no buffer of that kind.
struct Mapped {
    uint8_t* address = nullptr;
    size_t capacity = 0;
    int fd = -1;
};

Mapped MapOf(const BufferHandle& handle) { return {BufferAddress(handle), BufferBytes(handle), BufferFd(handle)}; }

int32_t SceneInt(const uint8_t* scene, size_t offset) { return ReadField<int32_t>(scene, offset); }
}  // namespace

// The scene record a scene query answers from, or null (logged) when there is
// none yet or nowhere to write.
const uint8_t* SimulationControl::SceneFor(const void* destination, const char* caller) const {
    const uint8_t* scene = Scene();
    if (!scene) {
        ZLOG_AS(caller, kTag, 4, "%d, %s: Scene Parameter not ready");
        return nullptr;
    }
    if (!destination) {
        ZLOG_AS(caller, kTag, 1, "%d, %s: Not valid input");
        return nullptr;
    }
    return scene;
}

bool SimulationControl::GetFrameYuv(void** list, int* count) {
    if (!list || !count) {
        ZLOG(kTag, 1, "%d, %s: Not valid input");
        return false;
    }
    const int32_t number = std::max<int32_t>(0, mYuvCount.load());
    std::unique_ptr<uint8_t[]> descriptors(new uint8_t[static_cast<size_t>(number) * YuvDescriptor::kSize + 1]());
    const int64_t firstId = mFrameId.load();
    for (int32_t i = 0; i < number; ++i) {
        const int64_t id = firstId + i;
        std::shared_ptr<ZEBFrame> frame = mReadControl->GetFrame(id);
        if (!frame) {
            ZLOG(kTag, 4, "%d, %s: Could not getFrame with %ld, return now", static_cast<long>(id));
            return false;
        }
        uint8_t* descriptor = descriptors.get() + static_cast<size_t>(i) * YuvDescriptor::kSize;
        Mapped yuv = MapOf(frame->mYuvBuf);
        WriteField<int32_t>(descriptor, YuvDescriptor::kWidth, frame->mYuvWidth);
        WriteField<int32_t>(descriptor, YuvDescriptor::kHeight, frame->mYuvHeight);
        WriteField<uint64_t>(descriptor, YuvDescriptor::kAddress, reinterpret_cast<uint64_t>(yuv.address));
        WriteField<int32_t>(descriptor, YuvDescriptor::kFd, yuv.fd);
        WriteField<int32_t>(descriptor, YuvDescriptor::kFrameId, static_cast<int32_t>(id));
        SetSceneInfo(mCameraId, id);
    }
    // Every list handed out stays valid until the instance goes: the HAL may
    // still read an earlier one.
    MutexLock guard(mYuvListLock);
    mYuvLists.push_back(std::move(descriptors));
    *list = mYuvLists.back().get();
    *count = number;
    ZLOG(kTag, 4, "%d, %s: GetFrameYUV with %p -> %p", static_cast<void*>(list), *list);
    return true;
}

void SimulationControl::GetFrameYuv(void* destination) {
    if (!mPostProc) return;
    std::shared_lock<std::shared_mutex> guard(mRunLock);
    const uint8_t* scene = Scene();
    if (!mRun.task || mRun.frames.size() == 1 || !scene) return;
    if (SceneInt(scene, SceneRecord::kIsHdrScene) == 0 && SceneInt(scene, SceneRecord::kIsMfnrScene) == 0) return;
    if (mRun.frames.empty()) {
        ZLOG(kTag, 4, "%d, %s: no frame of task %d to copy", mRunningSeq.load());
        return;
    }
    const int32_t seq = mTaskSeq.load();
    ZLOG(kTag, 4, "%d, %s: mTaskSeq/mRunningSeq is [%d, %d]", seq, mRunningSeq.load());
    ZLOG(kTag, 4, "%d, %s: TaskFrame.size() %d", static_cast<int>(mRun.frames.size()));
    std::shared_ptr<ZEBFrame> frame = FrameOf(mRun, static_cast<size_t>(seq));
    if (destination && frame) {
        Mapped yuv = MapOf(frame->mYuvBuf);
        size_t bytes = static_cast<size_t>(std::max(0, frame->mYuvWidth)) *
                       static_cast<size_t>(std::max(0, frame->mYuvHeight)) * 3 / 2;
        // The YUV buffer is sized from the raw image; a larger YUV file is
        // never read past it.
        bytes = std::min(bytes, yuv.capacity);
        if (yuv.address && bytes) memcpy(destination, yuv.address, bytes);
    }
    int32_t next = seq + 1;
    if (next >= static_cast<int32_t>(mRun.frames.size())) next = 0;
    mTaskSeq.store(next);
}

int SimulationControl::GetPrevFrameYuv() {
    std::shared_lock<std::shared_mutex> guard(mRunLock);
    if (!mRun.task) {
        ZLOG(kTag, 4, "%d, %s: no running task");
        return 0;
    }
    char value[PROPERTY_VALUE_MAX] = {0};
    GetPropZEBProcess(value);
    if (mRun.task->TaskMode == "Preview" && atoi(value) == 0) {
        const int32_t count = mPrevCount.fetch_add(1) + 1;
        if (count == static_cast<int32_t>(mRun.frames.size())) {
            SetPropZEBProcess();
            mPrevCount.store(0);
        }
    }
    return 0;
}

void SimulationControl::GetFrameStatisInfo(ISP_STATIS kind, unsigned long address, unsigned int size) {
    std::shared_lock<std::shared_mutex> guard(mRunLock);
    ZLOG(kTag, 4, "%d, %s: type = %d, addr = %lu, buf_size = %u, mRunningSeq = %d", static_cast<int>(kind), address,
         size, mRunningSeq.load());
    if (!address || !size) {
        ZLOG(kTag, 4, "%d, %s: type :%d no info", static_cast<int>(kind));
        return;
    }
    std::shared_ptr<ZEBFrame> frame = FrameOf(mRun, 0);
    if (!frame) {
        ZLOG(kTag, 4, "%d, %s: no running frame for type %d", static_cast<int>(kind));
        return;
    }
    const BufferHandle* buffer = nullptr;
    const char* name = nullptr;
    switch (kind) {
        case ISP_STATIS_HIST2: buffer = &frame->mHist2DataBuf; name = "hist2"; break;
        case ISP_STATIS_GTMHIST: buffer = &frame->mGtmHistDataBuf; name = "gtmhist"; break;
        case ISP_STATIS_AEM: buffer = &frame->mAemDataBuf; name = "aem"; break;
        case ISP_STATIS_LSCM: buffer = &frame->mLscmDataBuf; name = "lscm"; break;
        default: return;
    }
    const Mapped source = MapOf(*buffer);
    if (!source.address) return;
    ZLOG(kTag, 5, "%d, %s: %s read file addr = %p", name, source.address);
    size_t bytes = size;
    if (bytes > source.capacity) {
        ZLOG(kTag, 1, "%d, %s: type %d asks %u bytes, the recording holds %zu", static_cast<int>(kind), size,
             source.capacity);
        bytes = source.capacity;
    }
    memcpy(reinterpret_cast<void*>(address), source.address, bytes);
}

void SimulationControl::GetiSceneInfo(void* destination) {
    std::shared_lock<std::shared_mutex> guard(mRunLock);
    std::shared_ptr<ZEBFrame> frame = mRun.frameId == mFrameId.load() ? FrameOf(mRun, 0) : nullptr;
    if (!frame || !destination) {
        ZLOG(kTag, 4, "%d, %s: get iSceneInfo fail");
        return;
    }
    memcpy(destination, frame->mIsceneInfo, sizeof frame->mIsceneInfo);
    ZLOG(kTag, 4, "%d, %s: get iSceneInfo done");
}

void SimulationControl::GetFrameSceneInfo(void* destination) {
    ZLOG(kTag, 4, "%d, %s: GetFrameSceneInfo");
    const uint8_t* scene = SceneFor(destination, __func__);
    if (!scene) return;
    auto* out = static_cast<uint8_t*>(destination);
    WriteField(out, SceneInfoOut::kIsHdrScene, SceneInt(scene, SceneRecord::kIsHdrScene));
    WriteField(out, SceneInfoOut::kIsMfnrScene, SceneInt(scene, SceneRecord::kIsMfnrScene));
    WriteField(out, SceneInfoOut::kIsMfnrHdrScene, SceneInt(scene, SceneRecord::kIsMfnrHdrScene));
    WriteField(out, SceneInfoOut::kIsRawMfnrScene, SceneInt(scene, SceneRecord::kIsRawMfnrScene));
    WriteField(out, SceneInfoOut::kSessionMode, SceneInt(scene, SceneRecord::kSessionMode));
    WriteField(out, SceneInfoOut::kWidth, SceneInt(scene, SceneRecord::kWidth));
    WriteField(out, SceneInfoOut::kHeight, SceneInt(scene, SceneRecord::kHeight));
    WriteField(out, SceneInfoOut::kZoomRatio, ReadField<float>(scene, SceneRecord::kZoomRatio));
    WriteField(out, SceneInfoOut::kAppMode, SceneInt(scene, SceneRecord::kAppMode));
    WriteField(out, SceneInfoOut::kTopAppId, SceneInt(scene, SceneRecord::kTopAppId));
    WriteField(out, SceneInfoOut::kZoltAppmodeId, SceneInt(scene, SceneRecord::kZoltAppmodeId));
    ZLOG(kTag, 4, "%d, %s: Scene with app_id/hdr_scene/fb/flash/face_num/AI/Zoom [%d, %d, %d, %d, %d, %d, %f, %d]",
         SceneInt(scene, SceneRecord::kAppMode), SceneInt(scene, SceneRecord::kIsHdrScene),
         static_cast<int>(scene[SceneRecord::kFaceBeautyOn]), static_cast<int>(scene[SceneRecord::kIsFlashOn]),
         SceneInt(scene, SceneRecord::kFaceCount), SceneInt(scene, SceneRecord::kAiSceneType),
         static_cast<double>(ReadField<float>(scene, SceneRecord::kZoomRatio)),
         SceneInt(scene, SceneRecord::kZoltAppmodeId));
}

void SimulationControl::GetFrameSmartInfo(void* destination) {
    const uint8_t* scene = SceneFor(destination, __func__);
    if (!scene) return;
    auto* out = static_cast<uint8_t*>(destination);
    WriteField(out, SmartInfoOut::kAppMode, SceneInt(scene, SceneRecord::kAppMode));
    WriteField(out, SmartInfoOut::kAblWeight, SceneInt(scene, SceneRecord::kAblWeight));
    WriteField(out, SmartInfoOut::kSensorGain, SceneInt(scene, SceneRecord::kSensorGain));
    WriteField(out, SmartInfoOut::kIspGain, SceneInt(scene, SceneRecord::kIspGain));
    WriteField(out, SmartInfoOut::kAwbCt, SceneInt(scene, SceneRecord::kAwbCt));
    WriteField(out, SmartInfoOut::kBv, SceneInt(scene, SceneRecord::kBv));
}

void SimulationControl::GetFrameManualInfo(void* destination) {
    if (!destination) {
        ZLOG(kTag, 1, "%d, %s: Not valid input");
        return;
    }
    auto* out = static_cast<uint8_t*>(destination);
    MutexLock guard(mInfoLock);
    const uint8_t wbMode = mControlInfo[ControlInfo::kWbMode];
    const uint8_t saturation = mZoltDefInfo[ZoltDef::kSaturation];
    const uint8_t contrast = mZoltDefInfo[ZoltDef::kContrast];
    const uint8_t amMode = mZoltDefInfo[ZoltDef::kAmMode];
    const int32_t wbCt = ReadField<int32_t>(mZoltDefInfo, ZoltDef::kWbCt);
    const int32_t iso = mZoltDefInfo[ZoltDef::kIso];
    const int32_t compensation = ReadField<int32_t>(mControlInfo, ControlInfo::kAeExposureCompensation);
    out[ManualInfoOut::kWbMode] = wbMode;
    out[ManualInfoOut::kSaturation] = saturation;
    out[ManualInfoOut::kContrast] = contrast;
    out[ManualInfoOut::kAmMode] = amMode;
    WriteField(out, ManualInfoOut::kWbCt, wbCt);
    WriteField(out, ManualInfoOut::kIso, iso);
    WriteField(out, ManualInfoOut::kAeExposureCompensation, compensation);
    WriteField(out, ManualInfoOut::kSensitivity, mSensitivity);
    ZLOG(kTag, 4,
         "%d, %s: GetFrameManualInfo wb_mode=%d,wb_ct=%d,saturation=%d,contrast=%d,am_mode=%d,iso=%d,"
         "ae_exposure_compensation=%d",
         wbMode, wbCt, saturation, contrast, amMode, iso, compensation);
}

void SimulationControl::GetFrameAndroidInfo(void* destination) {
    const uint8_t* scene = SceneFor(destination, __func__);
    if (!scene) return;
    auto* out = static_cast<uint8_t*>(destination);
    const int32_t aeMode = SceneInt(scene, SceneRecord::kAeMode);
    const int32_t flashMode = SceneInt(scene, SceneRecord::kFlashMode);
    const int32_t lcdFlashMode = SceneInt(scene, SceneRecord::kLcdFlashMode);
    WriteField(out, AndroidInfoOut::kAeMode, aeMode);
    WriteField(out, AndroidInfoOut::kFlashMode, flashMode);
    WriteField(out, AndroidInfoOut::kLcdFlashMode, lcdFlashMode);
    ZLOG(kTag, 4, "%d, %s: GetFrameAndroidInfo Scene flash_mode=%d, ae_mode = %d, lcd_flash_mode = %d", flashMode,
         aeMode, lcdFlashMode);
}

float SimulationControl::GetFrameEvStatus() {
    const uint8_t* scene = Scene();
    if (!mSnapStarted.load() || !scene) return 0.0f;
    if (SceneInt(scene, SceneRecord::kIsHdrScene) == 0 && SceneInt(scene, SceneRecord::kIsMfnrHdrScene) == 0) {
        return 0.0f;
    }
    int32_t index = mEvIndex.load();
    do {
        if (index < 0 || index >= SceneRecord::kEvCount) {
            // The scene carries ten EVs; a longer capture gets a neutral EV.
            ZLOG(kTag, 1, "%d, %s: no EV with id %d, the scene holds %d", index, SceneRecord::kEvCount);
            return 0.0f;
        }
    } while (!mEvIndex.compare_exchange_weak(index, index + 1));
    const float ev = ReadField<float>(scene, SceneRecord::kHdrEv + 4 * static_cast<size_t>(index));
    ZLOG(kTag, 4, "%d, %s: Getting EV %f with id %d", static_cast<double>(ev), index);
    return ev;
}

void SimulationControl::GetOps(void* destination, ISP_ALG_OPS kind) {
    if (!destination || !mParamManager) {
        ZLOG(kTag, 1, "%d, %s: Not valid input");
        return;
    }
    const char* name = nullptr;
    switch (kind) {
        case 0: name = "AE"; break;
        case 1: name = "AWB"; break;
        case 2: name = "ALSC"; break;
        case 5: name = "XTM"; break;
        default: return;
    }
    mParamManager->GetOpsParam(destination, name);
}

void SimulationControl::GetFlag(void* flag) {
    if (!flag) {
        ZLOG(kTag, 1, "%d, %s: Not valid input");
        return;
    }
    mUpdateFlag.store(flag);
}

void SimulationControl::SetDataUpdate(ISP_ALG_OPS kind, void* destination) {
    {
        MutexLock guard(mDataLock);
        if (mRecycling.load()) return;
        mDataUpdating = true;
    }
    const int32_t seq = mTaskSeq.load();
    const int32_t running = mRunningSeq.load();
    ZLOG(kTag, 4, "%d, %s: mTaskSeq %d mRunningSeq %d\n", seq, running);
    {
        std::shared_lock<std::shared_mutex> guard(mRunLock);
        bool ready = false;
        if (mTaskMap) {
            auto found = mTaskMap->lower_bound(running);
            if (found != mTaskMap->end() && found->first == running && found->second) {
                // The reader and the driver hold a task's lock only for moments.
                MutexLock lock(found->second->TaskLock);
                ready = found->second->TaskFrameStatus;
            }
        }
        if (!ready || mRun.frameId != running || mRun.frames.empty()) {
            ZLOG(kTag, 4, "%d, %s: cannot match valid frame data\n");
        } else {
            std::shared_ptr<ZEBFrame> frame;
            if (seq < 0 || seq >= static_cast<int32_t>(mRun.frames.size())) {
                ZLOG(kTag, 1, "%d, %s: cannot match mTaskSeq %d\n", seq);
            } else {
                frame = mRun.frames[static_cast<size_t>(seq)];
            }
            if (destination && frame) {
                switch (kind) {
                    case 5:
                        if (mXtmHistUpdate) {
                            memcpy(destination, frame->mXtmHistInfo, sizeof frame->mXtmHistInfo);
                            ZLOG(kTag, 4, "%d, %s: update xtmhist data done\n");
                        }
                        break;
                    case 6:
                        if (mLtmHistUpdate) {
                            memcpy(destination, frame->mLtmHistInfo, sizeof frame->mLtmHistInfo);
                            ZLOG(kTag, 4, "%d, %s: update ltmhist data done\n");
                        }
                        break;
                    case 7:
                        if (mHist2Update) {
                            memcpy(destination, frame->mHist2Info, sizeof frame->mHist2Info);
                            ZLOG(kTag, 4, "%d, %s: update Hist2 data done\n");
                        }
                        break;
                    case 8:
                        if (mBayerHistUpdate) {
                            memcpy(destination, frame->mBayHistInfo, sizeof frame->mBayHistInfo);
                            ZLOG(kTag, 4, "%d, %s: update BayerHist data done\n");
                        }
                        break;
                    default:
                        break;
                }
            }
        }
    }
    bool recycling;
    {
        MutexLock guard(mDataLock);
        mDataUpdating = false;
        recycling = mRecycling.load();
    }
    if (recycling) mDataCond.notify_all();
}

void SimulationControl::SetAeOfflineInfo(void* destination) {
    const int64_t frameId = mFrameId.load();
    ZebAeOfflineInfo record;
    bool found = false;
    int32_t current = mCurCnt.load();
    {
        MutexLock guard(mAeOfflineLock);
        auto entry = mAeOfflineInfo.find(frameId);
        if (entry == mAeOfflineInfo.end()) {
            ZLOG(kTag, 1, "%d, %s: Offline AE info error, could get AE info with frame id %ld",
                 static_cast<long>(frameId));
        } else if (entry->second.empty()) {
            ZLOG(kTag, 1, "%d, %s: Offline AE info empty with frame id %ld", static_cast<long>(frameId));
        } else {
            const auto& list = entry->second;
            size_t index = current >= 0 && static_cast<size_t>(current) < list.size() ? static_cast<size_t>(current) : 0;
            record = list[index];
            found = true;
        }
    }
    ZLOG(kTag, 4, "%d, %s: mCurCnt: %d", current);
    if (destination && found) {
        memcpy(destination, &record, sizeof record);
        mCurCnt.fetch_add(1);
    }
}

void SimulationControl::ReceivingSnapshotCmd() {
    const uint8_t* scene = Scene();
    if (!scene) {
        ZLOG(kTag, 1, "%d, %s: Scene Parameter not ready");
        return;
    }
    // The modules read sixteen EVs; the scene has ten, the rest stay 0.
    float ev[16] = {0};
    memcpy(ev, scene + SceneRecord::kHdrEv, sizeof(float) * SceneRecord::kEvCount);
    if (ReadField<uint32_t>(scene, SceneRecord::kPostprocType) & 0x3d9006u) {
        mParamManager->SetFrameStaticInfo(ev, 65535, "AE");
        ZLOG(kTag, 4, "%d, %s: ev[%f,%f,%f,%f,%f,%f,%f,%f,%f,%f]", static_cast<double>(ev[0]),
             static_cast<double>(ev[1]), static_cast<double>(ev[2]), static_cast<double>(ev[3]),
             static_cast<double>(ev[4]), static_cast<double>(ev[5]), static_cast<double>(ev[6]),
             static_cast<double>(ev[7]), static_cast<double>(ev[8]), static_cast<double>(ev[9]));
    }
    mParamManager->SetFrameStaticInfo(ev, 65535, "XTM");
}

}  // namespace ZEB
