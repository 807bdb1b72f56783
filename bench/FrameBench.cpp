// Memory traffic of the frame source against plain copies and reads, in one
// binary so the ratios come from one run. Every benchmark reports the bytes
// read plus the bytes written per iteration.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame/RawKernels.h"
#include "frame/ReadControl.h"
#include "frame/VirtualSensorControl.h"
#include "frame/ZEBFrame.h"
#include "platform/Log.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace {

constexpr int kWidth = 4000, kHeight = 3000;
constexpr size_t kPackedLine = kWidth * 5 / 4;
constexpr size_t kPacked = kPackedLine * kHeight;
constexpr size_t kSamples = static_cast<size_t>(kWidth) * kHeight;

// One generated 4000 x 3000 frame folder for the whole run.
class FrameFolder {
public:
    static FrameFolder& Get() {
        static FrameFolder folder;
        return folder;
    }
    ~FrameFolder() {
        std::error_code error;
        if (!mRoot.empty()) std::filesystem::remove_all(mRoot, error);
    }

    std::string mRoot;
    std::string mFolder;
    std::vector<std::string> mFiles;  // the frame's data files (not its scene file)
    size_t mBytes = 0;

private:
    FrameFolder() {
        zeb_platform::SetLogLevel(1);
        std::string pattern = (std::filesystem::temp_directory_path() / "zebsim-bench-XXXXXX").string();
        if (!mkdtemp(&pattern[0])) return;
        mRoot = pattern;
        zeb_recgen::Options options;
        options.outputFolder = mRoot;
        options.width = kWidth;
        options.height = kHeight;
        const auto recording = zeb_recgen::GenerateRecording(options);
        if (!recording.ok) return;
        mFolder = recording.frames[0].folder;
        for (const auto& entry : std::filesystem::directory_iterator(mFolder)) {
            if (entry.path().filename() == "iscene_Info.xml") continue;
            mFiles.push_back(entry.path().string());
            mBytes += static_cast<size_t>(entry.file_size());
        }
    }
};

std::vector<uint8_t> Touched(size_t bytes, uint8_t value) { return std::vector<uint8_t>(bytes, value); }

std::vector<uint8_t> PackedRaw() {
    std::vector<uint16_t> samples(kSamples);
    for (size_t i = 0; i < kSamples; ++i) samples[i] = static_cast<uint16_t>((i * 37) & 1023);
    std::vector<uint8_t> packed(kPacked);
    ZEB::raw::PackRaw10(samples.data(), kWidth, kHeight, kPackedLine, packed.data());
    return packed;
}

// The yardstick of the other benchmarks, for a packed raw frame and for an
// NV21 preview frame (the socket queue's copies).
void BM_Memcpy(benchmark::State& state, size_t bytes) {
    auto src = PackedRaw();
    src.resize(bytes, 0x5a);
    auto dst = Touched(bytes, 0);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes * 2);
}

void BM_UnpackRaw10(benchmark::State& state) {
    auto src = PackedRaw();
    std::vector<uint16_t> dst(kSamples, 1);
    for (auto _ : state) {
        ZEB::raw::UnpackRaw10(src.data(), kWidth, kHeight, kPackedLine, dst.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kPacked + kSamples * 2));
    state.SetLabel(ZEB::raw::KernelPathName(ZEB::raw::ActiveKernelPath()));
}

void BM_Binning2x2(benchmark::State& state) {
    std::vector<uint16_t> src(kSamples);
    for (size_t i = 0; i < kSamples; ++i) src[i] = static_cast<uint16_t>((i * 13) & 1023);
    std::vector<uint16_t> dst(kSamples / 4, 1);
    for (auto _ : state) {
        ZEB::raw::BinBayer(src.data(), kWidth, kHeight, 2, dst.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kSamples * 2 + kSamples / 4 * 2));
    state.SetLabel(ZEB::raw::KernelPathName(ZEB::raw::ActiveKernelPath()));
}

void BM_PackRaw10(benchmark::State& state, int width, int height) {
    const size_t samples = static_cast<size_t>(width) * height;
    const size_t stride = static_cast<size_t>(ZEB::ZEBFrame::AlignedStride(width));
    std::vector<uint16_t> src(samples);
    for (size_t i = 0; i < samples; ++i) src[i] = static_cast<uint16_t>((i * 29) & 1023);
    auto dst = Touched(stride * height, 0);
    for (auto _ : state) {
        ZEB::raw::PackRaw10(src.data(), width, height, stride, dst.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            (samples * 2 + static_cast<size_t>(width) * 5 / 4 * height));
    state.SetLabel(ZEB::raw::KernelPathName(ZEB::raw::ActiveKernelPath()));
}

// A minimal HAL sensor driver: it takes the command and returns.
long QuietIoctl(void*, unsigned int, unsigned long, unsigned long address) {
    benchmark::DoNotOptimize(address);
    return 0;
}

struct QuietSensor {
    QuietSensor() : sensor(oemCxt, 0) { sensor.SetSensorOps(&QuietIoctl); }
    uint8_t oemCxt[256] = {};
    ZEB::VirtualSensorControl sensor;
};

// The binned send of a 4000 x 3000 frame (packed in, binned by two, packed
// out), against BM_Memcpy/4000x3000, the copy of its input.
void BM_BinnedPath(benchmark::State& state) {
    FrameFolder& folder = FrameFolder::Get();
    if (folder.mFolder.empty()) return state.SkipWithError("no frame folder");
    auto frame = std::make_shared<ZEB::ZEBFrame>(folder.mFolder);
    QuietSensor quiet;
    for (auto _ : state) {
        quiet.sensor.SetFrame(frame, int32_t{2});
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kPacked + kPacked / 4));
    state.SetLabel(ZEB::raw::KernelPathName(ZEB::raw::ActiveKernelPath()));
}

// A frame folder read into a recycled slot and handed to the sensor driver,
// the way the read thread and the task driver do it; against BM_ReadFolder,
// the same files read into one buffer. Both count the folder's bytes once.
void BM_PlayFrame(benchmark::State& state) {
    FrameFolder& folder = FrameFolder::Get();
    if (folder.mFolder.empty()) return state.SkipWithError("no frame folder");
    auto frame = std::make_shared<ZEB::ZEBFrame>(folder.mFolder);
    QuietSensor quiet;
    quiet.sensor.SetFrame(frame);
    for (auto _ : state) {
        frame->RecycleOneFrame(folder.mFolder);
        if (quiet.sensor.SetFrame(frame) != 0) return state.SkipWithError("frame not sent");
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * folder.mBytes);
    state.SetItemsProcessed(state.iterations());
}

void BM_ReadFolder(benchmark::State& state) {
    FrameFolder& folder = FrameFolder::Get();
    if (folder.mFolder.empty()) return state.SkipWithError("no frame folder");
    auto memory = Touched(folder.mBytes, 1);
    for (auto _ : state) {
        size_t at = 0;
        for (const std::string& file : folder.mFiles) {
            const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return state.SkipWithError("open failed");
            ssize_t got;
            while (at < memory.size() && (got = read(fd, memory.data() + at, memory.size() - at)) > 0) {
                at += static_cast<size_t>(got);
            }
            close(fd);
        }
        if (at != folder.mBytes) return state.SkipWithError("short read");
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * folder.mBytes);
    state.SetItemsProcessed(state.iterations());
}

// The sensor path's realignment, in the frame's own buffer, for lines stored
// back to back (the read puts them at the stride, so this is the fallback for
// buffers too small for that). The bytes moved do not depend on the content,
// so each iteration realigns again.
void BM_Realign(benchmark::State& state) {
    FrameFolder& folder = FrameFolder::Get();
    if (folder.mFolder.empty()) return state.SkipWithError("no frame folder");
    auto frame = std::make_shared<ZEB::ZEBFrame>(folder.mFolder);
    ZEB::VirtualSensorControl sensor(nullptr, 0);
    for (auto _ : state) {
        frame->mRawAligned = false;
        frame->mRawAtStride = false;
        sensor.SensorRawProcess(frame);
        benchmark::DoNotOptimize(ZEB::BufferAddress(frame->mMipiRawBuf));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPacked * 2);
}

void BM_ReadFileRaw(benchmark::State& state) {
    FrameFolder& folder = FrameFolder::Get();
    if (folder.mFolder.empty()) return state.SkipWithError("no frame folder");
    std::vector<std::vector<uint8_t>> memory;
    for (const std::string& file : folder.mFiles) memory.push_back(Touched(std::filesystem::file_size(file), 1));
    for (auto _ : state) {
        for (size_t i = 0; i < folder.mFiles.size(); ++i) {
            const int fd = open(folder.mFiles[i].c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return state.SkipWithError("open failed");
            size_t done = 0;
            while (done < memory[i].size()) {
                const ssize_t got = read(fd, memory[i].data() + done, memory[i].size() - done);
                if (got <= 0) break;
                done += static_cast<size_t>(got);
            }
            close(fd);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * folder.mBytes * 2);
}

void BM_RecycleFrame(benchmark::State& state) {
    FrameFolder& folder = FrameFolder::Get();
    if (folder.mFolder.empty()) return state.SkipWithError("no frame folder");
    auto frame = std::make_shared<ZEB::ZEBFrame>(folder.mFolder);
    for (auto _ : state) {
        frame->RecycleOneFrame(folder.mFolder);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * folder.mBytes * 2);
}

// A slot built for the first time: its buffers obtained, first touched and
// read into. Against BM_RecycleFrame, the same folder read into a slot in use.
void BM_NewFrame(benchmark::State& state) {
    FrameFolder& folder = FrameFolder::Get();
    if (folder.mFolder.empty()) return state.SkipWithError("no frame folder");
    for (auto _ : state) {
        auto frame = std::make_shared<ZEB::ZEBFrame>(folder.mFolder);
        benchmark::DoNotOptimize(frame.get());
        state.PauseTiming();
        frame.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * folder.mBytes);
}

// From a new reader (as a new simulation instance makes it) to its first
// task of ten 4000 x 3000 frames read: the frames the task driver waits for
// before it sends the first one to the sensor.
void BM_FirstTask(benchmark::State& state) {
    FrameFolder& folder = FrameFolder::Get();
    if (folder.mFolder.empty()) return state.SkipWithError("no frame folder");
    for (auto _ : state) {
        ZEB::TaskMap tasks;
        auto task = std::make_shared<ZEB::TaskInfo>();
        for (std::string& path : task->TaskInputPath) path = folder.mFolder;
        tasks[0] = task;
        const auto begin = std::chrono::steady_clock::now();
        auto reader = std::make_unique<ZEB::ReadControl>(&tasks);
        {
            MutexLock lock(task->TaskLock);
            if (!task->TaskCond.wait_for(lock.native(), std::chrono::seconds(30), [&] { return task->TaskReadDone; })) {
                return state.SkipWithError("task not read");
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
        reader.reset();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * ZEB::kTaskInputPaths);
}

struct Registration {
    Registration() {
        benchmark::RegisterBenchmark("BM_Memcpy/4000x3000", BM_Memcpy, kPacked);
        benchmark::RegisterBenchmark("BM_Memcpy/1440x1080", BM_Memcpy, size_t{1440 * 1080 * 3 / 2});
        // The 16-bit image: a copy whose working set, like packing's at
        // 4000 x 3000, does not fit the last-level cache.
        benchmark::RegisterBenchmark("BM_Memcpy/4000x3000x16", BM_Memcpy, kSamples * 2);
        benchmark::RegisterBenchmark("BM_UnpackRaw10/4000x3000", BM_UnpackRaw10);
        benchmark::RegisterBenchmark("BM_Binning2x2/4000x3000", BM_Binning2x2);
        benchmark::RegisterBenchmark("BM_PackRaw10/2000x1500", BM_PackRaw10, kWidth / 2, kHeight / 2);
        benchmark::RegisterBenchmark("BM_PackRaw10/4000x3000", BM_PackRaw10, kWidth, kHeight);
        benchmark::RegisterBenchmark("BM_BinnedPath/4000x3000", BM_BinnedPath);
        benchmark::RegisterBenchmark("BM_Realign/4000x3000", BM_Realign);
        benchmark::RegisterBenchmark("BM_ReadFileRaw/4000x3000", BM_ReadFileRaw);
        benchmark::RegisterBenchmark("BM_RecycleFrame/4000x3000", BM_RecycleFrame);
        benchmark::RegisterBenchmark("BM_PlayFrame/4000x3000", BM_PlayFrame);
        benchmark::RegisterBenchmark("BM_NewFrame/4000x3000", BM_NewFrame);
        benchmark::RegisterBenchmark("BM_FirstTask/10x4000x3000", BM_FirstTask)->UseManualTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_ReadFolder/4000x3000", BM_ReadFolder);
    }
} gRegistration;

}  // namespace
