#include "trigger/ATree.h"

#include "platform/Log.h"

namespace ZEB {
namespace {
const char* const kTag = "TRIGGER_MANAGER";
}

ATree::ATree() = default;

ATree::ATree(const triggerInfo* range, ATree* parent) : mParent(parent) {
    if (range) {
        mRange.start = range->start;
        mRange.end = range->end;
    }
}

ATree::~ATree() { ZLOG(kTag, 5, "%d, %s: Delete one tree"); }

std::shared_ptr<ATree> ATree::InsertAChild(const triggerInfo* range) {
    auto child = std::make_shared<ATree>(range, this);
    child->mPosition = mChildren.size();
    mChildren.push_back(child);
    return child;
}

std::vector<std::shared_ptr<ATree>> ATree::findLeafChild() const { return mChildren; }

std::vector<std::shared_ptr<ATree>> ATree::findLeafChild(const ATree* node) const {
    return node ? node->mChildren : std::vector<std::shared_ptr<ATree>>();
}

std::vector<paramInfo> ATree::GetTreeParam() const { return std::vector<paramInfo>(mHeld.begin(), mHeld.end()); }

ATree* ATree::NextSiblingNode() {
    if (!mParent) return this;
    const auto& siblings = mParent->mChildren;
    if (mPosition + 1 < siblings.size() && siblings[mPosition].get() == this) return siblings[mPosition + 1].get();
    return this;
}

std::shared_ptr<ATree> ATree::NextSibling() {
    ATree* next = NextSiblingNode();
    if (next == this) return weak_from_this().lock();
    return mParent->mChildren[mPosition + 1];
}

}  // namespace ZEB
