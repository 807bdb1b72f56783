#include "trigger/TriggerAndDataManager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/Log.h"
#include "platform/Property.h"
#include "core/SimulationControlInterface.h"
#include "trigger/TriggerKernels.h"
#include "trigger/TriggerNumbers.h"

namespace ZEB {
namespace {

const char* const kTag = "TRIGGER_MANAGER";

using trigger_detail::CopyValues;
using trigger_detail::InterpolateFloats;
using trigger_detail::InterpolateInts;
using trigger_detail::SaturateInt32;
using trigger_detail::TruncToInt32;

const std::vector<ATree*> kNothing;

// Values a parameter contributes to a buffer line: its floats when it has
// any, otherwise its integers.
size_t LineValues(const paramInfo& param) {
    return param.floatData.empty() ? param.intData.size() : param.floatData.size();
}

// Interpolates the values `high` and `low` have in common into `out`; the
// values of `high` without a partner keep their value. Returns how many had one.
template <class T, class Kernel>
size_t InterpolateValues(const std::vector<T>& high, const std::vector<T>* low, std::vector<T>& out, Kernel kernel) {
    const size_t paired = low ? std::min(high.size(), low->size()) : 0;
    out.resize(high.size());
    kernel(high.data(), paired ? low->data() : nullptr, paired, out.data());
    std::copy(high.begin() + static_cast<std::ptrdiff_t>(paired), high.end(),
              out.begin() + static_cast<std::ptrdiff_t>(paired));
    return paired;
}

bool ReadDebugProperty() {
    char value[PROPERTY_VALUE_MAX] = {};
    SimulationControlInterface::GetPropXmlDebug(value);
    return atoi(value) != 0;
}

}  // namespace

TriggerAndDataManager::TriggerAndDataManager(const std::map<int32_t, trigger2Param>& regions) {
    try {
        mLayerSize = SaturateInt32(static_cast<long long>(regions.size()));
        ZLOG(kTag, 4, "%d, %s: mLayerSize is %d\n", mLayerSize);
        InOrderBufferTraversal(regions);
        InOrderTreeTraversal(regions);
        mDebug = ReadDebugProperty();
        if (mDebug) {
            MutexLock lock(mQueryLock);
            LogLevels();
        }
        ZLOG(kTag, 4, "%d, %s: Instance Done\n");
    } catch (const std::exception& error) {
        ZLOG(kTag, 1, "%d, %s: trigger tree left incomplete: %s", error.what());
    }
}

TriggerAndDataManager::~TriggerAndDataManager() {
    static const char* const kWhat[kRepeats] = {"parameter set of another line size", "values without a partner",
                                                "Tree not prepared", "Maybe some error", "tree without regions"};
    for (int what = 0; what < kRepeats; ++what) {
        const uint64_t count = mRepeats[what].load(std::memory_order_relaxed);
        if (count > 1) {
            ZLOG(kTag, 4, "%d, %s: %s: %llu more times not logged", kWhat[what],
                 static_cast<unsigned long long>(count - 1));
        }
    }
}

void TriggerAndDataManager::InOrderBufferTraversal(const std::map<int32_t, trigger2Param>& regions) {
    size_t total = 0;
    for (const auto& entry : regions) {
        for (const paramInfo& param : entry.second.params) total += LineValues(param);
    }
    const size_t layers = regions.size();
    const int32_t length = layers == 0 ? 0 : SaturateInt32(static_cast<long long>(total / layers));
    ZLOG(kTag, 4, "%d, %s: mParamLen %d\n", length);
    std::vector<uint32_t> line(static_cast<size_t>(length), 0u);
    // A query may be copying the line out right now.
    MutexLock lock(mQueryLock);
    mParamLen = length;
    mOutputLine.swap(line);
}

int32_t TriggerAndDataManager::GetParamLen() const {
    MutexLock lock(mQueryLock);
    return mParamLen;
}

int32_t TriggerAndDataManager::GetTriggerDepth() const {
    MutexLock lock(mQueryLock);
    return mTriggerDepth;
}

void TriggerAndDataManager::GetDataInfo(const std::vector<float>& candidate, void* dst) {
    MutexLock lock(mQueryLock);
    GetDataInfoLocked(candidate, dst, mOutputLine.size());
}

void TriggerAndDataManager::GetDataInfo(const std::vector<float>& candidate, void* dst, size_t room) {
    MutexLock lock(mQueryLock);
    GetDataInfoLocked(candidate, dst, room);
}

void TriggerAndDataManager::GetDataInfoLocked(const std::vector<float>& candidate, void* dst, size_t room) {
    if (!dst) {
        ZLOG(kTag, 1, "%d, %s: no destination for the line");
        return;
    }
    for (auto& level : mMatched) level.second.clear();
    MatchCandidateLocked(candidate, mMatched);
    const uint32_t* line = InterpolateParameterLocked(mMatched, candidate);
    const size_t copied = std::min(room, mOutputLine.size());
    CopyValues(dst, line, copied);
    if (room > copied) {
        memset(static_cast<unsigned char*>(dst) + copied * sizeof(uint32_t), 0, (room - copied) * sizeof(uint32_t));
    }
}

void TriggerAndDataManager::MatchCandidate(const std::vector<float>& candidate, MatchedNodes& matched) {
    MutexLock lock(mQueryLock);
    MatchCandidateLocked(candidate, matched);
}

void TriggerAndDataManager::MatchCandidateLocked(const std::vector<float>& candidate, MatchedNodes& matched) {
    try {
        ++mGeneration;
        if (mDebug) {
            for (float value : candidate) ZLOG(kTag, 4, "%d, %s: Candidate info %f\n", value);
            for (size_t d = 0; d < mAllTreeVec.size(); ++d) {
                for (const ATree* node : mAllTreeVec[d]) {
                    ZLOG(kTag, 4, "%d, %s: TreeIter-> [%f, %f] -> %ld\n", node->mRange.start, node->mRange.end,
                         static_cast<long>(node->mChildren.size()));
                }
                ZLOG(kTag, 4, "%d, %s: with layer %d\n", static_cast<int>(d));
            }
        }
        if (!mRootNode) {
            ZLOG(kTag, 1, "%d, %s: mROOTNode is NULL");
            return;
        }
        if (static_cast<size_t>(mTriggerDepth) != candidate.size()) {
            if (FirstTime(kNotPrepared)) {
                ZLOG(kTag, 1, "%d, %s: Tree not prepared with %p, mTriggerDepth [%d, %d]",
                     static_cast<void*>(mRootNode.get()), mTriggerDepth, static_cast<int>(candidate.size()));
            }
            TakeFallback(mRootNode.get());
            return;
        }
        ZLOG(kTag, 5, "%d, %s: mROOTNode is %p", static_cast<void*>(mRootNode.get()));
        if (mAllTreeVec.empty()) return;

        mCurrent.assign(mAllTreeVec[0].begin(), mAllTreeVec[0].end());
        for (int32_t d = 0; d < mTriggerDepth; ++d) {
            const float c = candidate[static_cast<size_t>(d)];
            mLevelMatch.clear();
            // A node can be listed both as the right partner of a gap and on its
            // own (ranges written end before start); it is listed once.
            auto add = [this](ATree* node) REQUIRES(mQueryLock) {
                if (mLevelMatch.empty() || mLevelMatch.back() != node) mLevelMatch.push_back(node);
            };
            for (ATree* node : mCurrent) {
                const float start = node->mRange.start;
                const float end = node->mRange.end;
                ZLOG(kTag, 5, "%d, %s: Start vs End [%f, %f]", start, end);
                ATree* sibling = node->NextSiblingNode();
                if (end < c && sibling != node && sibling->mRange.start > c) {
                    add(node);
                    add(sibling);
                    ZLOG(kTag, 5, "%d, %s: Bullseye! Sibling match");
                } else if (start <= c && c < end) {
                    add(node);
                    ZLOG(kTag, 5, "%d, %s: Bullseye! Region matched");
                } else if (start == c && c == end) {
                    add(node);
                    ZLOG(kTag, 5, "%d, %s: Bullseye! Directly matched");
                } else if (end == c) {
                    add(node);
                    ZLOG(kTag, 5, "%d, %s: Bullseye! Nearly matched");
                }
            }
            std::vector<ATree*>& slot = matched[d];
            if (slot.empty()) slot.assign(mLevelMatch.begin(), mLevelMatch.end());
            mNext.clear();
            for (ATree* node : mLevelMatch) {
                for (const auto& child : node->mChildren) mNext.push_back(child.get());
            }
            mCurrent.swap(mNext);
        }
        if (mDebug) {
            for (const auto& level : matched) {
                ZLOG(kTag, 4, "%d, %s: Iter size %ld\n", static_cast<long>(level.second.size()));
                for (const ATree* node : level.second) {
                    ZLOG(kTag, 4, "%d, %s: _Iter [%f, %f]\n", node->mRange.start, node->mRange.end);
                }
            }
        }
    } catch (const std::exception& error) {
        ZLOG(kTag, 1, "%d, %s: matching failed: %s", error.what());
    }
}

const uint32_t* TriggerAndDataManager::InterpolateParameter(const MatchedNodes& matched,
                                                              const std::vector<float>& candidate) {
    MutexLock lock(mQueryLock);
    return InterpolateParameterLocked(matched, candidate);
}

const uint32_t* TriggerAndDataManager::InterpolateParameterLocked(const MatchedNodes& matched,
                                                                    const std::vector<float>& candidate) {
    try {
        ZLOG(kTag, 5, "%d, %s: Trigger Depth is %d\n", mTriggerDepth);
        for (int32_t level = mTriggerDepth - 1; level >= 0; --level) {
            auto found = matched.find(level);
            const std::vector<ATree*>& nodes = found == matched.end() ? kNothing : found->second;
            ZLOG(kTag, 5, "%d, %s: VecSize is %d", static_cast<int>(nodes.size()));
            size_t i = 0;
            while (i < nodes.size()) {
                ATree* node = nodes[i];
                const int index = static_cast<int>(i);
                if (i + 1 == nodes.size()) {
                    PassUp(node);
                    ZLOG(kTag, 5, "%d, %s: Last Not Matched [%d, %d]\n", level, index);
                    break;
                }
                ZLOG(kTag, 5, "%d, %s: Coordinate is [%d, %d]\n", level, index);
                ATree* next = nodes[i + 1];
                if (node->mParent && node->mParent == next->mParent &&
                    static_cast<size_t>(level) < candidate.size()) {
                    InterpolateUp(node, next, candidate[static_cast<size_t>(level)]);
                    node->mDone = true;
                    next->mDone = true;
                    ZLOG(kTag, 5, "%d, %s: Same Father [%d, %d], Data %ld, tree [%ld, %ld]\n", level, index,
                         static_cast<long>(node->mParent->mHeld.size), static_cast<long>(node->mHeld.size),
                         static_cast<long>(next->mHeld.size));
                    i += 2;
                } else {
                    PassUp(node);
                    node->mDone = true;
                    ZLOG(kTag, 5, "%d, %s: Single [%d, %d], Data %ld\n", level, index,
                         static_cast<long>(node->mHeld.size));
                    i += 1;
                }
            }
        }
        return FinishLine();
    } catch (const std::exception& error) {
        return ZeroLine(error);
    }
}

const uint32_t* TriggerAndDataManager::InterpolateParameterSample(MatchedNodes matched,
                                                                    std::vector<float> candidate) {
    MutexLock lock(mQueryLock);
    try {
        for (int32_t level = mTriggerDepth - 1; level >= 0; --level) {
            auto found = matched.find(level);
            InterpolateByParent(level, found == matched.end() ? kNothing : found->second, candidate);
        }
        return FinishLine();
    } catch (const std::exception& error) {
        return ZeroLine(error);
    }
}

const uint32_t* TriggerAndDataManager::ZeroLine(const std::exception& error) {
    ZLOG(kTag, 1, "%d, %s: interpolation failed, the line is zeroed: %s", error.what());
    std::fill(mOutputLine.begin(), mOutputLine.end(), 0u);
    return mOutputLine.data();
}

void TriggerAndDataManager::InterpolateByParent(int32_t level, const std::vector<ATree*>& nodes,
                                                const std::vector<float>& candidate) {
    // Each run of nodes with one parent hands up one set: the two outermost
    // nodes of the run interpolated, or the single node.
    size_t j = 0;
    while (j < nodes.size()) {
        ZLOG(kTag, 5, "%d, %s: Candiate with j %d\n", static_cast<int>(j));
        size_t last = j;
        while (last + 1 < nodes.size() && nodes[last + 1]->mParent == nodes[j]->mParent) ++last;
        if (last > j && nodes[j]->mParent && static_cast<size_t>(level) < candidate.size()) {
            InterpolateUp(nodes[j], nodes[last], candidate[static_cast<size_t>(level)]);
            nodes[last]->mDone = true;
        } else {
            PassUp(nodes[j]);
        }
        nodes[j]->mDone = true;
        j = last + 1;
    }
}

const uint32_t* TriggerAndDataManager::FinishLine() {
    ATree* root = mRootNode.get();
    if (!root) {
        std::fill(mOutputLine.begin(), mOutputLine.end(), 0u);
        return mOutputLine.data();
    }
    if (!HasParams(root) || root->mHeld.empty()) {
        if (FirstTime(kNoRootSet)) ZLOG(kTag, 1, "%d, %s: Maybe some error, Setting AllTreeVec beginning");
        TakeFallback(root);
    } else {
        ZLOG(kTag, 5, "%d, %s: Now RootNode with %ld\n", static_cast<long>(root->mHeld.size));
    }
    if (HasParams(root)) {
        WriteLine(root->mHeld, mOutputLine.data());
    } else {
        std::fill(mOutputLine.begin(), mOutputLine.end(), 0u);
    }
    return mOutputLine.data();
}

bool TriggerAndDataManager::HasParams(const ATree* node) const {
    return node->mFixed || node->mFilledIn == mGeneration;
}

void TriggerAndDataManager::PassUp(ATree* node) {
    ATree* parent = node->mParent;
    if (!parent || !HasParams(node)) return;
    parent->mHeld = node->mHeld;
    parent->mFilledIn = mGeneration;
}

void TriggerAndDataManager::InterpolateUp(ATree* first, ATree* second, float value) {
    const bool firstHas = HasParams(first);
    const bool secondHas = HasParams(second);
    if (!firstHas || !secondHas) {
        // A node below which nothing matched has no set; its partner's stands alone.
        if (firstHas) PassUp(first);
        if (secondHas) PassUp(second);
        return;
    }
    ATree* parent = first->mParent;
    parent->Hold(parent->mParams, InterpolateInto(*first, *second, value, parent->mParams));
    parent->mFilledIn = mGeneration;
}

std::vector<paramInfo> TriggerAndDataManager::Interpolate2Tree(ATree* first, ATree* second, float value) {
    std::vector<paramInfo> result;
    if (!first || !second) {
        ZLOG(kTag, 1, "%d, %s: two nodes are needed, got %p and %p", static_cast<void*>(first),
             static_cast<void*>(second));
        return result;
    }
    MutexLock lock(mQueryLock);
    try {
        result.resize(InterpolateInto(*first, *second, value, result));
    } catch (const std::exception& error) {
        ZLOG(kTag, 1, "%d, %s: interpolation failed: %s", error.what());
        result.clear();
    }
    return result;
}

size_t TriggerAndDataManager::InterpolateInto(const ATree& first, const ATree& second, float value,
                                              std::vector<paramInfo>& out) const {
    const bool firstHigher = first.mRange.start > second.mRange.start;
    const ATree& high = firstHigher ? first : second;
    const ATree& low = firstHigher ? second : first;
    const ATree::Held& highParams = high.mHeld;
    const ATree::Held& lowParams = low.mHeld;
    const float highStart = high.mRange.start;
    const float lowEnd = low.mRange.end;
    const float gap = highStart - lowEnd;
    const float offset = value - lowEnd;
    const int32_t span = TruncToInt32(gap);

    size_t unpaired = 0;
    // Written over the front of `out`, which is never shrunk: the parameters
    // behind keep their room for a later, larger set. A tree's nodes have
    // room for every set below them from construction on.
    if (out.size() < highParams.size) out.resize(highParams.size);
    for (size_t i = 0; i < highParams.size; ++i) {
        const paramInfo& h = highParams[i];
        const paramInfo* l = i < lowParams.size ? &lowParams[i] : nullptr;
        paramInfo& r = out[i];
        r.index = 0;
        r.length = h.length;
        r.type.clear();
        r.name.clear();
        r.text.clear();
        if (!h.floatData.empty()) {
            r.intData.clear();
            const size_t paired = InterpolateValues(h.floatData, l ? &l->floatData : nullptr, r.floatData,
                                                    [gap, offset](const float* hv, const float* lv, size_t n, float* o) {
                                                        InterpolateFloats(hv, lv, n, gap, offset, o);
                                                    });
            unpaired += h.floatData.size() - paired;
            if (mDebug) {
                for (size_t j = 0; j < h.floatData.size(); ++j) {
                    ZLOG(kTag, 4, "%d, %s: Float Max [%f], Min [%f], Value[%f, %f], final [%f]\n", highStart,
                         lowEnd, h.floatData[j], j < paired ? l->floatData[j] : h.floatData[j], r.floatData[j]);
                }
            }
        } else {
            r.floatData.clear();
            const size_t paired = InterpolateValues(h.intData, l ? &l->intData : nullptr, r.intData,
                                                    [span, offset](const int32_t* hv, const int32_t* lv, size_t n,
                                                                   int32_t* o) {
                                                        InterpolateInts(hv, lv, n, span, offset, o);
                                                    });
            unpaired += h.intData.size() - paired;
            if (mDebug) {
                for (size_t j = 0; j < h.intData.size(); ++j) {
                    ZLOG(kTag, 4, "%d, %s: Int Max [%f], Min [%f], Value[%d, %d], final [%d]\n", highStart, lowEnd,
                         h.intData[j], j < paired ? l->intData[j] : h.intData[j], r.intData[j]);
                }
            }
        }
    }
    if (unpaired > 0 && FirstTime(kNoPartner)) {
        ZLOG(kTag, 1, "%d, %s: %zu values of range [%f, %f] have no partner in range [%f, %f]; they keep their value",
             unpaired, highStart, high.mRange.end, low.mRange.start, lowEnd);
    }
    return highParams.size;
}

const ATree::Held* TriggerAndDataManager::FallbackParams() const {
    if (mAllTreeVec.empty() || mAllTreeVec[0].empty()) return nullptr;
    // The first level-0 node holds a set only when this query passed one up
    // to it; otherwise its first leaf stands in for it.
    const ATree* node = mAllTreeVec[0][0];
    while (!HasParams(node) && !node->mChildren.empty()) node = node->mChildren.front().get();
    return HasParams(node) ? &node->mHeld : nullptr;
}

void TriggerAndDataManager::TakeFallback(ATree* node) {
    const ATree::Held* fallback = FallbackParams();
    if (!fallback) {
        if (FirstTime(kNoRegion)) ZLOG(kTag, 1, "%d, %s: the tree has no region; the line stays zero");
        return;
    }
    node->mHeld = *fallback;
    node->mFilledIn = mGeneration;
}

void TriggerAndDataManager::FormBufferLine(std::vector<paramInfo> params, void* dst) {
    if (!dst) {
        ZLOG(kTag, 1, "%d, %s: no destination for the line");
        return;
    }
    // The destination may be unaligned: build the line in place only when it can.
    MutexLock lock(mQueryLock);
    ATree::Held held{params.data(), params.size()};
    if (reinterpret_cast<uintptr_t>(dst) % alignof(uint32_t) == 0) {
        WriteLine(held, static_cast<uint32_t*>(dst));
        return;
    }
    std::vector<uint32_t> line(static_cast<size_t>(mParamLen));
    WriteLine(held, line.data());
    CopyValues(dst, line.data(), line.size());
}

void TriggerAndDataManager::WriteLine(const ATree::Held& params, uint32_t* dst) const {
    const size_t capacity = static_cast<size_t>(mParamLen);
    size_t position = 0;
    size_t given = 0;
    for (const paramInfo& param : params) {
        const size_t count = LineValues(param);
        given += count;
        const size_t fits = std::min(count, capacity - position);
        if (!param.floatData.empty()) {
            CopyValues(dst + position, param.floatData.data(), fits);
            if (mDebug) {
                for (size_t j = 0; j < fits; ++j) ZLOG(kTag, 4, "%d, %s: Final buffer with %f", param.floatData[j]);
            }
        } else {
            CopyValues(dst + position, param.intData.data(), fits);
            if (mDebug) {
                for (size_t j = 0; j < fits; ++j) ZLOG(kTag, 4, "%d, %s: Final buffer with %d", param.intData[j]);
            }
        }
        position += fits;
    }
    // Regions of different size: the line keeps its length either way.
    std::fill(dst + position, dst + capacity, 0u);
    if (given != capacity && FirstTime(kLineSize)) {
        ZLOG(kTag, 1, "%d, %s: parameter set gives %zu values for a line of %zu; %s", given, capacity,
             given > capacity ? "the rest is left out" : "the rest is zero");
    }
}

}  // namespace ZEB
