// Queries run per frame in the HAL: after construction they must allocate
// nothing. This program replaces the global allocation functions to count.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "trigger/TriggerAndDataManager.h"
#include "trigger/XMLAutoParser.h"
#include "trigger/XMLParameterManager.h"

namespace {

// While counting, every allocation is noted and every release of a noted one
// crosses it out: what is left at the end was kept. The notes live in a fixed
// array, since the hook itself must not allocate. One thread counts at a time.
constexpr size_t kSlots = 4096;
std::atomic<bool> gCounting{false};
long gAllocations = 0;
void* gLive[kSlots];
size_t gLiveCount = 0;
bool gOverflow = false;

// Out of line: inlined, g++ takes malloc/free under operator new/delete for a
// mismatched pair.
[[gnu::noinline]] void* Acquire(std::size_t size) { return std::malloc(size ? size : 1); }
[[gnu::noinline]] void Release(void* memory) { std::free(memory); }

void Note(void* memory) {
    ++gAllocations;
    if (gLiveCount < kSlots) gLive[gLiveCount++] = memory;
    else gOverflow = true;
}

void CrossOut(void* memory) {
    for (size_t i = 0; i < gLiveCount; ++i) {
        if (gLive[i] == memory) {
            gLive[i] = gLive[--gLiveCount];
            return;
        }
    }
}

}  // namespace

void* operator new(std::size_t size) {
    void* memory = Acquire(size);
    if (!memory) throw std::bad_alloc();
    if (gCounting.load(std::memory_order_relaxed)) Note(memory);
    return memory;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* memory) noexcept {
    if (memory && gCounting.load(std::memory_order_relaxed)) CrossOut(memory);
    Release(memory);
}
void operator delete[](void* memory) noexcept { ::operator delete(memory); }
void operator delete(void* memory, std::size_t) noexcept { ::operator delete(memory); }
void operator delete[](void* memory, std::size_t) noexcept { ::operator delete(memory); }

namespace {

struct Counted {
    long allocations;
    size_t kept;
};

template <class Work>
Counted Count(Work work) {
    gAllocations = 0;
    gLiveCount = 0;
    gOverflow = false;
    gCounting = true;
    work();
    gCounting = false;
    EXPECT_FALSE(gOverflow);
    return {gAllocations, gLiveCount};
}

// Three levels of four ranges with gaps between them, sets of a float and an
// int parameter whose texts differ in length from region to region.
std::string DeepFile() {
    std::string triggers = "<Triggers name=\"T\">";
    std::string params = "<Parameters name=\"T\">";
    int number = 0;
    for (int a = 0; a < 4; ++a) {
        triggers += "<a start=\"" + std::to_string(a * 10) + "\" end=\"" + std::to_string(a * 10 + 5) + "\" para=\"a\">";
        for (int b = 0; b < 4; ++b) {
            triggers += "<b start=\"" + std::to_string(b * 10) + "\" end=\"" + std::to_string(b * 10 + 5) + "\" para=\"b\">";
            for (int c = 0; c < 4; ++c, ++number) {
                triggers += "<c start=\"" + std::to_string(c * 10) + "\" end=\"" + std::to_string(c * 10 + 5) +
                            "\" para=\"c\" name=\"r\">" + std::to_string(number) + "</c>";
                std::string floats;
                for (int v = 0; v < 40; ++v) floats += (v ? " " : "") + std::to_string(number * 1000 + v * 7);
                params += "<g index=\"" + std::to_string(number) + "\"><p name=\"f\" type=\"float\" length=\"40\" index=\"0\">" +
                          floats + "</p><p name=\"parameter_with_a_long_name\" type=\"int\" length=\"3\" index=\"1\">" +
                          std::to_string(number) + " " + std::to_string(number * number * 1000) + " 3</p></g>";
            }
            triggers += "</b>";
        }
        triggers += "</a>";
    }
    return triggers + "</Triggers>" + params + "</Parameters>";
}

// Inside ranges, in gaps, on boundaries and outside, at every level. The
// ones outside some level make the query log a failure, and logging a line
// allocates (and releases) its text.
struct Candidate {
    std::vector<float> values;
    bool logs;
};

std::vector<Candidate> Candidates() {
    const float matching[] = {2.0f, 5.0f, 7.5f, 10.0f, 23.0f};
    const float values[] = {-1.0f, 2.0f, 5.0f, 7.5f, 10.0f, 23.0f, 37.0f, 50.0f};
    auto matches = [&](float value) { return std::find(std::begin(matching), std::end(matching), value) != std::end(matching); };
    std::vector<Candidate> candidates;
    // The log sink sets itself up on its first line; that is not the query's.
    ZLOG("TriggerAllocationTest", 1, "%d, %s: log sink ready");
    for (float a : values) {
        for (float b : values) {
            for (float c : values) candidates.push_back({{a, b, c}, !(matches(a) && matches(b) && matches(c))});
        }
    }
    candidates.push_back({{}, true});
    candidates.push_back({{1.0f}, true});
    return candidates;
}

}  // namespace

TEST(TriggerAllocation, QueriesAllocateNothingFromTheFirstOn) {
    zeb_platform::SetLogLevel(1);
    zeb_test::TempDir dir;
    ZEB::XMLAutoParser parser(trigger_test::WriteParamFile(dir, DeepFile()));
    const auto& pool = parser.GetXMLData().at("T");
    ASSERT_EQ(pool.regions.size(), 64u);
    ZEB::TriggerAndDataManager manager(pool.regions);
    ASSERT_EQ(manager.GetParamLen(), 43);
    std::vector<uint32_t> line(43);
    for (const Candidate& candidate : Candidates()) {
        const Counted counted = Count([&] { manager.GetDataInfo(candidate.values, line.data()); });
        const std::string which = ::testing::PrintToString(candidate.values);
        EXPECT_EQ(counted.kept, 0u) << which;
        if (!candidate.logs) {
            EXPECT_EQ(counted.allocations, 0) << which;
        }
    }
}

TEST(TriggerAllocation, WholeFileQueriesAllocateNothing) {
    zeb_platform::SetLogLevel(1);
    zeb_test::TempDir dir;
    ZEB::XMLAutoParser parser(trigger_test::WriteParamFile(dir, DeepFile()));
    ZEB::XMLParameterManager manager(parser.GetXMLData());
    std::vector<uint32_t> line(static_cast<size_t>(manager.GetOutputLen()));
    for (const Candidate& candidate : Candidates()) {
        const std::vector<std::vector<float>> lists{candidate.values};
        const Counted counted = Count([&] { manager.GetDataInfo(lists, line.data()); });
        EXPECT_EQ(counted.kept, 0u);
        if (!candidate.logs) {
            EXPECT_EQ(counted.allocations, 0);
        }
    }
    // The counter itself sees what is kept and what is not.
    std::string* kept = nullptr;
    const Counted counted = Count([&] {
        std::string gone(100, 'x');
        kept = new std::string(gone);
    });
    EXPECT_EQ(counted.allocations, 3);
    EXPECT_EQ(counted.kept, 2u);
    delete kept;
}
