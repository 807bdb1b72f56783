#pragma once
// Number conversions of the trigger engine. Parameter files come from tuning
// engineers and values come from the HAL per frame, so every conversion is
// total: out-of-range input saturates, garbage reads as 0, nothing is undefined.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace ZEB {
namespace trigger_detail {

inline int32_t SaturateInt32(long long value) {
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

// Truncation toward zero; NaN gives 0. A plain cast of an out-of-range float
// is undefined behaviour.
inline int32_t TruncToInt32(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

// Decimal, or hexadecimal after "0x"/"0X" (sign allowed), saturating at the
// int32 limits; 0 for an empty or non-numeric text.
inline int32_t ParseInteger(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    // strtoull would accept a second sign; only digits may follow here.
    const bool digit = base == 16 ? ((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F'))
                                  : (*p >= '0' && *p <= '9');
    if (!digit) return 0;
    errno = 0;
    unsigned long long magnitude = strtoull(p, nullptr, base);
    const bool overflow = errno == ERANGE || magnitude > (1ULL << 32);
    if (negative) return overflow ? std::numeric_limits<int32_t>::min() : SaturateInt32(-static_cast<long long>(magnitude));
    return overflow ? std::numeric_limits<int32_t>::max() : SaturateInt32(static_cast<long long>(magnitude));
}

// Decimal only, saturating; what the values of an "int" parameter are read as.
inline int32_t ParseDecimal(const char* text) {
    if (!text) return 0;
    errno = 0;
    long long value = strtoll(text, nullptr, 10);
    return SaturateInt32(value);
}

// 0 for an empty or non-numeric text; out-of-range values become +-inf.
inline float ParseFloat(const char* text) {
    if (!text) return 0.0f;
    return strtof(text, nullptr);
}

// memcpy of `count` 32-bit values; an empty vector's data() may be null,
// which memcpy must not be given even for nothing.
inline void CopyValues(void* dst, const void* src, size_t count) {
    if (count > 0) memcpy(dst, src, count * 4);
}

}  // namespace trigger_detail
}  // namespace ZEB
