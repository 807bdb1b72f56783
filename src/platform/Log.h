#pragma once
// Host stand-in for the camera pipeline's log library.
//
// `_log(tag, level)` yields a LogMessage; its `__print_log_` formats the text and
// the line is written when the LogMessage ends. Messages above ZEB_LOG_LEVEL
// (default 4) are dropped before any formatting happens. Lines go to stderr, or
// to the file named by ZEB_LOG_FILE:
//   2026-12-06 20:51:56.123 <pid> <tid> <level> <tag>: <text>
#include <cstddef>
#include <string>
#include <vector>

// Priorities of the second logging path, as the pipeline names them. They map
// onto the levels of `_log`: errors are level 1, debug output level 4.
enum LogPriority { LOG_PRI_E = 1, LOG_PRI_W = 2, LOG_PRI_I = 3, LOG_PRI_D = 4, LOG_PRI_V = 5 };

class LogMessage {
public:
    LogMessage(const char* tag, int level);
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;
    LogMessage(LogMessage&& other) noexcept;
    ~LogMessage();

    void __print_log_(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    const char* mTag;
    int mLevel;
    bool mEnabled;
    std::string mText;
};

LogMessage _log(const char* tag, int level);
void __print_log(int priority, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Call sites write the whole format, "%d, %s: " prefix included, exactly as the
// message is known; the macro supplies the line number and the function name.
#define ZLOG(tag, level, format, ...) \
    _log((tag), (level)).__print_log_((format), __LINE__, __func__, ##__VA_ARGS__)
// A line that names `caller` as its function: helpers write the lines of the
// operation they serve.
#define ZLOG_AS(caller, tag, level, format, ...) \
    _log((tag), (level)).__print_log_((format), __LINE__, (caller), ##__VA_ARGS__)
#define ZPRINT(priority, tag, format, ...) \
    __print_log((priority), (tag), (format), __LINE__, __func__, ##__VA_ARGS__)

namespace zeb_platform {

struct LogRecord {
    std::string tag;
    int level;
    std::string text;
};

// Collects every message emitted while it lives (from any thread), up to
// `maxLevel`, whatever ZEB_LOG_LEVEL says. Captures may nest; each sees all.
class LogCapture {
public:
    explicit LogCapture(int maxLevel = 5);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> Records() const;
    // Number of captured messages whose text contains `needle` (and, when
    // given, carry this tag and level).
    size_t Count(const std::string& needle, const char* tag = nullptr, int level = -1) const;
    bool Contains(const std::string& needle, const char* tag = nullptr, int level = -1) const {
        return Count(needle, tag, level) > 0;
    }
    void Clear();

private:
    friend void DeliverToCaptures(const LogRecord& record);
    int mMaxLevel;
    mutable void* mImpl;
};

// Threshold of the sink; read from ZEB_LOG_LEVEL on first use.
int LogLevel();
void SetLogLevel(int level);

}  // namespace zeb_platform
