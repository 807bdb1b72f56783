#include "parameter/MutualParam.h"

#include <utility>

#include "core/FileAccess.h"
#include "platform/Log.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEB_MutualParam";

}  // namespace

MutualParam::MutualParam(const char* tuningTaskPath) {
    ParseTuningTaskXML(&mTask, tuningTaskPath);
    ZLOG(kTag, 4, "%d, %s: task xml parse sucessfully, task info is %p", static_cast<void*>(&mTask));
    try {
        mPreparation.Start([this] {
            try {
                PreparMutualParam();
            } catch (const std::exception& error) {
                // Ready without a sweep: the status watch must not wait forever.
                ZLOG(kTag, 1, "%d, %s: sweep preparation ended early: %s", error.what());
                mStatus.SetReady();
            }
        });
    } catch (const std::exception& error) {
        // Without a thread the sweep is prepared here: the module must still
        // become ready, or the status watch would wait for it forever.
        ZLOG(kTag, 1, "%d, %s: could not start the sweep preparation: %s", error.what());
        PreparMutualParam();
    }
}

MutualParam::~MutualParam() {
    Stop();
    mSweepMap.clear();
    ZLOG(kTag, 4, "%d, %s: Delete MutualParam Parameter");
}

void MutualParam::Stop() {
    mPreparation.Stop();
    mPreparation.Join();
}

std::string MutualParam::FileNamePart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void MutualParam::PreparMutualParam() {
    const std::string fileName = FileNamePart(mTask.ParamPath);
    std::map<int32_t, std::string> files;
    // The name becomes part of every sweep file's name; "." or ".." alone
    // name no file, and an empty one names the folder.
    const bool named = files::IsPlainName(fileName);
    if (!named && !mTask.SyncParamMap.empty()) {
        ZLOG(kTag, 1, "%d, %s: sweep of %s refused: its parameter file %s has no file name",
             files::Escaped(mTask.Block).c_str(), files::Escaped(mTask.ParamPath).c_str());
    }
    const bool kept = named && TraverseParam(&mTask, &files, "_" + fileName, &mPreparation.StopFlag());
    if (mPreparation.Stopping()) return;  // cut short: a partial sweep is never offered
    if (!kept && !mTask.SyncParamMap.empty()) {
        // A dropped sweep offers nothing: none of its frames is played.
        mStatus.SetReady();
        return;
    }
    sBlock_info key;
    key.BlockName = mTask.Block;
    key.ParamName = fileName;
    mSweepMap.emplace(std::move(key), std::move(files));
    ZLOG(kTag, 4, "%d, %s: PreparMutualParam done");
    // The map is complete before anyone can see the module ready.
    mStatus.SetReady();
}

void* MutualParam::GetParameter(void*) {
    if (mStatus.IsReady() && !mSweepMap.empty()) return &mSweepMap;
    ZLOG(kTag, 4, "%d, %s: No MutualParam param nMutualParamd to modify");
    return nullptr;
}

int MutualParam::GetOpsParam(void*) { return 0; }

ZebStatusTag* MutualParam::GetStatus(void*) { return &mStatus; }

void MutualParam::SetFrameId(int64_t) {}

void MutualParam::SetFrameStaticInfo(void*, int64_t) {}

void MutualParam::ParseParameter(void*) {}

}  // namespace ZEB
