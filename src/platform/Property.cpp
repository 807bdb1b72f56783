#include "platform/Property.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Mutex.h"

namespace {

const char* const kTag = "Property";

struct Store {
    // Guards the values; never held while a file is touched, so a slow or
    // hostile file holds up only the call that reads it.
    Mutex lock;
    std::map<std::string, std::string> values GUARDED_BY(lock);
    // Persisted keys whose file was refused, named once until it reads again.
    std::set<std::string> refused GUARDED_BY(lock);
    // Orders the writes of persisted keys (file, then value); readers never take it.
    Mutex writing;
};

Store& TheStore() {
    static Store* store = new Store;
    return *store;
}

bool IsPersistent(const std::string& key) { return key.compare(0, 8, "persist.") == 0; }

std::string PersistDir() { return zeb_platform::DevicePath("/data/property"); }

// Keys never contain a path separator on Android; keep it so on the host too.
bool SafeFileName(const std::string& key) {
    return key.find('/') == std::string::npos && key != "." && key != "..";
}

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device file";
    return "not a regular file";
}

enum class Persisted { Read, Absent, Refused };

// Read on every property_get of a persisted key, so kept to four system
// calls. Only a regular file at the key's own name is read: a link is not
// followed, a pipe is not waited on.
Persisted ReadPersisted(const std::string& key, std::string* value, std::string* why) {
    if (!SafeFileName(key)) return Persisted::Absent;
    const std::string path = PersistDir() + "/" + key;
    zeb_platform::BeforeOpen(path.c_str());
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Persisted::Absent;
        *why = errno == ELOOP ? "a link" : strerror(errno);
        return Persisted::Refused;
    }
    struct stat info = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *why = KindOf(info.st_mode);
        close(fd);
        return Persisted::Refused;
    }
    char text[PROPERTY_VALUE_MAX - 1];
    size_t length = 0;
    while (length < sizeof text) {
        const ssize_t got = read(fd, text + length, sizeof text - length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += static_cast<size_t>(got);
    }
    close(fd);
    value->assign(text, length);
    return Persisted::Read;
}

// The folder of the persisted keys, made level by level below the device
// root and opened without following a link at either level.
int OpenPersistDir(std::string* why) {
    const std::string root = zeb_platform::DeviceRoot();
    int fd = open(root.empty() ? "/" : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const char* part : {"data", "property"}) {
        if (fd < 0) break;
        if (mkdirat(fd, part, 0770) != 0 && errno != EEXIST) {
            *why = strerror(errno);
            close(fd);
            return -1;
        }
        const int next = openat(fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) *why = std::string(part) + " is not a folder (" + strerror(errno) + ")";
        close(fd);
        fd = next;
    }
    if (fd < 0 && why->empty()) *why = strerror(errno);
    return fd;
}

// Written to a fresh temporary file beside the key's (never through what
// stands at either name), renamed over the key's name.
bool WritePersisted(const std::string& key, const std::string& value, std::string* why) {
    if (!SafeFileName(key)) {
        *why = "the key cannot name a file";
        return false;
    }
    const int dir = OpenPersistDir(why);
    if (dir < 0) return false;
    static std::atomic<unsigned> count{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
        temp = key + ".tmp." + std::to_string(getpid()) + "." + std::to_string(count++);
        fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        *why = strerror(errno);
        close(dir);
        return false;
    }
    bool ok = write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    ok = (close(fd) == 0) && ok;
    if (ok && renameat(dir, temp.c_str(), dir, key.c_str()) != 0) {
        *why = errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST ? "a folder stands at its name" : strerror(errno);
        ok = false;
    } else if (!ok) {
        *why = "the temporary file could not be written";
    }
    if (!ok) unlinkat(dir, temp.c_str(), 0);
    close(dir);
    return ok;
}

}  // namespace

extern "C" int property_get(const char* key, char* value, const char* default_value) {
    if (!value) {
        ZLOG(kTag, 1, "%d, %s: null value buffer for key %s", key ? key : "(null)");
        return -1;
    }
    std::string result = default_value ? default_value : "";
    if (!key || !*key) {
        ZLOG(kTag, 1, "%d, %s: null or empty key, default returned");
    } else {
        // The file is the truth for persisted keys: another process may have
        // changed it since we last looked. It is read before the lock is taken.
        const std::string name = key;
        std::string found, why;
        const Persisted state = IsPersistent(name) ? ReadPersisted(name, &found, &why) : Persisted::Absent;
        bool announce = false;
        {
            Store& store = TheStore();
            MutexLock guard(store.lock);
            if (state == Persisted::Read) {
                store.values[name] = found;
                store.refused.erase(name);
                result = found;
            } else {
                auto it = store.values.find(name);
                if (it != store.values.end()) result = it->second;
                if (state == Persisted::Refused) announce = store.refused.insert(name).second;
            }
        }
        if (announce) {
            ZLOG(kTag, 1, "%d, %s: persisted property %s refused: %s", (PersistDir() + "/" + name).c_str(),
                 why.c_str());
        }
    }
    if (result.size() > PROPERTY_VALUE_MAX - 1) result.resize(PROPERTY_VALUE_MAX - 1);
    memcpy(value, result.c_str(), result.size() + 1);
    return static_cast<int>(result.size());
}

extern "C" int property_set(const char* key, const char* value) {
    if (!key || !*key) {
        ZLOG(kTag, 1, "%d, %s: null or empty key refused");
        return -1;
    }
    const std::string text = value ? value : "";
    if (text.size() > PROPERTY_VALUE_MAX - 1) {
        ZLOG(kTag, 1, "%d, %s: value of %s refused: %zu characters, at most %d", key, text.size(),
             PROPERTY_VALUE_MAX - 1);
        return -1;
    }
    Store& store = TheStore();
    std::string why;
    bool persisted = true;
    if (IsPersistent(key)) {
        MutexLock writing(store.writing);
        persisted = WritePersisted(key, text, &why);
        MutexLock guard(store.lock);
        store.values[key] = text;
    } else {
        MutexLock guard(store.lock);
        store.values[key] = text;
    }
    if (!persisted) ZLOG(kTag, 1, "%d, %s: could not persist %s under %s: %s", key, PersistDir().c_str(), why.c_str());
    return 0;
}

namespace zeb_platform {

void ResetProperties() {
    Store& store = TheStore();
    MutexLock writing(store.writing);
    {
        MutexLock guard(store.lock);
        store.values.clear();
        store.refused.clear();
    }
    // Only the device root's own folders: a link at either is not followed.
    for (const std::string& folder : {DevicePath("/data"), PersistDir()}) {
        struct stat info;
        if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
    }
    std::error_code code;
    for (const auto& entry : std::filesystem::directory_iterator(PersistDir(), code)) {
        if (IsPersistent(entry.path().filename().string())) std::filesystem::remove_all(entry.path(), code);
    }
}

}  // namespace zeb_platform
