// Queries run per frame in the HAL: after construction they must allocate
// nothing. This program replaces the global allocation functions to count.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "trigger/XMLAutoParser.h"
#include "trigger/XMLParameterManager.h"

namespace {
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
// Out of line: inlined, g++ takes malloc/free under operator new/delete for a mismatched pair.
[[gnu::noinline]] void* Acquire(std::size_t size) { return std::malloc(size ? size : 1); }
[[gnu::noinline]] void Release(void* memory) { std::free(memory); }
}  // namespace

void* operator new(std::size_t size) {
    void* memory = Acquire(size);
    if (!memory) throw std::bad_alloc();
    if (gCounting.load(std::memory_order_relaxed)) ++gAllocations;
    return memory;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* memory) noexcept { Release(memory); }
void operator delete[](void* memory) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t) noexcept { Release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { Release(memory); }

namespace {

// Three levels of three ranges with gaps between them. Sibling sets differ in
// the number of parameters and of values and in type at one position, so an
// interpolated set is smaller or larger than the one its node held before;
// some parameters are long enough for the vector code.
std::string File() {
    std::string triggers, params;
    auto range = [](int i) { return "start=\"" + std::to_string(i * 10) + "\" end=\"" + std::to_string(i * 10 + 5) + "\""; };
    int number = 0;
    for (int a = 0; a < 3; ++a) {
        triggers += "<a " + range(a) + " para=\"a\">";
        for (int b = 0; b < 3; ++b) {
            triggers += "<b " + range(b) + " para=\"b\">";
            for (int c = 0; c < 3; ++c, ++number) {
                triggers += "<c " + range(c) + " para=\"c\" name=\"r\">" + std::to_string(number) + "</c>";
                params += "<g index=\"" + std::to_string(number) + "\">";
                for (int p = 0; p <= (number * 5) % 4; ++p) {
                    const int count = p == 0 ? 40 : 1 + (number * 7 + p * 3) % 6;
                    std::string values;
                    for (int v = 0; v < count; ++v) values += (v ? " " : "") + std::to_string(number * 1000 + v * 7);
                    params += "<p name=\"p\" type=\"" + std::string((number + p) % 2 ? "int" : "float") +
                              "\" length=\"" + std::to_string(count) + "\" index=\"0\">" + values + "</p>";
                }
                params += "</g>";
            }
            triggers += "</b>";
        }
        triggers += "</a>";
    }
    return "<Triggers name=\"M\">" + triggers + "</Triggers><Parameters name=\"M\">" + params + "</Parameters>";
}

}  // namespace

TEST(TriggerAllocation, QueriesAllocateNothingOnceEveryFailureWasLogged) {
    zeb_platform::SetLogLevel(1);
    zeb_test::TempDir dir;
    ZEB::XMLAutoParser parser(trigger_test::WriteParamFile(dir, File()));
    ZEB::XMLParameterManager manager(parser.GetXMLData());
    std::vector<uint32_t> line(static_cast<size_t>(manager.GetOutputLen()));
    // Inside ranges, in gaps, on boundaries and outside at every level, and
    // lists of the wrong length.
    const float values[] = {-1.0f, 2.0f, 5.0f, 7.5f, 10.0f, 23.0f, 37.0f};
    std::vector<std::vector<std::vector<float>>> queries{{}, {{}}, {{1.0f}}};
    for (float a : values) {
        for (float b : values) {
            for (float c : values) queries.push_back({{a, b, c}});
        }
    }
    // The first query to meet a failure logs it, and a log line allocates its
    // text; later ones only count it.
    for (const auto& lists : queries) manager.GetDataInfo(lists, line.data());
    for (const auto& lists : queries) {
        gAllocations = 0;
        gCounting = true;
        manager.GetDataInfo(lists, line.data());
        gCounting = false;
        EXPECT_EQ(gAllocations.load(), 0) << ::testing::PrintToString(lists);
    }
    gAllocations = 0;
    gCounting = true;
    std::string counted(100, 'x');  // the counter itself counts
    gCounting = false;
    EXPECT_EQ(gAllocations.load(), 1);
    EXPECT_EQ(counted.size(), 100u);
}
