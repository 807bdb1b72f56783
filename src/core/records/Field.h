#pragma once
// Unaligned access to a field of a record's byte image. Records are dumps of
// another program's structures or buffers the HAL hands over, so a field's
// address need not suit its type: every access copies through memcpy, which
// the compiler turns into a plain load or store where the target allows it.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ZEB {

template <class T>
inline T ReadField(const void* base, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return value;
}
template <class T>
inline void WriteField(void* base, size_t offset, T value) {
    std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

}  // namespace ZEB
