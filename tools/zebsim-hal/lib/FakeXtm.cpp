// The fake tone mapping (XTM) algorithm: its calc fills the global and local
// tone maps, the curve and the gamma of the result it is handed. With the XTM
// block fixed the simulation answers the calc itself from the recorded
// results (one per frame of a bracket), and the algorithm's calc never runs.
#include <algorithm>
#include <cstring>

#include "zebsim-hal/lib/FakeShared.h"

namespace zeb_hal {

using namespace hal3a;
using namespace fake3a;

int FakeEntries::XtmInit(void*, void*, void* handleOut) {
    Fake3A::Algorithm& a = Of(kXtm);
    if (handleOut) WriteField<void*>(handleOut, 0, &a);
    return 0;
}

int FakeEntries::XtmCalc(void* handle, void*, void* result) {
    auto& a = *static_cast<Fake3A::Algorithm*>(handle);
    a.processCalls++;
    if (!result) return 1;
    auto* r = static_cast<uint8_t*>(result);
    const Bytes own = Pattern(xtm::kResultSize, a.seq * 4 + kXtm);
    memcpy(r + xtm::kGtm, own.data() + xtm::kGtm, xtm::kGtmSize);
    memcpy(r + xtm::kGtmTarget, own.data() + xtm::kGtmTarget, 4);
    memcpy(r + xtm::kLtmTiles, own.data() + xtm::kLtmTiles, 4);
    memcpy(r + xtm::kCurve, own.data() + xtm::kCurve, xtm::kCurveSize);
    auto* ltm = ReadField<uint8_t*>(r, xtm::kLtmBuffer);
    auto* gamma = ReadField<uint8_t*>(r, xtm::kGammaBuffer);
    if (ltm) memcpy(ltm, Pattern(ZEB::XtmResult::kLtmSize, a.seq + 48).data(), ZEB::XtmResult::kLtmSize);
    if (gamma) memcpy(gamma, Pattern(ZEB::XtmResult::kGammaSize, a.seq + 576).data(), ZEB::XtmResult::kGammaSize);
    return 0;
}

int FakeEntries::XtmIoctl(void* handle, uint32_t, void*, void*) {
    static_cast<Fake3A::Algorithm*>(handle)->ioctlCalls++;
    return 0;
}

int FakeEntries::StartXtm(Fake3A::Algorithm& a) {
    a.initParam = Pattern(xtm::kInitSize, 5);
    a.initResult = Pattern(xtm::kInitResultSize, 6);
    return reinterpret_cast<xtm::InitFunc>(a.table[kOpsInit])(a.initParam.data(), a.initResult.data(), &a.handle);
}

void Fake3A::RunXtm(Algorithm& a) {
    namespace x = ZEB::XtmResult;
    Bytes result = Pattern(xtm::kResultSize, a.seq + 31), ltm = Pattern(x::kLtmSize, a.seq + 32),
          gamma = Pattern(x::kGammaSize, a.seq + 33), param = Pattern(xtm::kCalcSize, a.seq + 34);
    WriteField<void*>(result.data(), xtm::kLtmBuffer, ltm.data());
    WriteField<void*>(result.data(), xtm::kGammaBuffer, gamma.data());
    Bytes expected = result, expectedLtm = ltm, expectedGamma = gamma;
    const int calls = a.processCalls;
    const int code = reinterpret_cast<ProcessFunc>(a.table[kOpsProcess])(a.handle, param.data(), result.data());
    const int halCalcs = a.processCalls - calls;
    if (!Checked(a.task)) return;
    const bool fixed = mFixed[kXtm];
    if (fixed) {
        Bytes recorded;
        {
            MutexLock lock(mModelLock);
            if (mModelTask != a.task) ResetModel(a.task);
            if (mXtmCur >= mXtmFrmSize) {
                mXtmCur = 0;
                mXtmFrmSize = 1;
                mXtmCap = false;  // the capture's walk is over
            }
            const auto& frames = mRecording.tasks[a.task].frames;
            const size_t pos = static_cast<size_t>(std::min<int64_t>(mXtmCur, static_cast<int64_t>(frames.size()) - 1));
            recorded = frames[pos].Dump("XTM_RESULT_INFO.bin", x::kSize);
            if (mXtmCap) ++mXtmCur;
        }
        memcpy(expected.data() + xtm::kGtm, recorded.data() + x::kGtm, xtm::kGtmSize);
        memcpy(expected.data() + xtm::kCurve, recorded.data() + x::kCurve, x::kCurveSize);
        memcpy(expectedLtm.data(), recorded.data() + x::kLtm, x::kLtmSize);
        memcpy(expectedGamma.data(), recorded.data() + x::kGamma, x::kGammaSize);
        memcpy(expected.data() + xtm::kGtmTarget, recorded.data() + x::kGtmTarget, 2);
        memcpy(expected.data() + xtm::kGtmStrength, recorded.data() + x::kGtmStrength, 2);
        memcpy(expected.data() + xtm::kLtmTiles, recorded.data() + x::kLtmTiles, 4);
    } else {
        // The algorithm's own calc, run on the same records.
        Algorithm own;
        own.seq = a.seq;
        WriteField<void*>(expected.data(), xtm::kLtmBuffer, expectedLtm.data());
        WriteField<void*>(expected.data(), xtm::kGammaBuffer, expectedGamma.data());
        FakeEntries::XtmCalc(&own, nullptr, expected.data());
        WriteField<void*>(expected.data(), xtm::kLtmBuffer, ltm.data());
        WriteField<void*>(expected.data(), xtm::kGammaBuffer, gamma.data());
    }
    const bool matches =
        code == 0 && halCalcs == (fixed ? 0 : 1) && result == expected && ltm == expectedLtm && gamma == expectedGamma;
    std::string detail = halCalcs != (fixed ? 0 : 1)
                             ? "the algorithm's calc ran " + std::to_string(halCalcs) + " time(s)"
                         : result != expected ? "result " + Difference(result.data(), expected)
                         : ltm != expectedLtm ? "local tone map " + Difference(ltm.data(), expectedLtm)
                                              : "gamma " + Difference(gamma.data(), expectedGamma);
    Tally(a.task, kXtm, "calc", fixed, matches, detail);
    {
        MutexLock guard(mReportLock);
        ThreeAReport& report = mReports[a.task];
        report.xtmHalCalcs += halCalcs;
    }
    if (fixed && matches) {
        MutexLock guard(mReportLock);
        ThreeAReport& report = mReports[a.task];
        report.xtmRecorded = true;
        for (size_t i = 0; i < 8; ++i) report.xtmGtm[i] = ReadField<uint16_t>(result.data(), xtm::kGtm + 2 * i);
        report.xtmGamma.clear();
        for (int point : {0, 32, 64, 128, 192, 256})
            report.xtmGamma.emplace_back(point, ReadField<uint16_t>(gamma.data(), 2 * static_cast<size_t>(point)));
    }
    Bytes in = Pattern(16, 35), out = Pattern(16, 36);
    const int ioctlCalls = a.ioctlCalls;
    const int ioctlCode =
        reinterpret_cast<IoctlFunc>(a.table[kOpsIoctl])(a.handle, xtm::kIoctlGetStatus, in.data(), out.data());
    Tally(a.task, kXtm, "ioctl", false, ioctlCode == 0 && a.ioctlCalls == ioctlCalls + 1,
          "the algorithm's ioctl did not run");
}

}  // namespace zeb_hal
