// Tree building of the trigger engine: regions placed level by level under
// their trigger ranges, and room made for everything a query writes.
#include "trigger/TriggerAndDataManager.h"

#include <algorithm>

#include "platform/Log.h"
#include "trigger/XMLAutoParser.h"

namespace ZEB {
namespace {

const char* const kTag = "TRIGGER_MANAGER";

// Gives `target` room for an interpolated set of the shape of `source`: as
// many parameters, each with room for as many values. The values are
// placeholders until a query writes a set there.
void ReserveLike(std::vector<paramInfo>& target, const std::vector<paramInfo>& source) {
    if (target.size() < source.size()) target.resize(source.size());
    for (size_t i = 0; i < source.size(); ++i) {
        target[i].intData.reserve(source[i].intData.capacity());
        target[i].floatData.reserve(source[i].floatData.capacity());
    }
}

}  // namespace

void TriggerAndDataManager::InOrderTreeTraversal(const std::map<int32_t, trigger2Param>& regions) {
    MutexLock lock(mQueryLock);
    BuildTreeLocked(regions, false);
}

void TriggerAndDataManager::InOrderTreeTraversalSample(const std::map<int32_t, trigger2Param>& regions) {
    try {
        MutexLock lock(mQueryLock);
        BuildTreeLocked(regions, true);
    } catch (const std::exception& error) {
        ZLOG(kTag, 1, "%d, %s: trigger tree left incomplete: %s", error.what());
    }
}

void TriggerAndDataManager::BuildTreeLocked(const std::map<int32_t, trigger2Param>& regions, bool joinAnySibling) {
    // The depth is that of region 0; a tree without region 0 has no levels.
    auto first = regions.find(0);
    size_t depth = first == regions.end() ? 0 : first->second.triggers.size();
    if (depth > XMLAutoParser::kMaxTriggerDepth) {
        ZLOG(kTag, 1, "%d, %s: %zu trigger levels are more than %zu; no tree", depth,
             XMLAutoParser::kMaxTriggerDepth);
        depth = 0;
    }
    mTriggerDepth = static_cast<int32_t>(depth);
    mAllTreeVec.assign(depth, {});
    mRootNode = std::make_shared<ATree>();
    ZLOG(kTag, 4, "%d, %s: mRootNode %p", static_cast<void*>(mRootNode.get()));

    std::vector<ATree*> previous(depth, nullptr);  // the node the last placed region used per level
    for (const auto& [number, region] : regions) {
        if (depth == 0) break;
        if (region.triggers.size() != depth) {
            ZLOG(kTag, 1, "%d, %s: region %d has %zu trigger levels, the tree %zu; left out", number,
                 region.triggers.size(), depth);
            continue;
        }
        ATree* parent = mRootNode.get();
        for (size_t d = 0; d < depth; ++d) {
            const triggerInfo& step = region.triggers[d];
            auto sameRange = [&step](const ATree* node) {
                return node->mRange.start == step.start && node->mRange.end == step.end;
            };
            ATree* node = nullptr;
            if (joinAnySibling) {
                for (const auto& child : parent->mChildren) {
                    if (sameRange(child.get())) {
                        node = child.get();
                        break;
                    }
                }
            } else if (previous[d] && previous[d]->mParent == parent && sameRange(previous[d])) {
                node = previous[d];
            }
            if (!node) {
                node = parent->InsertAChild(&step).get();
                mAllTreeVec[d].push_back(node);
            }
            if (joinAnySibling) {
                ZLOG(kTag, 5, "%d, %s: LatestCount %d, formerCount %d with [%d, %d]",
                     static_cast<int>(mAllTreeVec[d].size()), d == 0 ? 1 : static_cast<int>(mAllTreeVec[d - 1].size()),
                     static_cast<int>(d), number);
            }
            previous[d] = node;
            parent = node;
        }
        if (parent->mFixed) ZLOG(kTag, 1, "%d, %s: region %d has the ranges of an earlier region and replaces it", number);
        parent->mParams = region.params;
        parent->Hold(parent->mParams, parent->mParams.size());
        parent->mFixed = true;
        if (joinAnySibling) ZLOG(kTag, 5, "%d, %s: FormerLine size is %ld", static_cast<long>(mAllTreeVec[depth - 1].size()));
    }
    if (joinAnySibling) {
        size_t nodes = 0;
        for (const auto& level : mAllTreeVec) nodes += level.size();
        ZLOG(kTag, 4, "%d, %s: Trigger Tree is formed up with %ld", static_cast<long>(nodes));
    }

    // Room for everything a query writes, so that queries allocate nothing:
    // every inner node gets the shape of the largest set below it.
    for (size_t d = depth; d-- > 1;) {
        for (ATree* node : mAllTreeVec[d]) ReserveLike(node->mParent->mParams, node->mParams);
    }
    if (depth > 0) {
        for (ATree* node : mAllTreeVec[0]) ReserveLike(mRootNode->mParams, node->mParams);
    }
    size_t widest = 0;
    for (const auto& level : mAllTreeVec) widest = std::max(widest, level.size());
    mMatched.clear();
    for (size_t d = 0; d < depth; ++d) mMatched[static_cast<int32_t>(d)].reserve(widest + 1);
    mCurrent.reserve(widest);
    mNext.reserve(widest);
    mLevelMatch.reserve(widest + 1);
}

void TriggerAndDataManager::LogLevels() const {
    for (size_t d = 0; d < mAllTreeVec.size(); ++d) {
        for (const ATree* node : mAllTreeVec[d]) {
            ZLOG(kTag, 4, "%d, %s: treeIter-> [%f, %f]\n", node->mRange.start, node->mRange.end);
        }
        ZLOG(kTag, 4, "%d, %s: with layer %d\n", static_cast<int>(d));
    }
}

}  // namespace ZEB
