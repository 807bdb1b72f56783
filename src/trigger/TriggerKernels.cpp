#include "trigger/TriggerKernels.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "trigger/TriggerNumbers.h"

namespace ZEB {
namespace trigger_detail {
namespace {

// Several values at a time in portable vector types (SSE2 on the host, NEON
// on the device, AVX2 where the host has it); each lane computes exactly what
// the scalar formula does, so the result does not depend on where the vector
// part ends. The lane loops are always inlined so that each caller compiles
// them for its own instruction set.
#define ZEB_LANES inline __attribute__((always_inline))

typedef float Float4 __attribute__((vector_size(16)));
typedef int32_t Int4 __attribute__((vector_size(16)));

// Interpolates the values up to the last whole vector; returns how many.
template <class F, class I>
ZEB_LANES size_t FloatLanes(const float* high, const float* low, size_t count, float gap, float offset, float* out) {
    constexpr size_t kLanes = sizeof(F) / sizeof(float);
    size_t j = 0;
    for (; j + kLanes <= count; j += kLanes) {
        F vh;
        F vl;
        memcpy(&vh, high + j, sizeof vh);
        memcpy(&vl, low + j, sizeof vl);
        const F value = vl + offset * ((vh - vl) / gap);
        // Equal values keep their value exactly.
        const I same = vh == vl;
        const I bits = (same & (I)vh) | (~same & (I)value);
        memcpy(out + j, &bits, sizeof bits);
    }
    return j;
}

// TruncToInt32 lane by lane. Vectors go by reference: a wide vector passed
// by value would change the calling convention.
template <class F, class I>
ZEB_LANES void TruncLanes(const F& value, I& result) {
    const I nan = value != value;
    const I high = value >= 2147483648.0f;
    const I low = value <= -2147483648.0f;
    const I outside = nan | high | low;
    const F inside = (F)((I)value & ~outside);
    const I converted = __builtin_convertvector(inside, I);
    result = (converted & ~outside) | (high & INT32_MAX) | (low & INT32_MIN);
}

// Below 2^23 in magnitude an int32 is a float exactly, so is the difference
// of two of them, and the single-precision quotient of that difference by a
// span below 2^24 is never rounded across an integer: truncating it gives the
// integer quotient exactly.
constexpr int32_t kExactInFloat = 1 << 23;

// Interpolates whole vectors while every value is below kExactInFloat in
// magnitude; returns how many values are done. `span` is below it too.
template <class F, class I>
ZEB_LANES size_t IntLanes(const int32_t* high, const int32_t* low, size_t count, int32_t span, float offset,
                          int32_t* out) {
    constexpr size_t kLanes = sizeof(I) / sizeof(int32_t);
    const float divisor = static_cast<float>(span);
    size_t j = 0;
    for (; j + kLanes <= count; j += kLanes) {
        I vh;
        I vl;
        memcpy(&vh, high + j, sizeof vh);
        memcpy(&vl, low + j, sizeof vl);
        const I small = (vh > -kExactInFloat) & (vh < kExactInFloat) & (vl > -kExactInFloat) & (vl < kExactInFloat);
        int32_t all = -1;
        for (size_t k = 0; k < kLanes; ++k) all &= small[k];
        if (all == 0) break;  // the rest goes the general way
        const F fh = __builtin_convertvector(vh, F);
        const F fl = __builtin_convertvector(vl, F);
        const F step = __builtin_convertvector(__builtin_convertvector((fh - fl) / divisor, I), F);
        I value;
        TruncLanes<F, I>(offset * step + fl, value);
        // Equal values keep their value exactly: a step of 0 times an
        // infinite or NaN offset would give 0 instead.
        const I same = vh == vl;
        const I result = (same & vh) | (~same & value);
        memcpy(out + j, &result, sizeof result);
    }
    return j;
}

#if defined(__x86_64__) || defined(__i386__)
// Eight lanes where the host has AVX2 (not FMA: a fused multiply-add would
// round differently from the scalar formula). The upper register halves are
// cleared on the way out, so that the SSE code after it pays no transition.
#define ZEB_TRIGGER_AVX2 1
typedef float Float8 __attribute__((vector_size(32)));
typedef int32_t Int8 __attribute__((vector_size(32)));

__attribute__((target("avx2"))) size_t FloatLanesAvx2(const float* high, const float* low, size_t count, float gap,
                                                      float offset, float* out) {
    const size_t done = FloatLanes<Float8, Int8>(high, low, count, gap, offset, out);
    _mm256_zeroupper();
    return done;
}

__attribute__((target("avx2"))) size_t IntLanesAvx2(const int32_t* high, const int32_t* low, size_t count,
                                                    int32_t span, float offset, int32_t* out) {
    const size_t done = IntLanes<Float8, Int8>(high, low, count, span, offset, out);
    _mm256_zeroupper();
    return done;
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace

void InterpolateFloats(const float* high, const float* low, size_t count, float gap, float offset, float* out) {
    if (gap == 0.0f) {
        std::copy(high, high + count, out);
        return;
    }
    size_t j = 0;
#ifdef ZEB_TRIGGER_AVX2
    if (HasAvx2()) j = FloatLanesAvx2(high, low, count, gap, offset, out);
#endif
    j += FloatLanes<Float4, Int4>(high + j, low + j, count - j, gap, offset, out + j);
    for (; j < count; ++j) {
        const float vh = high[j];
        const float vl = low[j];
        out[j] = vh == vl ? vh : vl + offset * ((vh - vl) / gap);
    }
}

void InterpolateInts(const int32_t* high, const int32_t* low, size_t count, int32_t span, float offset,
                     int32_t* out) {
    if (span == 0) {
        std::copy(high, high + count, out);
        return;
    }
    size_t j = 0;
    if (span > -kExactInFloat && span < kExactInFloat) {
#ifdef ZEB_TRIGGER_AVX2
        if (HasAvx2()) j = IntLanesAvx2(high, low, count, span, offset, out);
#endif
        j += IntLanes<Float4, Int4>(high + j, low + j, count - j, span, offset, out + j);
    }
    // The general way: the quotient in double precision, exact for every
    // pair of int32 (a 33-bit difference by a 32-bit span) and far cheaper
    // than a 64-bit integer division.
    const double divisor = span;
    for (; j < count; ++j) {
        const int32_t vh = high[j];
        const int32_t vl = low[j];
        if (vh == vl) {
            // Single precision would round integers above 2^24.
            out[j] = vh;
            continue;
        }
        const double quotient = static_cast<double>(static_cast<int64_t>(vh) - vl) / divisor;
        const int64_t step = static_cast<int64_t>(quotient);
        out[j] = TruncToInt32(offset * static_cast<float>(step) + static_cast<float>(vl));
    }
}

}  // namespace trigger_detail
}  // namespace ZEB
