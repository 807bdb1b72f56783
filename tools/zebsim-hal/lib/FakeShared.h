#pragma once
// What the four fake 3A algorithms share: the state each algorithm library
// keeps (one Fake3A::Algorithm per algorithm, reached through the one Fake3A
// alive, as a vendor library keeps its state in one place), the byte patterns
// that tell the algorithm's own bytes from recorded ones, and the entry points
// the library is handed in each operation table. Only the fake algorithms'
// own files include this.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "zebsim-hal/lib/FakeAlgorithms.h"
#include "zebsim-hal/lib/HalAlgo.h"

namespace zeb_hal {

namespace fake3a {

using Bytes = std::vector<uint8_t>;

enum Algo { kAe, kAwb, kAlsc, kXtm, kAlgos };
inline constexpr const char* kAlgoNames[kAlgos] = {"AE", "AWB", "ALSC", "XTM"};

// The algorithm libraries keep their state in one place, as a vendor library
// does: the Fake3A alive, set and cleared by it.
extern Fake3A* gFake;

// A pattern of its own per record and frame, unlike the recording's, so a
// byte taken from the wrong side shows.
Bytes Pattern(size_t size, uint32_t salt);

void CopyField(Bytes& to, const uint8_t* from, size_t offset, size_t size);

// "byte N is A, not E" for the first byte that differs; empty when none does.
std::string Difference(const uint8_t* actual, const Bytes& expected);

// Whether `size` bytes at an address the library wrote into a record hold
// `expected`. The pages are checked first, so a wrong address is a mismatch
// rather than the end of the HAL's process.
bool Holds(const void* address, const uint8_t* expected, size_t size);

bool Same(const uint8_t* actual, const Bytes& expected);

}  // namespace fake3a

struct Fake3A::Algorithm {
    int algo = 0;
    void* own[hal3a::kOpsEntries] = {};
    void* table[hal3a::kOpsEntries] = {};      // as the library gave it back; the HAL calls these
    void* handle = nullptr;                    // what init gave the HAL
    hal3a::ResultCallback callback = nullptr;  // what init found in its parameter
    std::atomic<int> processCalls{0}, ioctlCalls{0}, deinitCalls{0};
    fake3a::Bytes initParam, initResult;
    // The running cycle.
    size_t task = 0;
    CyclePhase phase = CyclePhase::Preview;
    uint32_t seq = 0;
    // The statistics planes the HAL gives the algorithm, and what the
    // algorithm itself reported this cycle (before anything could change it).
    fake3a::Bytes planes;
    fake3a::Bytes live, liveParam;
};

// The algorithm libraries' entry points (each one reaches its own state
// through gFake), the HAL's initialisation of each through its table, and the
// HAL's receivers of their result callbacks. Each algorithm's lie in its own
// file; the shared ones in FakeShared.cpp.
struct FakeEntries {
    static Fake3A::Algorithm& Of(int algo) { return *fake3a::gFake->mAlgos[static_cast<size_t>(algo)]; }
    static int Deinit(void* handle);
    static void Report(Fake3A::Algorithm& a, int64_t type, void* param, void* data);
    static int WrongHandle(Fake3A::Algorithm& a);

    static int AeInit(void* initIn, void*, void* handleOut);
    static int AeProcess(void* handle, void*, void* callbackParam);
    static int AeIoctl(void* handle, uint32_t command, void*, void* out);
    static int StartAe(Fake3A::Algorithm& a);
    static int OnAeResult(void* handle, int64_t type, void* param, void* data);

    static int AwbInit(void* param, void* handleOut);
    static int AwbProcess(void* handle, void* calcParam, void* calcResult);
    static int AwbIoctl(void* handle, uint32_t command, void*, void* out);
    static int StartAwb(Fake3A::Algorithm& a);
    static int OnAwbResult(void* handle, int64_t type, void* param, void* data);

    static int AlscInit(void* param, void* handleOut);
    static int AlscProcess(void* handle, void* calcParam, void* calcResult);
    static int AlscIoctl(void* handle, uint32_t command, void*, void* out);
    static int StartAlsc(Fake3A::Algorithm& a);
    static int OnAlscResult(void* handle, int64_t type, void* param, void*);

    static int XtmInit(void*, void*, void* handleOut);
    static int XtmCalc(void* handle, void*, void* result);
    static int XtmIoctl(void* handle, uint32_t, void*, void*);
    static int StartXtm(Fake3A::Algorithm& a);
};

}  // namespace zeb_hal
