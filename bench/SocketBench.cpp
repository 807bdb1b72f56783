// The streaming queue's two copies against a plain copy of the same bytes
// (BM_Memcpy/1440x1080): one push (InQueueOneFrame) and one fetch
// (GetLatestFrame) of the handler the registry finds, and the same through
// the entry points, which also read the ISP tool mode property on every call
// (on this host a file read of the property stand-in). Each reports the bytes
// read plus the bytes written.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/Property.h"
#include "simulation/SimulationWrapper.h"
#include "socket/SocketServerManager.h"

namespace {

constexpr int kCamera = 0;
constexpr int kWidth = 1440, kHeight = 1080;
constexpr size_t kFrameBytes = static_cast<size_t>(kWidth) * kHeight * 3 / 2;

// A streaming handler in ISP tool mode, in a scratch device root (the mode
// switch is a persisted property), whose queue the first frame has made.
class Streaming {
public:
    static Streaming& Get() {
        static Streaming streaming;
        return streaming;
    }
    ~Streaming() {
        DeleteSocketServer();
        std::error_code error;
        if (!mRoot.empty()) std::filesystem::remove_all(mRoot, error);
    }

    std::vector<uint8_t> mFrame = std::vector<uint8_t>(kFrameBytes, 0x3c);
    std::vector<uint8_t> mDestination = std::vector<uint8_t>(kFrameBytes, 0);  // the client's, reused
    bool mReady = false;

private:
    Streaming() {
        zeb_platform::SetLogLevel(1);
        std::string pattern = (std::filesystem::temp_directory_path() / "zebsim-bench-XXXXXX").string();
        if (!mkdtemp(&pattern[0])) return;
        mRoot = pattern;
        zeb_platform::SetDeviceRoot(mRoot);
        property_set("persist.vendor.cam.isptool.mode.enable", "true");
        pvk::ParamSet::createInstance();
        int32_t size[2] = {kWidth, kHeight};
        setPsParam(kCamera, 0, 0, 2095, size);
        CreateSocketServer(kCamera);
        SettingSocketBuffer(kCamera, mFrame.data());
        mReady = GettingPreviewWidth(kCamera) == kWidth && GettingPreviewHeight(kCamera) == kHeight;
    }
    std::string mRoot;
};

void BM_SocketInQueue(benchmark::State& state) {
    Streaming& streaming = Streaming::Get();
    if (!streaming.mReady) return state.SkipWithError("no streaming handler");
    for (auto _ : state) {
        if (auto handler = ZEB::SocketServerManager::Instance().Find(kCamera, true)) {
            handler->InQueueOneFrame(streaming.mFrame.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes * 2);
}

void BM_SocketLatest(benchmark::State& state) {
    Streaming& streaming = Streaming::Get();
    if (!streaming.mReady) return state.SkipWithError("no streaming handler");
    for (auto _ : state) {
        auto handler = ZEB::SocketServerManager::Instance().Find(kCamera, true);
        if (!handler || handler->GetLatestFrame(streaming.mDestination.data()) != 0) {
            return state.SkipWithError("no frame");
        }
        benchmark::DoNotOptimize(streaming.mDestination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes * 2);
}

void BM_SettingSocketBuffer(benchmark::State& state) {
    Streaming& streaming = Streaming::Get();
    if (!streaming.mReady) return state.SkipWithError("no streaming handler");
    for (auto _ : state) {
        SettingSocketBuffer(kCamera, streaming.mFrame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes * 2);
}

void BM_GettingLatestFrame(benchmark::State& state) {
    Streaming& streaming = Streaming::Get();
    if (!streaming.mReady) return state.SkipWithError("no streaming handler");
    for (auto _ : state) {
        if (GettingLatestFrame(kCamera, streaming.mDestination.data()) != 0) return state.SkipWithError("no frame");
        benchmark::DoNotOptimize(streaming.mDestination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes * 2);
}

struct Registration {
    Registration() {
        benchmark::RegisterBenchmark("BM_SocketInQueue/1440x1080", BM_SocketInQueue);
        benchmark::RegisterBenchmark("BM_SocketLatest/1440x1080", BM_SocketLatest);
        benchmark::RegisterBenchmark("BM_SettingSocketBuffer/1440x1080", BM_SettingSocketBuffer);
        benchmark::RegisterBenchmark("BM_GettingLatestFrame/1440x1080", BM_GettingLatestFrame);
    }
} gRegistration;

}  // namespace
