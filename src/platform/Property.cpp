#include "platform/Property.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "platform/Host.h"
#include "platform/Log.h"

namespace {

const char* const kTag = "Property";

struct Store {
    std::mutex lock;
    std::map<std::string, std::string> values;
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

// Read on every property_get of a persisted key, so kept to three system
// calls: a stream costs several times more, which the per-frame callers feel.
bool ReadPersisted(const std::string& key, std::string* value) {
    if (!SafeFileName(key)) return false;
    const int fd = open((PersistDir() + "/" + key).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
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
    return true;
}

bool WritePersisted(const std::string& key, const std::string& value) {
    if (!SafeFileName(key)) return false;
    const std::string dir = PersistDir();
    if (!zeb_platform::MakeDirs(dir)) return false;
    const std::string target = dir + "/" + key;
    // Writers of this process hold the store lock, so the pid names the file uniquely.
    const std::string temp = target + ".tmp." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    ok = (close(fd) == 0) && ok;
    if (ok) ok = rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) unlink(temp.c_str());
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
        Store& store = TheStore();
        std::lock_guard<std::mutex> guard(store.lock);
        std::string found;
        // The file is the truth for persisted keys: another process may have
        // changed it since we last looked.
        if (IsPersistent(key) && ReadPersisted(key, &found)) {
            store.values[key] = found;
            result = found;
        } else {
            auto it = store.values.find(key);
            if (it != store.values.end()) result = it->second;
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
    std::lock_guard<std::mutex> guard(store.lock);
    if (IsPersistent(key) && !WritePersisted(key, text)) {
        ZLOG(kTag, 1, "%d, %s: could not persist %s under %s", key, PersistDir().c_str());
    }
    store.values[key] = text;
    return 0;
}

namespace zeb_platform {

void ResetProperties() {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    store.values.clear();
    std::error_code code;
    for (const auto& entry : std::filesystem::directory_iterator(PersistDir(), code)) {
        if (IsPersistent(entry.path().filename().string())) std::filesystem::remove(entry.path(), code);
    }
}

}  // namespace zeb_platform
