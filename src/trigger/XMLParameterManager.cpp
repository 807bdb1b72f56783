#include "trigger/XMLParameterManager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>

#include "platform/Log.h"
#include "platform/Property.h"
#include "core/SimulationControlInterface.h"
#include "trigger/TriggerNumbers.h"

namespace ZEB {
namespace {

const char* const kTag = "TRIGGER_MANAGER";

using trigger_detail::CopyValues;
using trigger_detail::SaturateInt32;

}  // namespace

XMLParameterManager::XMLParameterManager(const std::map<std::string, dataPool>& xmlData) {
    try {
        char value[PROPERTY_VALUE_MAX] = {};
        SimulationControlInterface::GetPropXmlDebug(value);
        mDebug = atoi(value) != 0;
        std::map<std::string, dataPool> fake;
        const std::map<std::string, dataPool>* pools = &xmlData;
        if (mDebug) {
            FormFakeDataLine(fake);
            pools = &fake;
            mDebugCandidates.assign(3, std::vector<float>{1.0f, 3.0f, 350.0f});
        }
        ZLOG(kTag, 4, "%d, %s: Data size is %d", static_cast<int>(pools->size()));
        for (const auto& entry : *pools) {
            auto manager = std::make_shared<TriggerAndDataManager>(entry.second.regions);
            mSectorLen.push_back(manager->GetParamLen());
            mManagers.push_back(std::move(manager));
        }
        FormTriggerBufferline();
        FormConstDataBufferLine(pools->empty() ? std::vector<paramInfo>() : pools->begin()->second.constData);
    } catch (const std::exception& error) {
        ZLOG(kTag, 1, "%d, %s: parameter lines left incomplete: %s", error.what());
    }
}

XMLParameterManager::~XMLParameterManager() {
    const uint64_t count = mShortLists.load(std::memory_order_relaxed);
    if (count > 1) {
        ZLOG(kTag, 4, "%d, %s: too few candidate lists: %llu more times not logged",
             static_cast<unsigned long long>(count - 1));
    }
}

int32_t XMLParameterManager::GetConstLen() const {
    MutexLock lock(mLock);
    return mConstLen;
}

int32_t XMLParameterManager::GetTotalLen() const {
    MutexLock lock(mLock);
    return mTotalLen;
}

int32_t XMLParameterManager::GetOutputLen() const {
    MutexLock lock(mLock);
    return SaturateInt32(static_cast<long long>(mConstLen) + mTotalLen);
}

void XMLParameterManager::FormTriggerBufferline() {
    MutexLock lock(mLock);
    long long total = 0;
    for (int32_t length : mSectorLen) total += length;
    mTotalLen = SaturateInt32(total);
    mTriggerBuffer.assign(static_cast<size_t>(mTotalLen), 0u);
    ZLOG(kTag, 4, "%d, %s: totalLen %d mSectorLen.size = %d\n", mTotalLen, static_cast<int>(mSectorLen.size()));
    mSectorMap.clear();
    size_t offset = 0;
    for (size_t i = 0; i < mSectorLen.size(); ++i) {
        ZLOG(kTag, 4, "%d, %s: mSectorLen[%d] %d\n", static_cast<int>(i), mSectorLen[i]);
        mSectorMap[static_cast<int32_t>(i)] = mTriggerBuffer.data() + offset;
        offset += static_cast<size_t>(mSectorLen[i]);
    }
}

void XMLParameterManager::FormConstDataBufferLine(std::vector<paramInfo> constData) {
    // Each parameter takes as many places as its "length" says, whatever
    // number of values its text holds: values past the length are cut, a
    // shortfall is zero-filled. So a miscounted parameter moves nothing after it.
    auto isFloat = [](const paramInfo& param) { return param.type.find("float") != std::string::npos; };
    std::vector<size_t> places;
    places.reserve(constData.size());
    size_t total = 0;
    for (const paramInfo& param : constData) {
        const size_t held = isFloat(param) ? param.floatData.size() : param.intData.size();
        size_t length = param.length > 0 ? static_cast<size_t>(param.length) : 0;
        if (length > kMaxConstValues - total) {
            ZLOG(kTag, 1, "%d, %s: constant parameter %s: length %d is more than the line may hold (%zu values); "
                 "it gets %zu", param.name.c_str(), param.length, kMaxConstValues, kMaxConstValues - total);
            length = kMaxConstValues - total;
        }
        if (held != length) {
            ZLOG(kTag, 1, "%d, %s: constant parameter %s holds %zu values for length %d; the line %s",
                 param.name.c_str(), held, param.length, held > length ? "cuts them" : "fills up with zeros");
        }
        places.push_back(length);
        total += length;
    }
    MutexLock lock(mLock);
    mConstLen = static_cast<int32_t>(total);
    mConstBuffer.assign(total, 0u);
    size_t position = 0;
    for (size_t i = 0; i < constData.size(); ++i) {
        const paramInfo& param = constData[i];
        uint32_t* at = mConstBuffer.data() + position;
        if (isFloat(param)) {
            CopyValues(at, param.floatData.data(), std::min(places[i], param.floatData.size()));
        } else {
            CopyValues(at, param.intData.data(), std::min(places[i], param.intData.size()));
        }
        position += places[i];
    }
}

void XMLParameterManager::GetDataInfo(const std::vector<std::vector<float>>& candidates, void* dst) {
    if (!dst) {
        ZLOG(kTag, 1, "%d, %s: no destination for the lines");
        return;
    }
    static const std::vector<float> kNoCandidate;
    MutexLock lock(mLock);
    const std::vector<std::vector<float>>& lists = mDebug ? mDebugCandidates : candidates;
    auto* out = static_cast<unsigned char*>(dst);
    CopyValues(out, mConstBuffer.data(), mConstBuffer.size());
    size_t position = mConstBuffer.size();
    for (size_t i = 0; i < mManagers.size(); ++i) {
        // Without a list of its own a tree takes its first region, as it
        // does for a list of the wrong length.
        const std::vector<float>& candidate = i < lists.size() ? lists[i] : kNoCandidate;
        // The layout was fixed at construction; a tree rebuilt since then
        // still gets the room it had then, no more.
        const size_t room = static_cast<size_t>(mSectorLen[i]);
        mManagers[i]->GetDataInfo(candidate, out + position * sizeof(uint32_t), room);
        position += room;
    }
    if (lists.size() < mManagers.size() && mShortLists.fetch_add(1, std::memory_order_relaxed) == 0) {
        ZLOG(kTag, 1, "%d, %s: %zu candidate lists for %zu trees", lists.size(), mManagers.size());
    }
}

}  // namespace ZEB
