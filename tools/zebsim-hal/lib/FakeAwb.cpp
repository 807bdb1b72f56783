// The fake AWB algorithm: reports its result, its ccm and its gains through
// its callback, and answers the get-gain ioctl with gains of its own. With the
// AWB block fixed the HAL's side expects the recorded result in their place,
// with the fields the simulation keeps live.
#include <algorithm>
#include <cstring>

#include "zebsim-hal/lib/FakeShared.h"

namespace zeb_hal {

using namespace hal3a;
using namespace fake3a;

int FakeEntries::AwbInit(void* param, void* handleOut) {
    Fake3A::Algorithm& a = Of(kAwb);
    a.callback = param ? ReadField<ResultCallback>(param, awb::kInitCallback) : nullptr;
    if (handleOut) WriteField<void*>(handleOut, 0, &a);
    return 0;
}

int FakeEntries::AwbProcess(void* handle, void* calcParam, void* calcResult) {
    auto& a = *static_cast<Fake3A::Algorithm*>(handle);
    a.processCalls++;
    gFake->OnStatistics(a, calcParam);
    a.live = Pattern(awb::kSize, a.seq * 4 + kAwb);
    WriteField<uint32_t>(a.live.data(), ZEB::AwbCalc::kFrameId, 7000 + a.seq);
    Bytes result = a.live;
    void* tables[2] = {calcResult, result.data()};
    Report(a, awb::kCbResult, calcResult, tables);
    a.liveParam = Pattern(32, a.seq * 4 + 33);
    Bytes ccm = a.liveParam;
    Report(a, awb::kCbCcm, ccm.data(), nullptr);
    a.liveParam = Pattern(16, a.seq * 4 + 29);
    Bytes gains = a.liveParam;
    Report(a, awb::kCbGains, gains.data(), nullptr);
    return 0;
}

int FakeEntries::AwbIoctl(void* handle, uint32_t command, void*, void* out) {
    auto& a = *static_cast<Fake3A::Algorithm*>(handle);
    a.ioctlCalls++;
    if (command == awb::kIoctlGetGain && out) {
        const Bytes own = Pattern(awb::kGainOutSize, a.seq * 4 + 257);
        memcpy(out, own.data(), own.size());
    }
    return 0;
}

int FakeEntries::StartAwb(Fake3A::Algorithm& a) {
    a.initParam = Pattern(awb::kInitSize, 3);
    WriteField<void*>(a.initParam.data(), awb::kInitCallback, reinterpret_cast<void*>(&FakeEntries::OnAwbResult));
    return reinterpret_cast<awb::InitFunc>(a.table[kOpsInit])(a.initParam.data(), &a.handle);
}

int FakeEntries::OnAwbResult(void* handle, int64_t type, void* param, void* data) {
    Fake3A::Algorithm& a = Of(kAwb);
    if (handle != &a) return WrongHandle(a);
    gFake->OnAwb(a, type, param, data);
    return 0;
}

void Fake3A::RunAwb(Algorithm& a) {
    if (a.planes.empty()) a.planes.resize(3 * awb::kPlaneSize);
    std::fill(a.planes.begin(), a.planes.end(), static_cast<uint8_t>(a.seq));
    Bytes param = Pattern(awb::kCalcSize, a.seq + 11), result = Pattern(128, a.seq + 12);
    for (size_t k = 0; k < 3; ++k)
        WriteField<const void*>(param.data(), awb::kCalcPlanes[k], a.planes.data() + awb::kPlaneSize * k);
    reinterpret_cast<ProcessFunc>(a.table[kOpsProcess])(a.handle, param.data(), result.data());
    if (!Checked(a.task)) return;

    const Bytes before = Pattern(awb::kGainOutSize, a.seq + 13);
    Bytes in = Pattern(16, 14), out = before;
    const int calls = a.ioctlCalls;
    const int code =
        reinterpret_cast<IoctlFunc>(a.table[kOpsIoctl])(a.handle, awb::kIoctlGetGain, in.data(), out.data());
    Bytes expected = Pattern(awb::kGainOutSize, a.seq * 4 + 257);
    bool ran = true;
    if (mFixed[kAwb]) {
        const Bytes r = First(a.task).Dump("AWB_CALC_INFO.bin", awb::kSize);
        expected = before;
        memcpy(expected.data() + awb::kGainOutHead, r.data(), awb::kGainOutHeadSize);
        memcpy(expected.data() + awb::kGainOutCcm, r.data() + ZEB::AwbCalc::kCcm, awb::kGainOutCcmSize);
        memcpy(expected.data() + awb::kGainOutCcmLast, r.data() + ZEB::AwbCalc::kCcm + 16, 2);
        ran = false;
    }
    Tally(a.task, kAwb, "ioctl 257", mFixed[kAwb], code == 0 && (a.ioctlCalls != calls) == ran && out == expected,
          (a.ioctlCalls != calls) != ran ? "the algorithm's ioctl ran or not" : Difference(out.data(), expected));
}

void Fake3A::OnAwb(Algorithm& a, int64_t type, void* param, void* data) {
    if (!Checked(a.task)) return;
    const bool fixed = mFixed[kAwb];
    const Bytes r = First(a.task).Dump("AWB_CALC_INFO.bin", awb::kSize);
    namespace f = ZEB::AwbCalc;
    if (type == awb::kCbResult && data) {
        const auto* actual = ReadField<const uint8_t*>(data, sizeof(void*));
        Bytes expected = a.live;
        if (fixed) {
            expected = r;
            CopyField(expected, a.live.data(), f::kTimestamp, 8);
            CopyField(expected, a.live.data(), f::kStatsIndex, 4);
            CopyField(expected, a.live.data(), f::kFrameId, 4);
        }
        const bool matches = Same(actual, expected);
        Tally(a.task, kAwb, "callback 32", fixed, matches, actual ? Difference(actual, expected) : "no result");
        if (!fixed || !matches) return;
        MutexLock guard(mReportLock);
        ThreeAReport& report = mReports[a.task];
        report.awbRecorded = true;
        for (int i = 0; i < 3; ++i) report.awbGains[i] = ReadField<uint32_t>(actual, f::kGainR + 4 * static_cast<size_t>(i));
        report.awbCt = ReadField<uint32_t>(actual, f::kCt);
        for (int i = 0; i < 9; ++i) report.awbCcm[i] = ReadField<int16_t>(actual, f::kCcm + 2 * static_cast<size_t>(i));
        return;
    }
    if (!param || (type != awb::kCbCcm && type != awb::kCbGains)) return;
    Bytes expected = a.liveParam;
    if (fixed && type == awb::kCbCcm) memcpy(expected.data(), r.data() + f::kCcm, 18);
    if (fixed && type == awb::kCbGains) memcpy(expected.data(), r.data() + f::kGainR, 12);
    const auto* actual = static_cast<const uint8_t*>(param);
    Tally(a.task, kAwb, "callback " + std::to_string(type), fixed, Same(actual, expected),
          Difference(actual, expected));
}

}  // namespace zeb_hal
