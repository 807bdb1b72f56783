// Developing a 4000 x 3000 frame with its recorded 3A results (black level,
// lens shading, white balance, demosaic, colour matrix, gamma), and the steps
// the pictures add: the sheet's downscale and the raw-vs-reference signature.
// Read beside BM_Memcpy/4000x3000, which copies the same packed frame.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "develop/lib/Develop.h"
#include "develop/lib/PairCheck.h"
#include "frame/ZEBFrame.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace {

constexpr int kWidth = 4000, kHeight = 3000;

struct Frame {
    std::vector<uint8_t> packed;
    zeb_develop::FrameRecords records;
    static const Frame& Get() {
        static const Frame frame;
        return frame;
    }

private:
    Frame() {
        zeb_recgen::Options options;
        options.width = kWidth;
        options.height = kHeight;
        packed = zeb_recgen::RenderPackedRaw(options, 0);
        std::map<std::string, std::vector<uint8_t>> dumps;
        for (int row = ZEB::DF_AFM; row < ZEB::kDataFormatCount; ++row) {
            dumps[ZEB::DataFileSpecOf(row).subFix] = zeb_recgen::DumpContent(options, 0, row);
        }
        records = zeb_develop::RecordsFrom([&](const std::string& name) -> const std::vector<uint8_t>* {
            auto found = dumps.find(name);
            return found == dumps.end() ? nullptr : &found->second;
        });
    }
};

void BM_Develop(benchmark::State& state) {
    const Frame& frame = Frame::Get();
    const size_t line = static_cast<size_t>(ZEB::ZEBFrame::PackedLineBytes(kWidth));
    for (auto _ : state) {
        zeb_develop::Image image = zeb_develop::Develop(frame.packed.data(), kWidth, kHeight, line, 0, frame.records);
        benchmark::DoNotOptimize(image.rgb.data());
    }
    // Bytes read plus written, as the memory benchmarks count them.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(frame.packed.size() + size_t{kWidth} * kHeight * 3));
}

void BM_SheetPicture(benchmark::State& state) {
    const Frame& frame = Frame::Get();
    const size_t line = static_cast<size_t>(ZEB::ZEBFrame::PackedLineBytes(kWidth));
    const zeb_develop::Image image = zeb_develop::Develop(frame.packed.data(), kWidth, kHeight, line, 0, frame.records);
    for (auto _ : state) {
        zeb_develop::Image small = zeb_develop::Downscale(image, 320, 240);
        std::vector<float> signature = zeb_develop::GradientSignature(image);
        benchmark::DoNotOptimize(small.rgb.data());
        benchmark::DoNotOptimize(signature.data());
    }
}

BENCHMARK(BM_Develop)->Name("BM_Develop/4000x3000")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SheetPicture)->Name("BM_SheetPicture/4000x3000")->Unit(benchmark::kMillisecond);

}  // namespace
