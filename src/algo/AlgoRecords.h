#pragma once
// Per-frame records the hand-over gives the offline 3A modules through the
// parameter registry. The addresses point into a frame's dump areas, which
// stay valid while the task holds its frames.
#include <cstddef>
#include <cstdint>

namespace ZEB {

// "AE": one per frame of a task, handed over as a std::vector<ZebAeInfo>.
struct ZebAeInfo {
    void* aemInfo;   // AEM_INFO
    void* aeResult;  // AE_RESULT_INFO, 1,248 bytes
};

// "XTM": one per frame of a task, handed over as a std::vector<ZebXtmInfo>.
struct ZebXtmInfo {
    void* xtmResult;  // XTM_RESULT_INFO, 17,436 bytes
};

// "AWB": one per task.
struct ZebAwbInfo {
    void* aemInfo;  // AEM_FOR_AWB, or AEM_INFO when the former was not recorded
    void* awbCalc;  // AWB_CALC_INFO, 120 bytes
};

// "ALSC": one per task.
struct ZebAlscInfo {
    void* lscmInfo;
    void* lscResult;
    void* lsc4Result;
    void* lscTable;   // mapped LSC_RESULT_TABLE_INFO buffer, or null
    void* lscWTable;  // mapped LSC_RESULT_WTABLE_INFO buffer, or null
    // Usable bytes behind the two tables: a short table file is never read
    // past its end.
    size_t lscTableBytes;
    size_t lscWTableBytes;
};

// One frame's OFFLINE_AE_INFO dump as the HAL reads it back.
struct ZebAeOfflineInfo {
    int32_t values[25];
    float gains[2];
    uint8_t reserved[20];
};
static_assert(sizeof(ZebAeOfflineInfo) == 128, "OFFLINE_AE_INFO is 128 bytes");

}  // namespace ZEB
