#pragma once
// Writes the pictures of received frames on a thread of its own, so that
// neither the library's driver thread nor the pipeline waits for an encoder.
// The thread starts with the first picture and ends in Finish (or the
// destructor), after writing everything queued: a picture is taken until
// Finish begins, and every picture taken is written or named as failed.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/Worker.h"
#include "platform/Mutex.h"

namespace zeb_hal {

class PictureWriter {
public:
    struct Job {
        std::string path;
        std::vector<uint8_t> lines;  // back to back
        int width = 0, height = 0;
        uint32_t pattern = 0;
        // The matched frame's records, which live as long as the recording.
        const std::map<std::string, std::vector<uint8_t>>* dumps = nullptr;
    };

    PictureWriter() = default;
    PictureWriter(const PictureWriter&) = delete;
    PictureWriter& operator=(const PictureWriter&) = delete;
    ~PictureWriter() { Finish(); }

    void Add(Job job) EXCLUDES(mLock);

    // Writes what is queued and ends the thread; returns the pictures that
    // could not be written, with the reason.
    std::vector<std::pair<std::string, std::string>> Finish() EXCLUDES(mLock);

private:
    void Run() EXCLUDES(mLock);

    Mutex mLock;
    std::deque<Job> mJobs GUARDED_BY(mLock);
    std::vector<std::pair<std::string, std::string>> mFailed GUARDED_BY(mLock);  // path, why
    bool mDone GUARDED_BY(mLock) = false;  // Finish began: no picture is taken any more
    std::condition_variable mQueued;       // a job was queued, or Finish began
    // Started under mLock by the first Add, stopped and joined by Finish; last,
    // so that it ends before what it uses goes.
    ZEB::Worker mWriter;
};

}  // namespace zeb_hal
