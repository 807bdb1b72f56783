#pragma once
// A whole parameter file as the HAL queries it per frame: the constant
// parameters followed by one interpolated line per parameter tree.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Export.h"
#include "platform/Mutex.h"
#include "trigger/TriggerAndDataManager.h"
#include "trigger/TriggerTypes.h"

namespace ZEB {

class ZEB_EXPORT XMLParameterManager {
public:
    // `xmlData` is XMLAutoParser::GetXMLData(). With the debug property
    // "persist.vendor.cam.zeb.xml.debug.mode" set, fixed test pools
    // (FormFakeDataLine) stand in for it.
    explicit XMLParameterManager(const std::map<std::string, dataPool>& xmlData);
    ~XMLParameterManager();
    XMLParameterManager(const XMLParameterManager&) = delete;
    XMLParameterManager& operator=(const XMLParameterManager&) = delete;

    // Writes GetOutputLen() 32-bit values to `dst`: the constant line, then
    // the line of each tree in tree-name order, tree i matched against
    // candidates[i]. A tree without a candidate list gets its first region.
    // Allocates nothing; safe to call from several threads.
    void GetDataInfo(const std::vector<std::vector<float>>& candidates, void* dst) EXCLUDES(mLock);

    void FormTriggerBufferline() EXCLUDES(mLock);
    // Each constant parameter takes `length` values of the line: its values
    // cut to that many, or followed by zeros.
    void FormConstDataBufferLine(std::vector<paramInfo> constData) EXCLUDES(mLock);

    // The constant line is built from the file's "length" attributes; a
    // hostile file must not be able to make it take gigabytes.
    static constexpr size_t kMaxConstValues = 1u << 20;

    int32_t GetConstLen() const EXCLUDES(mLock);
    int32_t GetTotalLen() const EXCLUDES(mLock);
    int32_t GetOutputLen() const EXCLUDES(mLock);
    const std::vector<int32_t>& GetSectorLen() const { return mSectorLen; }
    const std::vector<std::shared_ptr<TriggerAndDataManager>>& GetManagers() const { return mManagers; }
    bool IsDebug() const { return mDebug; }

private:
    // Set by the constructor alone.
    std::vector<std::shared_ptr<TriggerAndDataManager>> mManagers;
    std::vector<int32_t> mSectorLen;
    bool mDebug = false;
    std::vector<std::vector<float>> mDebugCandidates;

    // The lines, which the builders above may redo while the HAL queries.
    mutable Mutex mLock;
    std::map<int32_t, uint32_t*> mSectorMap GUARDED_BY(mLock);  // tree index -> its line in mTriggerBuffer
    std::vector<uint32_t> mConstBuffer GUARDED_BY(mLock);
    std::vector<uint32_t> mTriggerBuffer GUARDED_BY(mLock);
    int32_t mTotalLen GUARDED_BY(mLock) = 0;
    int32_t mConstLen GUARDED_BY(mLock) = 0;
    // Queries with too few candidate lists: logged the first time, then counted.
    std::atomic<uint64_t> mShortLists{0};
};

// Fixed test input: eight regions of three trigger levels ([0, 2] [2, 5],
// then [0, 2] [4, 8], then [0, 300] [400, 1000]), each with a float parameter
// of three values and an int parameter of two.
ZEB_EXPORT void MakeFakeData(std::map<int32_t, trigger2Param>& regions);
// Replaces `pools` with three pools of MakeFakeData regions and two constant
// parameters.
ZEB_EXPORT void FormFakeDataLine(std::map<std::string, dataPool>& pools);

}  // namespace ZEB
