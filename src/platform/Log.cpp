#include "platform/Log.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/Mutex.h"

namespace zeb_platform {

void DeliverToCaptures(const LogRecord& record);

namespace {

struct CaptureSet {
    Mutex lock;
    std::vector<LogCapture*> captures GUARDED_BY(lock);
    std::atomic<int> maxCaptureLevel{-1};
};

CaptureSet& Captures() {
    static CaptureSet* set = new CaptureSet;  // outlives every static that logs
    return *set;
}

std::atomic<int>& LevelSetting() {
    static std::atomic<int> level{[] {
        const char* text = getenv("ZEB_LOG_LEVEL");
        return (text && *text) ? atoi(text) : 4;
    }()};
    return level;
}

struct Sink {
    Mutex lock;
    FILE* out GUARDED_BY(lock) = stderr;
    Sink() {
        // The operator's own choice of destination, not a file from the
        // device: a link such as /dev/stderr or a pipe to a reader is meant.
        const char* path = getenv("ZEB_LOG_FILE");
        if (path && *path) {
            FILE* file = fopen(path, "a");
            if (file) out = file;
        }
    }
};

Sink& TheSink() {
    static Sink* sink = new Sink;
    return *sink;
}

struct CaptureData {
    Mutex lock;
    std::vector<LogRecord> records GUARDED_BY(lock);
};

bool Wanted(int level) {
    return level <= LevelSetting().load(std::memory_order_relaxed) ||
           level <= Captures().maxCaptureLevel.load(std::memory_order_relaxed);
}

void Emit(const char* tag, int level, const std::string& text) {
    LogRecord record{tag ? tag : "", level, text};
    if (level <= LevelSetting().load(std::memory_order_relaxed)) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        struct tm local;
        localtime_r(&now.tv_sec, &local);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        Sink& sink = TheSink();
        MutexLock guard(sink.lock);
        fprintf(sink.out, "%s.%03ld %d %ld %d %s: %s\n", stamp, static_cast<long>(now.tv_usec / 1000),
                static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)), level,
                record.tag.c_str(), text.c_str());
        fflush(sink.out);
    }
    DeliverToCaptures(record);
}

std::string FormatV(const char* format, va_list args) {
    if (!format) return std::string();
    va_list copy;
    va_copy(copy, args);
    char small[256];
    int length = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < sizeof small) return std::string(small, length);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, args);
    text.resize(length);
    return text;
}

}  // namespace

void DeliverToCaptures(const LogRecord& record) {
    CaptureSet& set = Captures();
    if (set.maxCaptureLevel.load(std::memory_order_relaxed) < 0) return;
    MutexLock guard(set.lock);
    for (LogCapture* capture : set.captures) {
        if (record.level > capture->mMaxLevel) continue;
        auto* data = static_cast<CaptureData*>(capture->mImpl);
        MutexLock dataGuard(data->lock);
        data->records.push_back(record);
    }
}

LogCapture::LogCapture(int maxLevel) : mMaxLevel(maxLevel), mImpl(new CaptureData) {
    CaptureSet& set = Captures();
    MutexLock guard(set.lock);
    set.captures.push_back(this);
    if (maxLevel > set.maxCaptureLevel.load()) set.maxCaptureLevel.store(maxLevel);
}

LogCapture::~LogCapture() {
    {
        CaptureSet& set = Captures();
        MutexLock guard(set.lock);
        set.captures.erase(std::remove(set.captures.begin(), set.captures.end(), this), set.captures.end());
        int highest = -1;
        for (LogCapture* capture : set.captures) highest = std::max(highest, capture->mMaxLevel);
        set.maxCaptureLevel.store(highest);
    }
    delete static_cast<CaptureData*>(mImpl);
}

std::vector<LogRecord> LogCapture::Records() const {
    auto* data = static_cast<CaptureData*>(mImpl);
    MutexLock guard(data->lock);
    return data->records;
}

size_t LogCapture::Count(const std::string& needle, const char* tag, int level) const {
    size_t count = 0;
    for (const LogRecord& record : Records()) {
        if (tag && record.tag != tag) continue;
        if (level >= 0 && record.level != level) continue;
        if (record.text.find(needle) != std::string::npos) ++count;
    }
    return count;
}

void LogCapture::Clear() {
    auto* data = static_cast<CaptureData*>(mImpl);
    MutexLock guard(data->lock);
    data->records.clear();
}

int LogLevel() { return LevelSetting().load(); }
void SetLogLevel(int level) { LevelSetting().store(level); }

}  // namespace zeb_platform

LogMessage::LogMessage(const char* tag, int level)
    : mTag(tag), mLevel(level), mEnabled(zeb_platform::Wanted(level)) {}

LogMessage::LogMessage(LogMessage&& other) noexcept
    : mTag(other.mTag), mLevel(other.mLevel), mEnabled(other.mEnabled), mText(std::move(other.mText)) {
    other.mEnabled = false;
}

LogMessage::~LogMessage() {
    if (mEnabled && !mText.empty()) zeb_platform::Emit(mTag, mLevel, mText);
}

void LogMessage::__print_log_(const char* format, ...) {
    if (!mEnabled) return;
    va_list args;
    va_start(args, format);
    mText += zeb_platform::FormatV(format, args);
    va_end(args);
}

LogMessage _log(const char* tag, int level) { return LogMessage(tag, level); }

void __print_log(int priority, const char* tag, const char* format, ...) {
    if (!zeb_platform::Wanted(priority)) return;
    va_list args;
    va_start(args, format);
    std::string text = zeb_platform::FormatV(format, args);
    va_end(args);
    zeb_platform::Emit(tag, priority, text);
}
