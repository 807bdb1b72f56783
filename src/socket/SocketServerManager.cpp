#include "socket/SocketServerManager.h"

namespace ZEB {

SocketServerManager& SocketServerManager::Instance() {
    static SocketServerManager registry;
    return registry;
}

SocketServerManager::~SocketServerManager() = default;

SocketServerManager::Use::Use(Use&& other) noexcept : mOwner(other.mOwner), mEntry(std::move(other.mEntry)) {
    other.mOwner = nullptr;
}

SocketServerManager::Use& SocketServerManager::Use::operator=(Use&& other) noexcept {
    if (this != &other) {
        if (mEntry) mOwner->Release(*mEntry);
        mOwner = other.mOwner;
        mEntry = std::move(other.mEntry);
        other.mOwner = nullptr;
    }
    return *this;
}

SocketServerManager::Use::~Use() {
    if (mEntry) mOwner->Release(*mEntry);
}

void SocketServerManager::Release(Entry& entry) {
    {
        MutexLock lock(mLock);
        if (--entry.users > 0) return;
    }
    mUnused.notify_all();
}

void SocketServerManager::WaitUnused(MutexLock& lock, const std::shared_ptr<Entry>& entry) {
    mUnused.wait(lock.native(), [&]() REQUIRES(mLock) { return entry->users == 0; });
}

void SocketServerManager::Create(int cameraId) {
    auto entry = std::make_shared<Entry>();
    entry->handler = std::make_unique<SocketHandler>(cameraId);
    std::shared_ptr<Entry> old;
    {
        MutexLock lock(mLock);
        std::shared_ptr<Entry>& slot = mEntries[cameraId];
        old = std::move(slot);
        slot = std::move(entry);
        // New calls already reach the new handler; the old one goes once the
        // calls that found it have returned.
        if (old) WaitUnused(lock, old);
    }
    if (old) old->handler.reset();
}

void SocketServerManager::DeleteAll(const std::function<void(int cameraId)>& beforeDelete) {
    std::map<int, std::shared_ptr<Entry>> entries;
    MutexLock lock(mLock);
    // Out of the map, no new call can find them; the running ones are waited for.
    entries.swap(mEntries);
    for (auto& item : entries) {
        if (!item.second->handler) continue;
        WaitUnused(lock, item.second);
        std::unique_ptr<SocketHandler> handler = std::move(item.second->handler);
        lock.Unlock();
        if (beforeDelete) beforeDelete(item.first);
        handler.reset();
        lock.Lock();
    }
}

SocketServerManager::Use SocketServerManager::Find(int cameraId, bool addEntry) {
    MutexLock lock(mLock);
    auto found = mEntries.find(cameraId);
    if (found == mEntries.end()) {
        if (addEntry) mEntries.emplace(cameraId, std::make_shared<Entry>());
        return Use();
    }
    if (!found->second->handler) return Use();
    ++found->second->users;
    return Use(this, found->second);
}

bool SocketServerManager::HasEntry(int cameraId) {
    MutexLock lock(mLock);
    return mEntries.count(cameraId) != 0;
}

size_t SocketServerManager::EntryCount() {
    MutexLock lock(mLock);
    return mEntries.size();
}

}  // namespace ZEB
