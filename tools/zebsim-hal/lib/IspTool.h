#pragma once
// ISP tool mode of the HAL emulator: the HAL side files a processed preview
// frame through the library's streaming entry points at the preview rate, and
// a streaming client fetches the newest one as fast as it can, checking that
// every frame it gets is whole.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zeb_hal {

// The streaming entry points, resolved from the library.
struct StreamingApi {
    void (*CreateSocketServer)(int) = nullptr;
    void (*DeleteSocketServer)() = nullptr;
    void (*SettingSocketBuffer)(int, void*) = nullptr;
    int (*GettingPreviewWidth)(int) = nullptr;
    int (*GettingPreviewHeight)(int) = nullptr;
    int (*GettingLatestFrame)(int, void*) = nullptr;
};

struct IspToolReport {
    int width = 0, height = 0;  // the preview size the HAL set
    int64_t pushed = 0;         // frames handed to SettingSocketBuffer
    int64_t fetched = 0;        // GettingLatestFrame calls that gave a frame
    int64_t repeated = 0;       // fetched frames equal to the one fetched before
    int64_t skipped = 0;        // pushed frames between the first and last fetched that were never fetched
    int64_t torn = 0;           // fetched frames not whole (bytes of two pushes)
    int64_t stale = 0;          // older than the newest frame pushed when the fetch began
    int64_t empty = 0;          // fetches that gave no frame after the first push
    double latencyMeanMicros = 0, latencyP99Micros = 0, latencyMaxMicros = 0;
    std::string picture;              // the last fetched frame
    std::vector<std::string> errors;  // what the client found wrong
};

// Frame `number` of the HAL's processed preview: NV21, a moving gradient,
// every line of both planes starting with the number (32-bit little-endian).
void RenderProcessedFrame(uint32_t number, int width, int height, uint8_t* out);
// Tells whether a fetched frame is whole: every byte from one processed frame.
class ProcessedFrameCheck {
public:
    ProcessedFrameCheck(int width, int height) : mWidth(width), mHeight(height) {}
    // The frame's number when it is whole, else -1.
    int64_t WholeNumber(const uint8_t* frame);

private:
    int mWidth, mHeight;
    int64_t mExpectedNumber = -1;
    std::vector<uint8_t> mExpected;
};
// An NV21 image as an RGB PNG (full-range BT.601).
bool WriteNv21Png(const std::string& path, const uint8_t* nv21, int width, int height, std::string* error = nullptr);

class IspToolSession {
public:
    IspToolSession(const StreamingApi& api, int cameraId, int width, int height);
    ~IspToolSession();
    IspToolSession(const IspToolSession&) = delete;
    IspToolSession& operator=(const IspToolSession&) = delete;

    // The HAL's open path: creates the camera's streaming handler and checks
    // what a client sees before the first frame.
    void Open();
    // Preview runs: sets the preview size, starts the frame pusher and the client.
    void Start();
    // Stops both threads, deletes the streaming handlers and writes the
    // client's last frame as `picturePath` (no picture when it is empty).
    IspToolReport Stop(const std::string& picturePath);

private:
    struct State;
    std::unique_ptr<State> mState;
};

}  // namespace zeb_hal
