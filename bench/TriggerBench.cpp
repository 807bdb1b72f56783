// The trigger engine's per-frame query against the cost of copying its output
// line once: the HAL queries every frame, so a query should cost no more than
// about twenty line copies.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "trigger/XMLAutoParser.h"
#include "trigger/XMLParameterManager.h"

namespace {

constexpr int kTrees = 3;
constexpr int kLevels = 3;
constexpr int kRanges = 8;
constexpr int kParams = 60;
constexpr int kMaxValues = 64;

// Ranges [10 i, 10 i + 5] at every level; regions numbered in nested order.
void AppendTriggers(std::string& xml, int level, int& number) {
    for (int i = 0; i < kRanges; ++i) {
        const std::string bounds = "start=\"" + std::to_string(10 * i) + "\" end=\"" + std::to_string(10 * i + 5) +
                                   "\" para=\"level" + std::to_string(level) + "\"";
        if (level + 1 == kLevels) {
            xml += "<t " + bounds + " name=\"r" + std::to_string(number) + "\">" + std::to_string(number) + "</t>";
            ++number;
        } else {
            xml += "<t " + bounds + ">";
            AppendTriggers(xml, level + 1, number);
            xml += "</t>";
        }
    }
}

// 60 parameters of 1 to 64 values, two in three of them floats.
void AppendGroup(std::string& xml, int number) {
    xml += "<g index=\"" + std::to_string(number) + "\">";
    for (int p = 0; p < kParams; ++p) {
        const int count = 1 + (p * 37) % kMaxValues;
        const bool isFloat = p % 3 != 2;
        std::string values;
        for (int v = 0; v < count; ++v) {
            if (v) values += ' ';
            values += isFloat ? std::to_string(0.25 * (number % 17) + v) : std::to_string(number * 3 + v * 11);
        }
        xml += "<p name=\"param" + std::to_string(p) + "\" type=\"" + (isFloat ? "float" : "int") + "\" length=\"" +
               std::to_string(count) + "\" index=\"" + std::to_string(p) + "\">" + values + "</p>";
    }
    xml += "</g>";
}

std::string GenerateParamFile() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><ConstData>";
    for (int c = 0; c < 8; ++c) {
        xml += "<c name=\"const" + std::to_string(c) + "\" type=\"int\" length=\"4\" index=\"" + std::to_string(c) +
               "\">1 2 3 4</c>";
    }
    xml += "</ConstData>";
    for (int tree = 0; tree < kTrees; ++tree) {
        const std::string name = "tree" + std::to_string(tree);
        int number = 0;
        xml += "<Triggers name=\"" + name + "\">";
        AppendTriggers(xml, 0, number);
        xml += "</Triggers><Parameters name=\"" + name + "\">";
        for (int region = 0; region < number; ++region) AppendGroup(xml, region);
        xml += "</Parameters>";
    }
    return xml + "</root>\n";
}

struct TriggerSetup {
    TriggerSetup() {
        zeb_platform::SetLogLevel(1);
        const auto path = std::filesystem::temp_directory_path() /
                          ("zebsim-trigger-bench-" + std::to_string(getpid()) + ".xml");
        std::ofstream(path) << GenerateParamFile();
        ZEB::XMLAutoParser parser(path.string());
        std::filesystem::remove(path);
        manager = std::make_unique<ZEB::XMLParameterManager>(parser.GetXMLData());
        allGaps.assign(kTrees, std::vector<float>{27.5f, 47.5f, 17.5f});
        oneGap.assign(kTrees, std::vector<float>{22.0f, 47.5f, 12.0f});
        inRanges.assign(kTrees, std::vector<float>{22.0f, 42.0f, 12.0f});
        line.assign(static_cast<size_t>(manager->GetOutputLen()), 0u);
    }
    std::unique_ptr<ZEB::XMLParameterManager> manager;
    // Every value in a gap between two ranges: two nodes per parent are
    // interpolated at every level, seven sets per tree. The worst case.
    std::vector<std::vector<float>> allGaps;
    // A gap at the middle level only: one set per tree is interpolated.
    std::vector<std::vector<float>> oneGap;
    // Inside a range at every level: sets are only passed up.
    std::vector<std::vector<float>> inRanges;
    std::vector<uint32_t> line;
};

TriggerSetup& Setup() {
    static TriggerSetup setup;
    return setup;
}

void RunQueries(benchmark::State& state, const std::vector<std::vector<float>>& candidates) {
    TriggerSetup& setup = Setup();
    for (auto _ : state) {
        setup.manager->GetDataInfo(candidates, setup.line.data());
        benchmark::DoNotOptimize(setup.line.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["line_values"] = static_cast<double>(setup.line.size());
}

void BM_TriggerQuery(benchmark::State& state) { RunQueries(state, Setup().allGaps); }
void BM_TriggerQueryOneGap(benchmark::State& state) { RunQueries(state, Setup().oneGap); }
void BM_TriggerQueryInRanges(benchmark::State& state) { RunQueries(state, Setup().inRanges); }

void BM_TriggerLineCopy(benchmark::State& state) {
    const size_t length = Setup().line.size();
    std::vector<uint32_t> source(length, 1u);
    std::vector<uint32_t> destination(length, 0u);
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.data());
        memcpy(destination.data(), source.data(), length * sizeof(uint32_t));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["line_values"] = static_cast<double>(length);
}

}  // namespace

BENCHMARK(BM_TriggerQuery);
BENCHMARK(BM_TriggerQueryOneGap);
BENCHMARK(BM_TriggerQueryInRanges);
BENCHMARK(BM_TriggerLineCopy);
