// The fake lens shading (ALSC) algorithm: reports its shading result and one
// other through its callback, returns a result code of its own, and fills the
// LSC 4 result its get-LSC4 ioctl is handed. With the ALSC block fixed the
// HAL's side expects the recorded shading (the "ALSC 3" or "ALSC 4" form,
// whichever the recording holds) and the recorded tables in their place.
#include <algorithm>
#include <cstring>

#include "zebsim-hal/lib/FakeShared.h"

namespace zeb_hal {

using namespace hal3a;
using namespace fake3a;

int FakeEntries::AlscInit(void* param, void* handleOut) {
    Fake3A::Algorithm& a = Of(kAlsc);
    a.callback = param ? ReadField<ResultCallback>(param, alsc::kInitCallback) : nullptr;
    if (handleOut) WriteField<void*>(handleOut, 0, &a);
    return 0;
}

int FakeEntries::AlscProcess(void* handle, void* calcParam, void* calcResult) {
    auto& a = *static_cast<Fake3A::Algorithm*>(handle);
    a.processCalls++;
    gFake->OnStatistics(a, calcParam);
    a.live = Pattern(alsc::kResultSize, a.seq * 4 + kAlsc);
    Bytes result = a.live;
    Report(a, alsc::kCbResult, result.data(), calcResult);
    a.liveParam = Pattern(alsc::kResultSize, a.seq * 4 + 27);
    Bytes other = a.liveParam;
    Report(a, alsc::kCbOther, other.data(), calcResult);
    return 5;  // a result code of its own, which fixed mode does not pass on
}

int FakeEntries::AlscIoctl(void* handle, uint32_t command, void*, void* out) {
    auto& a = *static_cast<Fake3A::Algorithm*>(handle);
    a.ioctlCalls++;
    if (command == alsc::kIoctlGetLsc4 && out) {
        void* lsc4 = ReadField<void*>(out, sizeof(void*));
        const Bytes own = Pattern(ZEB::Lsc4Result::kSize, a.seq * 4 + 8);
        if (lsc4) memcpy(lsc4, own.data(), own.size());
    }
    return 0;
}

int FakeEntries::StartAlsc(Fake3A::Algorithm& a) {
    a.initParam = Pattern(alsc::kInitSize, 4);
    WriteField<void*>(a.initParam.data(), alsc::kInitCallback, reinterpret_cast<void*>(&FakeEntries::OnAlscResult));
    return reinterpret_cast<alsc::InitFunc>(a.table[kOpsInit])(a.initParam.data(), &a.handle);
}

int FakeEntries::OnAlscResult(void* handle, int64_t type, void* param, void*) {
    Fake3A::Algorithm& a = Of(kAlsc);
    if (handle != &a) return WrongHandle(a);
    gFake->OnAlsc(a, type, param);
    return 0;
}

void Fake3A::RunAlsc(Algorithm& a) {
    if (a.planes.empty()) a.planes.resize(4 * alsc::kPlaneSize);
    std::fill(a.planes.begin(), a.planes.end(), static_cast<uint8_t>(a.seq + 1));
    Bytes param = Pattern(alsc::kCalcSize, a.seq + 21), result = Pattern(64, a.seq + 22);
    for (size_t k = 0; k < 4; ++k)
        WriteField<const void*>(param.data(), alsc::kCalcPlanes[k], a.planes.data() + alsc::kPlaneSize * k);
    const int code = reinterpret_cast<ProcessFunc>(a.table[kOpsProcess])(a.handle, param.data(), result.data());
    if (!Checked(a.task)) return;
    const bool fixed = mFixed[kAlsc];
    Tally(a.task, kAlsc, "process result", fixed, code == (fixed ? 0 : 5), "result " + std::to_string(code));

    const ExpectedFrame& first = First(a.task);
    const bool hasTable =
        first.Has("LSC_RESULT_TABLE_INFO.bin") && !first.dumps.at("LSC_RESULT_TABLE_INFO.bin").empty();
    const bool hasWTable =
        first.Has("LSC_RESULT_WTABLE_INFO.bin") && !first.dumps.at("LSC_RESULT_WTABLE_INFO.bin").empty();
    const Bytes before = Pattern(ZEB::Lsc4Result::kSize, a.seq + 23);
    Bytes lsc4 = before;
    void* out[2] = {param.data(), lsc4.data()};
    const int calls = a.ioctlCalls;
    const int ioctlCode =
        reinterpret_cast<IoctlFunc>(a.table[kOpsIoctl])(a.handle, alsc::kIoctlGetLsc4, result.data(), out);
    Bytes expected = Pattern(ZEB::Lsc4Result::kSize, a.seq * 4 + 8);
    bool ran = true;
    const bool substitute = fixed && hasTable;
    if (substitute) {
        expected = hasWTable ? first.Dump("LSC4_RESULT_INFO.bin", ZEB::Lsc4Result::kSize) : before;
        ran = false;
    }
    Tally(a.task, kAlsc, "ioctl 8", substitute,
          ioctlCode == 0 && (a.ioctlCalls != calls) == ran && lsc4 == expected && out[0] == param.data(),
          (a.ioctlCalls != calls) != ran ? "the algorithm's ioctl ran or not" : Difference(lsc4.data(), expected));
}

void Fake3A::OnAlsc(Algorithm& a, int64_t type, void* param) {
    if (!Checked(a.task) || !param) return;
    auto* actual = static_cast<const uint8_t*>(param);
    if (type != alsc::kCbResult) {
        Tally(a.task, kAlsc, "callback " + std::to_string(type), false, Same(actual, a.liveParam),
              Difference(actual, a.liveParam));
        return;
    }
    const ExpectedFrame& first = First(a.task);
    const Bytes lsc = first.Dump("LSC_RESULT_INFO.bin", ZEB::LscResult::kSize);
    const Bytes lsc4 = first.Dump("LSC4_RESULT_INFO.bin", ZEB::Lsc4Result::kSize);
    const Bytes table = first.Has("LSC_RESULT_TABLE_INFO.bin") ? first.dumps.at("LSC_RESULT_TABLE_INFO.bin") : Bytes();
    const Bytes wtable =
        first.Has("LSC_RESULT_WTABLE_INFO.bin") ? first.dumps.at("LSC_RESULT_WTABLE_INFO.bin") : Bytes();
    const char* path = nullptr;
    if (mFixed[kAlsc] && ReadField<uint64_t>(lsc.data(), ZEB::LscResult::kValid) != 0 && !table.empty()) {
        path = "ALSC 3";
    } else if (mFixed[kAlsc] && ReadField<uint64_t>(lsc4.data(), ZEB::Lsc4Result::kValid) != 0 && !table.empty() &&
               !wtable.empty()) {
        path = "ALSC 4";
    }
    Bytes expected = a.live;
    std::string detail;
    // The tables are the recording's buffers inside the simulation: their
    // addresses are checked by what they hold.
    auto tableAt = [&](size_t offset, const Bytes& recorded) {
        const auto* address = ReadField<const uint8_t*>(actual, offset);
        if (!Holds(address, recorded.data(), recorded.size())) detail = "table at byte " + std::to_string(offset);
        CopyField(expected, actual, offset, sizeof(void*));
    };
    if (path && path[5] == '3') {
        memcpy(expected.data() + alsc::kV3TableIndex, lsc.data() + ZEB::LscResult::kTableIndex, 4);
        memcpy(expected.data() + alsc::kV3GridSize, lsc.data() + ZEB::LscResult::kGridSize, 2);
        tableAt(alsc::kV3Table, table);
    } else if (path) {
        memcpy(expected.data() + alsc::kV4Params, lsc4.data() + alsc::kV4ParamsFrom, alsc::kV4ParamsSize);
        memcpy(expected.data() + alsc::kV4GridWidthX, lsc4.data() + ZEB::Lsc4Result::kGridWidthX, 4);
        memcpy(expected.data() + alsc::kV4GridWidthY, lsc4.data() + ZEB::Lsc4Result::kGridWidthY, 4);
        tableAt(alsc::kV4Table, table);
        for (size_t offset : alsc::kV4WTables) tableAt(offset, wtable);
    }
    const bool matches = detail.empty() && Same(actual, expected);
    Tally(a.task, kAlsc, "callback 28", path != nullptr, matches,
          detail.empty() ? Difference(actual, expected) : detail);
    if (!path || !matches) return;
    MutexLock guard(mReportLock);
    auto& paths = mReports[a.task].alscPaths;
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
}

}  // namespace zeb_hal
