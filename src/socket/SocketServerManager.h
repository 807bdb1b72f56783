#pragma once
// The streaming registry: one handler per camera id. Calls into a handler
// hold it in use; a handler is destroyed only once no call is using it, so a
// client or frame thread never runs on a destroyed handler.
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>

#include "platform/Mutex.h"
#include "socket/SocketHandler.h"

namespace ZEB {

class SocketServerManager {
    // Its fields change under the registry's mLock.
    struct Entry {
        std::unique_ptr<SocketHandler> handler;
        int users = 0;
    };

public:
    // A handler held in use while this lives; empty when the id had none.
    class Use {
    public:
        Use() = default;
        Use(Use&& other) noexcept;
        Use& operator=(Use&& other) noexcept;
        ~Use();
        explicit operator bool() const { return mEntry != nullptr; }
        SocketHandler* operator->() const { return mEntry->handler.get(); }

    private:
        friend class SocketServerManager;
        Use(SocketServerManager* owner, std::shared_ptr<Entry> entry) : mOwner(owner), mEntry(std::move(entry)) {}
        SocketServerManager* mOwner = nullptr;
        std::shared_ptr<Entry> mEntry;
    };

    // The process-wide registry.
    static SocketServerManager& Instance();

    SocketServerManager() = default;
    ~SocketServerManager();
    SocketServerManager(const SocketServerManager&) = delete;
    SocketServerManager& operator=(const SocketServerManager&) = delete;

    // Stores a new handler under the id. A handler already there is destroyed
    // once the calls using it have returned.
    void Create(int cameraId) EXCLUDES(mLock);
    // Destroys every handler in ascending camera id, each once no call is
    // using it, calling `beforeDelete` with its id first; entries without a
    // handler are skipped. The registry is empty afterwards.
    void DeleteAll(const std::function<void(int cameraId)>& beforeDelete) EXCLUDES(mLock);
    // The handler of the id, held in use. With `addEntry`, an id without an
    // entry gets an empty one.
    Use Find(int cameraId, bool addEntry) EXCLUDES(mLock);

    // For tools and tests.
    bool HasEntry(int cameraId) EXCLUDES(mLock);
    size_t EntryCount() EXCLUDES(mLock);

private:
    void Release(Entry& entry) EXCLUDES(mLock);
    // Waits, under `lock`, until no call uses the entry.
    void WaitUnused(MutexLock& lock, const std::shared_ptr<Entry>& entry) REQUIRES(mLock);

    Mutex mLock;
    std::condition_variable mUnused;
    std::map<int, std::shared_ptr<Entry>> mEntries GUARDED_BY(mLock);
};

}  // namespace ZEB
