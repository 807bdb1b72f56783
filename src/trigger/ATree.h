#pragma once
// One node of a trigger tree: a trigger range, its child ranges of the next
// trigger level, and the parameter set that belongs to the node.
#include <cstddef>
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
    // The set the node holds: a leaf's region set, otherwise the last set
    // passed up to it; empty until a query passes one.
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

    // A parameter set a node holds: its own, one passed up to it from below,
    // or the first part of its own storage where an interpolated set was
    // written. A span, so that a smaller set can be written over a larger
    // one without giving up the room the larger one had.
    struct Held {
        const paramInfo* data = nullptr;
        size_t size = 0;
        const paramInfo* begin() const { return data; }
        const paramInfo* end() const { return data + size; }
        bool empty() const { return size == 0; }
        const paramInfo& operator[](size_t i) const { return data[i]; }
    };

    ATree* NextSiblingNode();
    void Hold(const std::vector<paramInfo>& params, size_t size) { mHeld = {params.data(), size}; }

    std::vector<std::shared_ptr<ATree>> mChildren;
    // A leaf's region set; at an inner node, room for an interpolated set of
    // the largest shape below it, reserved at construction.
    std::vector<paramInfo> mParams;
    triggerInfo mRange;  // start and end only
    bool mDone = false;
    ATree* mParent = nullptr;
    size_t mPosition = 0;  // among the parent's children
    // What the node holds; nothing until a set is first passed up to it.
    // A set passed up unchanged is not copied: the node refers to it. Sets
    // are only ever overwritten in place, never moved or freed, while the
    // tree lives, so the reference stays valid.
    Held mHeld;
    // A leaf holds its region's parameters for good; every other node holds
    // a set only for the query that passed it up (mFilledIn), so that no
    // query sees what an earlier one left behind.
    bool mFixed = false;
    uint64_t mFilledIn = 0;
};

}  // namespace ZEB
