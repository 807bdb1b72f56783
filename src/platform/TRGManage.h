#pragma once
// Host stand-in for the post-processing trigger file loader.
#include <cstddef>
#include <cstdint>

namespace pvk {

// The post-processing configuration: parameter 65658 of the parameter set,
// 0x109000 bytes. The loader lists in it the trigger files it loaded.
struct postproc_cfg_info_t {
    struct trigger_entry_t {
        char name[40];  // file name, cut to 39 characters, zero-terminated
        uint64_t block_id;
        int32_t bypass;
        uint32_t checksum;
        uint32_t value_count;
        uint32_t reserved;
    };
    static constexpr size_t kMaxTriggers = 256;

    char magic[4];  // "PPCF" once a loader has filled it
    int32_t camera_id;
    uint32_t load_count;     // trigger loads of this camera so far
    uint32_t trigger_count;  // entries used below
    trigger_entry_t triggers[kMaxTriggers];
    uint8_t reserved[0x109000 - 16 - kMaxTriggers * sizeof(trigger_entry_t)];
};
static_assert(sizeof(postproc_cfg_info_t::trigger_entry_t) == 64, "64-byte trigger entries");
static_assert(sizeof(postproc_cfg_info_t) == 0x109000, "the configuration of parameter 65658");

class TRGManage {
public:
    // Loads the camera's trigger files: every ".bin" file whose name contains
    // "TRG" below its firmware tuning folder (platform/SensorTuning.h), each
    // header checked; lists them in `cfg` (the first kMaxTriggers, by path)
    // and records them on the sensor side. With `reload` 0 the files are not
    // read again: `cfg` gets the list of the last load. Returns before the
    // caller's next step; the number of files listed, or -1 for a null `cfg`.
    static int loadFiles(int cameraId, postproc_cfg_info_t* cfg, int reload);
};

}  // namespace pvk
