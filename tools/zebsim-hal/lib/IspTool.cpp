#include "zebsim-hal/lib/IspTool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "core/FileAccess.h"
#include "develop/lib/Develop.h"
#include "platform/Host.h"
#include "platform/Mutex.h"
#include "platform/ParamSet.h"

namespace zeb_hal {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultWidth = 1440, kDefaultHeight = 1080;
constexpr int kPreviewSizeParam = 2095;
constexpr size_t kGuard = 64;  // bytes past the frame that a fetch must leave alone
constexpr uint8_t kGuardByte = 0xee;

size_t Nv21Bytes(int width, int height) { return static_cast<size_t>(width) * height * 3 / 2; }

void Stamp(uint8_t* line, uint32_t number) {
    for (int i = 0; i < 4; ++i) line[i] = static_cast<uint8_t>(number >> (8 * i));
}

uint8_t Clamp(double value) { return static_cast<uint8_t>(std::min(255.0, std::max(0.0, value + 0.5))); }

}  // namespace

void RenderProcessedFrame(uint32_t number, int width, int height, uint8_t* out) {
    const size_t w = static_cast<size_t>(width);
    for (int y = 0; y < height; ++y) {
        uint8_t* line = out + w * y;
        for (int x = 0; x < width; ++x) line[x] = static_cast<uint8_t>(x + y + 2 * number);
        if (width >= 4) Stamp(line, number);
    }
    uint8_t* chroma = out + w * height;
    for (int y = 0; y < height / 2; ++y) {
        uint8_t* line = chroma + w * y;
        for (int x = 0; x + 1 < width; x += 2) {
            line[x] = static_cast<uint8_t>(x * 256 / width + number);  // V
            line[x + 1] = static_cast<uint8_t>(y * 512 / height);      // U
        }
        if (width >= 4) Stamp(line, number);
    }
}

int64_t ProcessedFrameCheck::WholeNumber(const uint8_t* frame) {
    uint32_t number = 0;
    for (int i = 0; i < 4; ++i) number |= static_cast<uint32_t>(frame[i]) << (8 * i);
    if (mExpectedNumber != number) {
        mExpected.resize(Nv21Bytes(mWidth, mHeight));
        RenderProcessedFrame(number, mWidth, mHeight, mExpected.data());
        mExpectedNumber = number;
    }
    return memcmp(frame, mExpected.data(), mExpected.size()) == 0 ? static_cast<int64_t>(number) : -1;
}

bool WriteNv21Png(const std::string& path, const uint8_t* nv21, int width, int height, std::string* error) {
    if (!nv21 || width < 2 || height < 2) {
        if (error) *error = "cannot write " + ZEB::files::Escaped(path) + ": no image";
        return false;
    }
    const size_t w = static_cast<size_t>(width);
    std::vector<uint8_t> rgb(w * height * 3);
    const uint8_t* chroma = nv21 + w * height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double luma = nv21[w * y + x];
            const uint8_t* vu = chroma + w * (y / 2) + (x & ~1);
            const double v = vu[0] - 128.0, u = vu[1] - 128.0;
            uint8_t* pixel = &rgb[(w * y + x) * 3];
            pixel[0] = Clamp(luma + 1.402 * v);
            pixel[1] = Clamp(luma - 0.344136 * u - 0.714136 * v);
            pixel[2] = Clamp(luma + 1.772 * u);
        }
    }
    zeb_develop::Image image;
    image.width = width;
    image.height = height;
    image.rgb = std::move(rgb);
    return zeb_develop::WritePng(path, image, error);
}

struct IspToolSession::State {
    StreamingApi api;
    int camera;
    int width, height;

    Mutex lock;
    std::condition_variable cond;
    bool stop GUARDED_BY(lock) = false;
    int64_t pushed GUARDED_BY(lock) = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int64_t> lastPushed{-1};
    std::thread pusher, client;

    // The client's, read once it is joined.
    IspToolReport report;
    std::vector<uint8_t> latest;
    bool haveLatest = false;
    std::vector<float> latencies;

    void Push();
    void Fetch();
    void Join() {
        {
            MutexLock guard(lock);
            stop = true;
        }
        stopping = true;
        cond.notify_all();
        if (pusher.joinable()) pusher.join();
        if (client.joinable()) client.join();
    }
};

// The HAL's preview: one processed frame per preview period (15 frames a
// second, scaled), each filed as soon as it is made.
void IspToolSession::State::Push() {
    std::vector<uint8_t> frame(Nv21Bytes(width, height));
    auto next = Clock::now();
    for (uint32_t number = 0;; ++number) {
        RenderProcessedFrame(number, width, height, frame.data());
        api.SettingSocketBuffer(camera, frame.data());
        lastPushed = number;
        MutexLock guard(lock);
        pushed = number + 1;
        cond.notify_all();
        // Taken per frame: the time scale may change while the preview runs.
        next += zeb_platform::Scaled(std::chrono::nanoseconds(1000000000 / 15));
        if (cond.wait_until(guard.native(), next, [this]() REQUIRES(lock) { return stop; })) return;
    }
}

// The streaming client: once preview runs, asks the size and fetches the
// newest frame in a loop, as fast as the library gives them.
void IspToolSession::State::Fetch() {
    {
        MutexLock guard(lock);
        cond.wait(guard.native(), [this]() REQUIRES(lock) { return stop || pushed > 0; });
        if (pushed == 0) return;
    }
    const int reportedWidth = api.GettingPreviewWidth(camera), reportedHeight = api.GettingPreviewHeight(camera);
    if (reportedWidth != width || reportedHeight != height) {
        report.errors.push_back("preview size reported as " + std::to_string(reportedWidth) + " x " +
                                std::to_string(reportedHeight) + " after the first frame, set as " +
                                std::to_string(width) + " x " + std::to_string(height));
        return;
    }
    const size_t bytes = Nv21Bytes(width, height);
    latest.assign(bytes + kGuard, kGuardByte);
    ProcessedFrameCheck check(width, height);
    int64_t previous = -1;
    for (bool started = false; !stopping.load(); started = true) {
        // The client shares the cores with the HAL's and the library's threads.
        if (started) std::this_thread::yield();
        const int64_t floor = lastPushed.load();
        const auto begin = Clock::now();
        const int result = api.GettingLatestFrame(camera, latest.data());
        latencies.push_back(std::chrono::duration<float, std::micro>(Clock::now() - begin).count());
        if (result != 0) {
            ++report.empty;
            continue;
        }
        ++report.fetched;
        haveLatest = true;
        if (std::any_of(latest.begin() + static_cast<std::ptrdiff_t>(bytes), latest.end(),
                        [](uint8_t byte) { return byte != kGuardByte; })) {
            report.errors.push_back("a fetch wrote past the end of the frame");
            return;
        }
        const int64_t number = check.WholeNumber(latest.data());
        if (number < 0) {
            ++report.torn;
            continue;
        }
        if (number < floor) ++report.stale;
        if (previous >= 0) {
            if (number == previous) {
                ++report.repeated;
            } else if (number < previous) {
                report.errors.push_back("frame " + std::to_string(number) + " fetched after frame " +
                                        std::to_string(previous));
            } else {
                report.skipped += number - previous - 1;
            }
        }
        previous = number;
    }
}

IspToolSession::IspToolSession(const StreamingApi& api, int cameraId, int width, int height)
    : mState(new State) {
    mState->api = api;
    mState->camera = cameraId;
    mState->width = width;
    mState->height = height;
    mState->report.width = width;
    mState->report.height = height;
}

IspToolSession::~IspToolSession() { mState->Join(); }

void IspToolSession::Open() {
    State& state = *mState;
    state.api.CreateSocketServer(state.camera);
    const int width = state.api.GettingPreviewWidth(state.camera), height = state.api.GettingPreviewHeight(state.camera);
    if (width != kDefaultWidth || height != kDefaultHeight) {
        state.report.errors.push_back("before the first frame the preview size is " + std::to_string(width) + " x " +
                                      std::to_string(height) + ", not 1440 x 1080");
    }
    std::vector<uint8_t> frame(Nv21Bytes(kDefaultWidth, kDefaultHeight));
    if (state.api.GettingLatestFrame(state.camera, frame.data()) != -1) {
        state.report.errors.push_back("a frame was fetched before the first was filed");
    }
}

void IspToolSession::Start() {
    State& state = *mState;
    int32_t size[2] = {state.width, state.height};
    setPsParam(state.camera, 0, 0, kPreviewSizeParam, size);
    state.client = std::thread(&State::Fetch, &state);
    state.pusher = std::thread(&State::Push, &state);
}

IspToolReport IspToolSession::Stop(const std::string& picturePath) {
    State& state = *mState;
    state.Join();
    state.api.DeleteSocketServer();
    IspToolReport report = state.report;
    {
        MutexLock guard(state.lock);
        report.pushed = state.pushed;
    }
    if (!state.latencies.empty()) {
        std::vector<float>& latencies = state.latencies;
        double sum = 0;
        for (float latency : latencies) sum += latency;
        report.latencyMeanMicros = sum / static_cast<double>(latencies.size());
        report.latencyMaxMicros = *std::max_element(latencies.begin(), latencies.end());
        const size_t at = latencies.size() * 99 / 100;
        std::nth_element(latencies.begin(), latencies.begin() + static_cast<std::ptrdiff_t>(at), latencies.end());
        report.latencyP99Micros = latencies[at];
    }
    if (report.pushed > 0 && report.fetched == 0 && report.errors.empty()) {
        report.errors.push_back("the client fetched no frame");
    }
    if (report.torn > 0) report.errors.push_back(std::to_string(report.torn) + " torn frame(s)");
    std::string error;
    if (state.haveLatest && !picturePath.empty()) {
        if (WriteNv21Png(picturePath, state.latest.data(), state.width, state.height, &error)) {
            report.picture = picturePath;
        } else {
            report.errors.push_back(error);
        }
    }
    return report;
}

}  // namespace zeb_hal
