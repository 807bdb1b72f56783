#pragma once
// What the four offline 3A modules (AE, AWB, ALSC, XTM) share: the HAL's
// operation table, the checks on addresses found inside the HAL's records, the
// fixed mode of the block configuration list, and the frame-release hook
// through which they drop records that point into a frame about to be reused
// or freed.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/records/Field.h"

namespace ZEB {

class ZEBFrame;

// The HAL's operation table: four function pointers. The second entry is kept
// as the HAL gave it.
enum HalOpsEntry { kOpsInit = 0, kOpsSecond = 1, kOpsProcess = 2, kOpsIoctl = 3, kOpsEntries = 4 };

template <class Function>
Function ReadOp(const void* table, int entry) {
    Function function;
    memcpy(&function, static_cast<const uint8_t*>(table) + entry * sizeof(void*), sizeof function);
    return function;
}
template <class Function>
void WriteOp(void* table, int entry, Function function) {
    memcpy(static_cast<uint8_t*>(table) + entry * sizeof(void*), &function, sizeof function);
}

// Keeps the HAL's entry of a table unless it is already `wrapper`: a table
// handed over twice must not make the wrapper call itself.
template <class Function, class Saved>
void SaveOp(Saved& saved, const void* table, int entry, Function wrapper) {
    Function found = ReadOp<Function>(table, entry);
    if (found != wrapper) saved.store(found);
}

// Copies one field of `width` bytes at `offset` from `from` to `to`.
inline void CopyField(void* to, const void* from, size_t offset, size_t width) {
    memcpy(static_cast<uint8_t*>(to) + offset, static_cast<const uint8_t*>(from) + offset, width);
}

// Whether an address found in a HAL record can be written through. No process
// maps the first 64 KiB (the kernel's lowest mapping address is at most that),
// so a value there is an unset or truncated field, not a buffer.
inline bool Usable(const void* address) { return reinterpret_cast<uintptr_t>(address) >= 0x10000; }

// The memory a released frame takes with it: the frame object with its dump
// areas, and its two LSC table buffers.
struct FrameSpan {
    const uint8_t* begin = nullptr;
    const uint8_t* end = nullptr;
    const void* lscTable = nullptr;
    const void* lscWTable = nullptr;

    bool Holds(const void* address) const {
        if (!address) return false;
        const uint8_t* at = static_cast<const uint8_t*>(address);
        return (at >= begin && at < end) || address == lscTable || address == lscWTable;
    }
};

// The first block of the task manager's block configuration list whose name
// `matches` accepts: its state and name. False when there is none.
bool FindBlock(bool (*matches)(const std::string& blockName), uint32_t* state, std::string* name);

// Installs the frame-release hook that tells every live module of a released
// frame. Each module's constructor calls it; installing twice changes nothing.
void WatchFrameRelease();

}  // namespace ZEB
