// What the HAL hands the library at run time. The input begins with the
// HAL's context record (its first 256 bytes; zeros past the input): the
// library passes its sensor handle (byte 112) back with every sensor command
// and puts its colour pattern (byte 132) into every frame record. Then one
// operation per byte, its values taken from the bytes after it:
//   0 the snapshot notification: the 16 EVs it hands the AE and XTM modules
//   1 a task's recorded AE and XTM results (0 to 4 frames) under a frame id
//   2 the frame id being played
//   3 the HAL's AE result callback, with a live result and a callback type
//   4 the HAL's AE ioctl
//   5 a frame sent through the virtual sensor, binned by the factor the
//     driver answers with
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "SensorDriver.h"
#include "algo/AE.h"
#include "core/records/HalRecords.h"
#include "core/records/ThreeARecords.h"
#include "algo/XTM.h"
#include "frame/VirtualSensorControl.h"
#include "frame/ZEBFrame.h"

namespace {

constexpr size_t kAeResult = 1248;
constexpr size_t kXtmResult = 17436;
constexpr size_t kAemInfo = 196620;
constexpr size_t kAeInitCallback = 256;

// The HAL's AE algorithm: its entries do nothing but answer.
int HalInit(void*, void*, void*) { return 0; }
int HalProcess(void*, void*, void*) { return 0; }
int HalIoctl(void*, int, void*, void*) { return 0; }
int HalCallback(void*, int64_t, void*, void*) { return 0; }

// Reads the operation's values from the input; zeros once it runs out.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    void Take(void* to, size_t bytes) {
        const size_t have = at < size ? std::min(bytes, size - at) : 0;
        memcpy(to, data + at, have);
        memset(static_cast<uint8_t*>(to) + have, 0, bytes - have);
        at += bytes;
    }
    template <class T>
    T Next() {
        T value;
        Take(&value, sizeof value);
        return value;
    }
    bool More() const { return at < size; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input{data, size};
    uint8_t context[256];
    input.Take(context, sizeof context);
    zeb_fuzz::SensorDriver& driver = zeb_fuzz::SensorDriver::Get();
    driver = zeb_fuzz::SensorDriver();
    memcpy(&driver.pattern, context + ZEB::kOemCxtSensorPatternOffset, sizeof driver.pattern);

    ZEB::VirtualSensorControl sensor(context, 0);
    sensor.SetSensorOps(&zeb_fuzz::SensorDriver::Ioctl);
    sensor.SetOemCxt2SensorDrv();
    // A 64 x 8 frame of no folder, its raw buffer filled from the context bytes.
    auto frame = std::make_shared<ZEB::ZEBFrame>(zeb_fuzz::Scratch() + "/no-folder");
    frame->mRawWidth = 64;
    frame->mRawHeight = 8;
    frame->AllocateMemory();
    if (uint8_t* raw = ZEB::BufferAddress(frame->mMipiRawBuf)) {
        for (size_t i = 0; i < ZEB::BufferBytes(frame->mMipiRawBuf); ++i) raw[i] = context[i % sizeof context];
    }
    driver.frame = frame.get();

    ZEB::AE ae;
    ZEB::XTM xtm;
    void* table[4] = {reinterpret_cast<void*>(&HalInit), nullptr, reinterpret_cast<void*>(&HalProcess),
                      reinterpret_cast<void*>(&HalIoctl)};
    ae.GetOpsParam(table);
    std::vector<uint8_t> init(384, 0);
    auto* callback = &HalCallback;
    memcpy(init.data() + kAeInitCallback, &callback, sizeof callback);
    reinterpret_cast<int (*)(void*, void*, void*)>(table[0])(init.data(), &ae, &ae);
    ZEB::ae_cb_t wrapped;
    memcpy(&wrapped, init.data() + kAeInitCallback, sizeof wrapped);

    // The recorded areas the task's records point into; they outlive the modules' use.
    std::vector<std::vector<uint8_t>> areas;
    while (input.More()) {
        switch (input.Next<uint8_t>() % 6) {
            case 0: {
                float ev[ZEB::AE::kEvEntries];
                input.Take(ev, sizeof ev);
                ae.SetFrameStaticInfo(ev, 65535);
                xtm.SetFrameStaticInfo(ev, 65535);
                break;
            }
            case 1: {
                const int frames = input.Next<uint8_t>() % 5;
                const int64_t frameId = input.Next<uint8_t>();
                std::vector<std::vector<uint8_t>> next;
                std::vector<ZEB::ZebAeInfo> aeRecords;
                std::vector<ZEB::ZebXtmInfo> xtmRecords;
                for (int i = 0; i < frames; ++i) {
                    next.emplace_back(kAeResult);
                    input.Take(next.back().data(), 64);
                    next.emplace_back(kAemInfo);
                    aeRecords.push_back({next.back().data(), next[next.size() - 2].data()});
                    next.emplace_back(kXtmResult);
                    xtmRecords.push_back({next.back().data()});
                }
                ZEB::ParameterManagerBase::SetFrameSize(frames);
                ae.SetFrameStaticInfo(&aeRecords, frameId);
                xtm.SetFrameStaticInfo(&xtmRecords, frameId);
                // The modules hold the new records only: the previous areas may go.
                areas.swap(next);
                break;
            }
            case 2: {
                const int64_t frameId = input.Next<uint8_t>();
                ae.SetFrameId(frameId);
                xtm.SetFrameId(frameId);
                break;
            }
            case 3: {
                std::vector<uint8_t> live(kAeResult);
                input.Take(live.data(), 64);
                const int64_t type = input.Next<uint8_t>() % 8;
                int64_t param = 0;
                wrapped(&ae, type, &param, live.data());
                break;
            }
            case 4: {
                std::vector<uint8_t> in(kAeResult), out(kAeResult);
                reinterpret_cast<int (*)(void*, int, void*, void*)>(table[3])(&ae, input.Next<uint8_t>(), in.data(),
                                                                             out.data());
                break;
            }
            case 5:
                driver.binningFactor = input.Next<int32_t>();
                sensor.SetFrame(frame, false);
                sensor.SetFrame(frame, sensor.GetBinningFactor());
                break;
        }
    }
    return 0;
}
