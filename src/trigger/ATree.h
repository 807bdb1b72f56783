#pragma once
// One node of a trigger tree: a trigger range, its child ranges of the next
// trigger level, and the parameter set that belongs to the node.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/Export.h"
#include "trigger/TriggerTypes.h"

namespace ZEB {

class TriggerAndDataManager;

class ZEB_EXPORT ATree : public std::enable_shared_from_this<ATree> {
public:
    // A root: range 0 to 0, no parent.
    ATree();
    // A node with the start and end of `range` (0 to 0 when null).
    ATree(const triggerInfo* range, ATree* parent);
    ~ATree();
    ATree(const ATree&) = delete;
    ATree& operator=(const ATree&) = delete;

    // Appends a child with that range; the child's parent is this node.
    std::shared_ptr<ATree> InsertAChild(const triggerInfo* range);
    std::vector<std::shared_ptr<ATree>> findLeafChild() const;
    // The children of `node` (none for null).
    std::vector<std::shared_ptr<ATree>> findLeafChild(const ATree* node) const;
    std::vector<paramInfo> GetTreeParam() const;
    // The parent's child after this one; this node itself when it is the
    // last child or the root (null when this node is not held by a shared_ptr).
    std::shared_ptr<ATree> NextSibling();

    const triggerInfo& GetRange() const { return mRange; }
    ATree* GetParent() const { return mParent; }
    size_t GetChildCount() const { return mChildren.size(); }
    bool IsDone() const { return mDone; }

private:
    friend class TriggerAndDataManager;

    ATree* NextSiblingNode();
    // The set this node holds: its own, or one passed up to it from below.
    const std::vector<paramInfo>& Held() const { return mHeld ? *mHeld : mParams; }

    std::vector<std::shared_ptr<ATree>> mChildren;
    std::vector<paramInfo> mParams;
    triggerInfo mRange;  // start and end only
    bool mDone = false;
    ATree* mParent = nullptr;
    size_t mPosition = 0;  // among the parent's children
    // A set passed up unchanged is not copied: the node refers to it. Sets
    // are only ever replaced, never freed, while the tree lives, so the
    // reference stays valid. Interpolated sets are written into mParams.
    const std::vector<paramInfo>* mHeld = nullptr;
    // A leaf holds its region's parameters for good; every other node holds
    // a set only for the query that passed it up (mFilledIn), so that no
    // query sees what an earlier one left behind.
    bool mFixed = false;
    uint64_t mFilledIn = 0;
};

}  // namespace ZEB
