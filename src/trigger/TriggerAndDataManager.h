#pragma once
// One parameter tree of a parameter file: its regions arranged as a tree of
// trigger ranges, matched against the trigger values of a frame, and the
// matched parameter sets interpolated into one buffer line of 32-bit values.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <vector>

#include "core/Export.h"
#include "platform/Mutex.h"
#include "trigger/ATree.h"
#include "trigger/TriggerTypes.h"

namespace ZEB {

// Trigger level -> nodes matched at that level (one, or two bracketing siblings).
using MatchedNodes = std::map<int32_t, std::vector<ATree*>>;

class ZEB_EXPORT TriggerAndDataManager {
public:
    explicit TriggerAndDataManager(const std::map<int32_t, trigger2Param>& regions);
    ~TriggerAndDataManager();
    TriggerAndDataManager(const TriggerAndDataManager&) = delete;
    TriggerAndDataManager& operator=(const TriggerAndDataManager&) = delete;

    // The query: writes GetParamLen() 32-bit values (floats or integers in
    // parameter order) to `dst`. Safe to call from several threads.
    void GetDataInfo(const std::vector<float>& candidate, void* dst) EXCLUDES(mQueryLock);
    // The same into a line of `room` values, whatever the line length is now:
    // the line is cut to fit, or followed by zeros.
    void GetDataInfo(const std::vector<float>& candidate, void* dst, size_t room) EXCLUDES(mQueryLock);

    // The steps of a query, for callers that look inside. The tree they work
    // on is shared: do not run them while another thread queries.
    // Each MatchCandidate begins a query: sets passed up by earlier ones no
    // longer count.
    void MatchCandidate(const std::vector<float>& candidate, MatchedNodes& matched) EXCLUDES(mQueryLock);
    // Continues the query the last MatchCandidate began (a fresh one before
    // any). Returns the manager's line (GetParamLen() values), valid until
    // the next query.
    const uint32_t* InterpolateParameter(const MatchedNodes& matched, const std::vector<float>& candidate)
        EXCLUDES(mQueryLock);
    // Same result; pairs the matched nodes by parent instead of by position.
    const uint32_t* InterpolateParameterSample(MatchedNodes matched, std::vector<float> candidate)
        EXCLUDES(mQueryLock);
    std::vector<paramInfo> Interpolate2Tree(ATree* first, ATree* second, float value) EXCLUDES(mQueryLock);
    // Writes the line of `params` to `dst`, which holds GetParamLen() values:
    // longer sets are cut there, shorter ones filled up with zeros.
    void FormBufferLine(std::vector<paramInfo> params, void* dst) EXCLUDES(mQueryLock);

    // Builders; the constructor runs the first two. Rebuilding a manager that
    // an XMLParameterManager holds leaves that manager's layout as it was:
    // its line for this tree keeps the length it had.
    void InOrderBufferTraversal(const std::map<int32_t, trigger2Param>& regions) EXCLUDES(mQueryLock);
    void InOrderTreeTraversal(const std::map<int32_t, trigger2Param>& regions) EXCLUDES(mQueryLock);
    // An alternative tree: a region whose range equals that of any earlier
    // sibling joins it, adjacent or not.
    void InOrderTreeTraversalSample(const std::map<int32_t, trigger2Param>& regions) EXCLUDES(mQueryLock);

    int32_t GetLayerSize() const { return mLayerSize; }
    int32_t GetParamLen() const EXCLUDES(mQueryLock);
    int32_t GetTriggerDepth() const EXCLUDES(mQueryLock);
    // The tree itself, for callers that look inside: a reference outlives any
    // lock, so these are for callers that neither query nor rebuild meanwhile.
    const std::shared_ptr<ATree>& GetRootNode() const NO_THREAD_SAFETY_ANALYSIS { return mRootNode; }
    const std::vector<std::vector<ATree*>>& GetAllTreeVec() const NO_THREAD_SAFETY_ANALYSIS { return mAllTreeVec; }
    bool IsDebug() const { return mDebug; }

private:
    // Failures a query can meet on every frame: each is logged the first
    // time, then only counted, and the count logged when the manager goes.
    enum Repeat { kLineSize, kNoPartner, kNotPrepared, kNoRootSet, kNoRegion, kRepeats };
    bool FirstTime(Repeat what) const { return mRepeats[what].fetch_add(1, std::memory_order_relaxed) == 0; }

    // Each public step takes mQueryLock once and runs its ...Locked helper;
    // a query runs the helpers of the steps it is made of.
    void GetDataInfoLocked(const std::vector<float>& candidate, void* dst, size_t room) REQUIRES(mQueryLock);
    void MatchCandidateLocked(const std::vector<float>& candidate, MatchedNodes& matched) REQUIRES(mQueryLock);
    const uint32_t* InterpolateParameterLocked(const MatchedNodes& matched, const std::vector<float>& candidate)
        REQUIRES(mQueryLock);
    void BuildTreeLocked(const std::map<int32_t, trigger2Param>& regions, bool joinAnySibling) REQUIRES(mQueryLock);
    const uint32_t* ZeroLine(const std::exception& error) REQUIRES(mQueryLock);
    void InterpolateByParent(int32_t level, const std::vector<ATree*>& nodes, const std::vector<float>& candidate)
        REQUIRES(mQueryLock);
    const uint32_t* FinishLine() REQUIRES(mQueryLock);
    bool HasParams(const ATree* node) const REQUIRES(mQueryLock);
    void PassUp(ATree* node) REQUIRES(mQueryLock);
    void InterpolateUp(ATree* first, ATree* second, float value) REQUIRES(mQueryLock);
    size_t InterpolateInto(const ATree& first, const ATree& second, float value, std::vector<paramInfo>& out) const
        REQUIRES(mQueryLock);
    const ATree::Held* FallbackParams() const REQUIRES(mQueryLock);
    void TakeFallback(ATree* node) REQUIRES(mQueryLock);
    void WriteLine(const ATree::Held& params, uint32_t* dst) const REQUIRES(mQueryLock);
    void LogLevels() const REQUIRES(mQueryLock);

    // Guards the tree, the line and the query state: the nodes hold the sets
    // a query passes up, so a query and a rebuild each need the tree alone.
    mutable Mutex mQueryLock;
    std::vector<std::vector<ATree*>> mAllTreeVec GUARDED_BY(mQueryLock);
    std::vector<uint32_t> mOutputLine GUARDED_BY(mQueryLock);
    std::shared_ptr<ATree> mRootNode GUARDED_BY(mQueryLock);
    // Set by the constructor alone.
    bool mDebug = false;
    int32_t mLayerSize = 0;
    int32_t mParamLen GUARDED_BY(mQueryLock) = 0;
    int32_t mTriggerDepth GUARDED_BY(mQueryLock) = 0;

    // Query state, kept between queries so that a query allocates nothing.
    // Nodes start at generation 0, so that before the first query none
    // counts as holding a set.
    uint64_t mGeneration GUARDED_BY(mQueryLock) = 1;
    MatchedNodes mMatched GUARDED_BY(mQueryLock);
    std::vector<ATree*> mCurrent GUARDED_BY(mQueryLock);
    std::vector<ATree*> mNext GUARDED_BY(mQueryLock);
    std::vector<ATree*> mLevelMatch GUARDED_BY(mQueryLock);
    mutable std::atomic<uint64_t> mRepeats[kRepeats] = {};
};

}  // namespace ZEB
