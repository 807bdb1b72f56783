#include "frame/RawKernels.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZEB_RAW_X86 1
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define ZEB_RAW_NEON 1
#endif

namespace ZEB {
namespace raw {
namespace {

// Bytes of a line that hold whole 4-pixel groups.
inline size_t GroupBytes(int width) { return static_cast<size_t>(width / 4) * 5; }

inline void UnpackGroup(const uint8_t* b, uint16_t* out) {
    const unsigned low = b[4];
    out[0] = static_cast<uint16_t>((b[0] << 2) | (low & 3));
    out[1] = static_cast<uint16_t>((b[1] << 2) | ((low >> 2) & 3));
    out[2] = static_cast<uint16_t>((b[2] << 2) | ((low >> 4) & 3));
    out[3] = static_cast<uint16_t>((b[3] << 2) | ((low >> 6) & 3));
}

inline void PackGroup(const uint16_t* p, uint8_t* out) {
    // Read all four before writing: packing may run in place.
    const unsigned p0 = p[0], p1 = p[1], p2 = p[2], p3 = p[3];
    out[0] = static_cast<uint8_t>(p0 >> 2);
    out[1] = static_cast<uint8_t>(p1 >> 2);
    out[2] = static_cast<uint8_t>(p2 >> 2);
    out[3] = static_cast<uint8_t>(p3 >> 2);
    out[4] = static_cast<uint8_t>((p0 & 3) | (p1 & 3) << 2 | (p2 & 3) << 4 | (p3 & 3) << 6);
}

// Groups of the line from byte `from` on, and the partial group at its end.
void UnpackLineTail(const uint8_t* line, size_t from, int width, size_t stride, uint16_t* out) {
    const size_t groupBytes = GroupBytes(width);
    for (size_t offset = from; offset < groupBytes; offset += 5) UnpackGroup(line + offset, out + offset / 5 * 4);
    const int rest = width % 4;
    if (rest == 0) return;
    uint16_t tail[4] = {0, 0, 0, 0};
    if (groupBytes + 5 <= stride) UnpackGroup(line + groupBytes, tail);
    memcpy(out + static_cast<size_t>(width - rest), tail, sizeof(uint16_t) * rest);
}

void UnpackScalar(const uint8_t* src, int width, int height, size_t stride, uint16_t* dst) {
    for (int y = 0; y < height; ++y) {
        UnpackLineTail(src + stride * y, 0, width, stride, dst + static_cast<size_t>(width) * y);
    }
}

void PackScalar(const uint16_t* src, int width, int height, size_t stride, uint8_t* dst) {
    for (int y = 0; y < height; ++y) {
        const uint16_t* in = src + static_cast<size_t>(width) * y;
        uint8_t* out = dst + stride * y;
        for (int x = 0; x + 4 <= width; x += 4) PackGroup(in + x, out + x / 4 * 5);
    }
}

// Output row `o` sums source rows first(o), first(o) + 2, ... (same for columns).
inline int SiteFirst(int o, int factor) { return factor * (o & ~1) + (o & 1); }

void BinGeneric(const uint16_t* src, int width, int height, int factor, uint16_t* dst, int fromColumn) {
    const int outW = width / factor, outH = height / factor;
    const uint64_t count = static_cast<uint64_t>(factor) * factor;
    for (int oy = 0; oy < outH; ++oy) {
        const int firstRow = SiteFirst(oy, factor);
        for (int ox = fromColumn; ox < outW; ++ox) {
            const int firstCol = SiteFirst(ox, factor);
            uint64_t sum = 0;
            for (int i = 0; i < factor; ++i) {
                const uint16_t* row = src + static_cast<size_t>(firstRow + 2 * i) * width;
                for (int j = 0; j < factor; ++j) sum += row[firstCol + 2 * j];
            }
            // Factor 2 keeps the sum in 16 bits like the vector loops do.
            dst[static_cast<size_t>(oy) * outW + ox] =
                factor == 2 ? static_cast<uint16_t>(static_cast<uint16_t>(sum) >> 2) : static_cast<uint16_t>(sum / count);
        }
    }
}

void BinScalar(const uint16_t* src, int width, int height, int factor, uint16_t* dst) {
    BinGeneric(src, width, height, factor, dst, 0);
}

void RealignScalar(uint8_t* buffer, size_t lineBytes, size_t stride, int height) {
    for (int y = height - 1; y >= 0; --y) {
        uint8_t* to = buffer + stride * y;
        if (y > 0) memmove(to, buffer + lineBytes * y, lineBytes);
        memset(to + lineBytes, 0, stride - lineBytes);
    }
}

// A line's vector part: decodes from byte 0 on and returns the byte offset
// reached; the scalar tail takes the rest.
using UnpackLineFn = size_t (*)(const uint8_t* line, size_t groupBytes, uint16_t* out);

void UnpackLines(const uint8_t* src, int width, int height, size_t stride, uint16_t* dst, UnpackLineFn vector) {
    const size_t groupBytes = GroupBytes(width);
    for (int y = 0; y < height; ++y) {
        const uint8_t* line = src + stride * y;
        uint16_t* out = dst + static_cast<size_t>(width) * y;
        UnpackLineTail(line, vector(line, groupBytes, out), width, stride, out);
    }
}

#ifdef ZEB_RAW_NEON
// One output line from its two source lines: returns the columns done.
using BinLineFn = int (*)(const uint16_t* top, const uint16_t* bottom, uint16_t* out, int outW);

void BinByTwo(const uint16_t* src, int width, int height, uint16_t* dst, BinLineFn vector) {
    const int outW = width / 2, outH = height / 2;
    int done = 0;
    for (int oy = 0; oy < outH; ++oy) {
        const uint16_t* top = src + static_cast<size_t>(SiteFirst(oy, 2)) * width;
        done = vector(top, top + 2 * static_cast<size_t>(width), dst + static_cast<size_t>(oy) * outW, outW);
    }
    if (done < outW) BinGeneric(src, width, height, 2, dst, done);
}
#endif

#ifdef ZEB_RAW_X86
// Both output lines of a band of four source lines in one sweep, so the four
// lines are read side by side in memory order: returns the columns done.
using BinBandFn = int (*)(const uint16_t* band, size_t width, uint16_t* out, int outW);

void BinBandsByTwo(const uint16_t* src, int width, int height, uint16_t* dst, BinBandFn vector) {
    const int outW = width / 2, outH = height / 2;
    int done = 0;
    for (int oy = 0; oy + 1 < outH; oy += 2) {
        done = vector(src + static_cast<size_t>(oy) * 2 * width, static_cast<size_t>(width),
                      dst + static_cast<size_t>(oy) * outW, outW);
    }
    if (done < outW) BinGeneric(src, width, height, 2, dst, done);
}
#endif

#ifdef ZEB_RAW_X86

// Eight pixels from ten bytes: each 16-bit lane gets its pixel's high byte in
// the low half and the group's low-bits byte in the high half; the multiply
// lifts that pixel's two low bits to the top of the lane.
__attribute__((target("ssse3"))) inline __m128i UnpackEight(__m128i bytes) {
    const __m128i shuffle = _mm_setr_epi8(0, 4, 1, 4, 2, 4, 3, 4, 5, 9, 6, 9, 7, 9, 8, 9);
    const __m128i lift = _mm_setr_epi16(64, 16, 4, 1, 64, 16, 4, 1);
    const __m128i lanes = _mm_shuffle_epi8(bytes, shuffle);
    const __m128i high = _mm_slli_epi16(_mm_and_si128(lanes, _mm_set1_epi16(0xFF)), 2);
    const __m128i low = _mm_srli_epi16(_mm_mullo_epi16(lanes, lift), 14);
    return _mm_or_si128(high, low);
}

__attribute__((target("ssse3"))) size_t UnpackLineSsse3(const uint8_t* line, size_t groupBytes, uint16_t* out) {
    size_t offset = 0;
    for (; offset + 16 <= groupBytes; offset += 10) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + offset));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + offset / 5 * 4), UnpackEight(bytes));
    }
    return offset;
}

__attribute__((target("avx2"))) size_t UnpackLineAvx2(const uint8_t* line, size_t groupBytes, uint16_t* out) {
    const __m256i shuffle = _mm256_setr_epi8(0, 4, 1, 4, 2, 4, 3, 4, 5, 9, 6, 9, 7, 9, 8, 9,  //
                                             0, 4, 1, 4, 2, 4, 3, 4, 5, 9, 6, 9, 7, 9, 8, 9);
    const __m256i lift = _mm256_setr_epi16(64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1);
    const __m256i mask = _mm256_set1_epi16(0xFF);
    size_t offset = 0;
    for (; offset + 26 <= groupBytes; offset += 20) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + offset));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + offset + 10));
        const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
        const __m256i lanes = _mm256_shuffle_epi8(bytes, shuffle);
        const __m256i high = _mm256_slli_epi16(_mm256_and_si256(lanes, mask), 2);
        const __m256i low = _mm256_srli_epi16(_mm256_mullo_epi16(lanes, lift), 14);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + offset / 5 * 4), _mm256_or_si256(high, low));
    }
    // Unoptimised GCC builds emit no vzeroupper on return, and the scalar tail
    // and everything after it on this thread would pay the SSE merge penalty.
    _mm256_zeroupper();
    return offset;
}

void UnpackSsse3(const uint8_t* src, int width, int height, size_t stride, uint16_t* dst) {
    UnpackLines(src, width, height, stride, dst, UnpackLineSsse3);
}

void UnpackAvx2(const uint8_t* src, int width, int height, size_t stride, uint16_t* dst) {
    UnpackLines(src, width, height, stride, dst, UnpackLineAvx2);
}

// Sixteen samples to twenty bytes. Both source vectors are loaded before the
// stores, so the loop may run in place.
__attribute__((target("ssse3"))) void PackSsse3(const uint16_t* src, int width, int height, size_t stride,
                                                 uint8_t* dst) {
    const __m128i byteMask = _mm_set1_epi16(0xFF);
    const __m128i lowMask = _mm_set1_epi16(3);
    const __m128i weights = _mm_setr_epi16(1, 4, 16, 64, 1, 4, 16, 64);
    const char z = static_cast<char>(0x80);
    const __m128i highOrder = _mm_setr_epi8(0, 1, 2, 3, z, 4, 5, 6, 7, z, 8, 9, 10, 11, z, 12);
    const __m128i lowOrder = _mm_setr_epi8(z, z, z, z, 0, z, z, z, z, 1, z, z, z, z, 2, z);
    const __m128i highTail = _mm_setr_epi8(13, 14, 15, z, z, z, z, z, z, z, z, z, z, z, z, z);
    const __m128i lowTail = _mm_setr_epi8(z, z, z, 3, z, z, z, z, z, z, z, z, z, z, z, z);
    for (int y = 0; y < height; ++y) {
        const uint16_t* in = src + static_cast<size_t>(width) * y;
        uint8_t* out = dst + stride * y;
        int x = 0;
        for (; x + 16 <= width; x += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x + 8));
            const __m128i high = _mm_packus_epi16(_mm_and_si128(_mm_srli_epi16(a, 2), byteMask),
                                                  _mm_and_si128(_mm_srli_epi16(b, 2), byteMask));
            const __m128i sums = _mm_hadd_epi32(_mm_madd_epi16(_mm_and_si128(a, lowMask), weights),
                                                _mm_madd_epi16(_mm_and_si128(b, lowMask), weights));
            const __m128i low = _mm_packus_epi16(_mm_packs_epi32(sums, sums), _mm_setzero_si128());
            const __m128i head = _mm_or_si128(_mm_shuffle_epi8(high, highOrder), _mm_shuffle_epi8(low, lowOrder));
            const __m128i tail = _mm_or_si128(_mm_shuffle_epi8(high, highTail), _mm_shuffle_epi8(low, lowTail));
            uint8_t* group = out + x / 4 * 5;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(group), head);
            const int tailBytes = _mm_cvtsi128_si32(tail);
            memcpy(group + 16, &tailBytes, 4);
        }
        for (; x + 4 <= width; x += 4) PackGroup(in + x, out + x / 4 * 5);
    }
}

// Both wider pack loops build each 4-sample group in its own 64-bit lane:
// the four high bytes in the low bytes of its 16-bit lanes and the four low
// pairs gathered into the second byte of the group, so that one byte shuffle
// lays the groups out as 5-byte runs. The low pairs are lifted to bits 8 + 2k
// of lane k (k = 0..3 within the group) and folded down onto lane 0.
#define ZEB_PACK_WEIGHTS 256, 1024, 4096, 16384

// Sixteen samples to twenty bytes. The in-lane shuffle leaves ten bytes at
// the start of the low half and ten at bytes 2..11 of the high half; two
// dword permutes join them. A whole 32-byte store runs 12 bytes past the
// group, into bytes the next group writes; the line's last group stores its
// 20 bytes alone, so the fill bytes stay as they are and packing in place
// never overtakes its source.
__attribute__((target("avx2"))) void PackAvx2(const uint16_t* src, int width, int height, size_t stride,
                                               uint8_t* dst) {
    const __m256i byteMask = _mm256_set1_epi16(0xFF);
    const __m256i three = _mm256_set1_epi16(3);
    const __m256i weights = _mm256_setr_epi16(ZEB_PACK_WEIGHTS, ZEB_PACK_WEIGHTS, ZEB_PACK_WEIGHTS, ZEB_PACK_WEIGHTS);
    const char z = static_cast<char>(0x80);
    const __m256i order = _mm256_setr_epi8(0, 2, 4, 6, 1, 8, 10, 12, 14, 9, z, z, z, z, z, z,  //
                                           z, z, 0, 2, 4, 6, 1, 8, 10, 12, 14, 9, z, z, z, z);
    const __m256i joined = _mm256_setr_epi32(0, 1, 2, 5, 6, 7, 3, 3);
    const __m256i spilled = _mm256_setr_epi32(3, 3, 4, 3, 3, 3, 3, 3);
    for (int y = 0; y < height; ++y) {
        const uint16_t* in = src + static_cast<size_t>(width) * y;
        uint8_t* out = dst + stride * y;
        int x = 0;
        for (; x + 16 <= width; x += 16) {
            const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x));
            const __m256i high = _mm256_and_si256(_mm256_srli_epi16(p, 2), byteMask);
            __m256i low = _mm256_mullo_epi16(_mm256_and_si256(p, three), weights);
            low = _mm256_or_si256(low, _mm256_srli_epi64(low, 16));
            low = _mm256_or_si256(low, _mm256_srli_epi64(low, 32));
            const __m256i halves = _mm256_shuffle_epi8(_mm256_or_si256(high, low), order);
            const __m256i groups = _mm256_or_si256(_mm256_permutevar8x32_epi32(halves, joined),
                                                   _mm256_permutevar8x32_epi32(halves, spilled));
            uint8_t* group = out + x / 4 * 5;
            if (x + 32 <= width) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(group), groups);
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(group), _mm256_castsi256_si128(groups));
                const int last = _mm_cvtsi128_si32(_mm256_extracti128_si256(groups, 1));
                memcpy(group + 16, &last, 4);
            }
        }
        for (; x + 4 <= width; x += 4) PackGroup(in + x, out + x / 4 * 5);
    }
    _mm256_zeroupper();
}

// GCC 12's AVX-512 intrinsics start from an undefined register and warn
// about it at -O3.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// Thirty-two samples to forty bytes with one byte permute across the whole
// register. As in the AVX2 loop, a full store runs into the next group's
// bytes and the line's last group is stored under a 40-byte mask.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void PackAvx512Vbmi(const uint16_t* src, int width,
                                                                          int height, size_t stride,
                                                                          uint8_t* dst) {
    alignas(64) static const uint16_t kWeights[32] = {ZEB_PACK_WEIGHTS, ZEB_PACK_WEIGHTS, ZEB_PACK_WEIGHTS,
                                                       ZEB_PACK_WEIGHTS, ZEB_PACK_WEIGHTS, ZEB_PACK_WEIGHTS,
                                                       ZEB_PACK_WEIGHTS, ZEB_PACK_WEIGHTS};
    alignas(64) static const uint8_t kOrder[64] = {
        0,  2,  4,  6,  1,  8,  10, 12, 14, 9,  16, 18, 20, 22, 17, 24, 26, 28, 30, 25, 32, 34,
        36, 38, 33, 40, 42, 44, 46, 41, 48, 50, 52, 54, 49, 56, 58, 60, 62, 57, 0,  0,  0,  0};
    const __m512i byteMask = _mm512_set1_epi16(0xFF);
    const __m512i three = _mm512_set1_epi16(3);
    const __m512i weights = _mm512_load_si512(kWeights);
    const __m512i order = _mm512_load_si512(kOrder);
    const __mmask64 lastGroups = (__mmask64{1} << 40) - 1;
    for (int y = 0; y < height; ++y) {
        const uint16_t* in = src + static_cast<size_t>(width) * y;
        uint8_t* out = dst + stride * y;
        int x = 0;
        for (; x + 32 <= width; x += 32) {
            const __m512i p = _mm512_loadu_si512(in + x);
            const __m512i high = _mm512_and_si512(_mm512_srli_epi16(p, 2), byteMask);
            __m512i low = _mm512_mullo_epi16(_mm512_and_si512(p, three), weights);
            low = _mm512_or_si512(low, _mm512_srli_epi64(low, 16));
            low = _mm512_or_si512(low, _mm512_srli_epi64(low, 32));
            const __m512i groups = _mm512_permutexvar_epi8(order, _mm512_or_si512(high, low));
            uint8_t* group = out + x / 4 * 5;
            if (x + 64 <= width) {
                _mm512_storeu_si512(group, groups);
            } else {
                _mm512_mask_storeu_epi8(group, lastGroups, groups);
            }
        }
        for (; x + 4 <= width; x += 4) PackGroup(in + x, out + x / 4 * 5);
    }
    _mm256_zeroupper();
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Eight output samples of one line from sixteen samples of each of its two
// source lines: pairs of 32-bit lanes hold the two samples of each site.
__attribute__((target("ssse3"))) inline __m128i BinEight(const uint16_t* top, const uint16_t* bottom) {
    const __m128i a = _mm_add_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom)));
    const __m128i b = _mm_add_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top + 8)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + 8)));
    const __m128 fa = _mm_castsi128_ps(a), fb = _mm_castsi128_ps(b);
    const __m128i even = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_srli_epi16(_mm_add_epi16(even, odd), 2);
}

// Columns `from` to `to` (in steps of eight) of the two output lines of a band.
__attribute__((target("ssse3"))) int BinBandColumnsSsse3(const uint16_t* band, size_t width, uint16_t* out,
                                                          uint16_t* next, int from, int to) {
    const uint16_t *r0 = band, *r1 = band + width, *r2 = band + 2 * width, *r3 = band + 3 * width;
    int ox = from;
    for (; ox + 8 <= to; ox += 8) {
        const int at = 2 * ox;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ox), BinEight(r0 + at, r2 + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(next + ox), BinEight(r1 + at, r3 + at));
    }
    return ox;
}

int BinBandSsse3(const uint16_t* band, size_t width, uint16_t* out, int outW) {
    return BinBandColumnsSsse3(band, width, out, out + outW, 0, outW);
}

// Sixteen output samples from thirty-two of each of two source lines.
__attribute__((target("avx2"))) inline __m256i BinSixteen(const uint16_t* t, const uint16_t* b) {
    const __m256i first = _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
    const __m256i second = _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + 16)),
                                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 16)));
    const __m256 fa = _mm256_castsi256_ps(first), fb = _mm256_castsi256_ps(second);
    const __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
    // In-lane shuffles leave the 64-bit quarters as first.lo, second.lo, first.hi, second.hi.
    const __m256i sums = _mm256_srli_epi16(_mm256_add_epi16(even, odd), 2);
    return _mm256_permute4x64_epi64(sums, _MM_SHUFFLE(3, 1, 2, 0));
}

__attribute__((target("avx2"))) int BinBandAvx2(const uint16_t* band, size_t width, uint16_t* out, int outW) {
    const uint16_t *r0 = band, *r1 = band + width, *r2 = band + 2 * width, *r3 = band + 3 * width;
    uint16_t* next = out + outW;
    int ox = 0;
    for (; ox + 16 <= outW; ox += 16) {
        const int at = 2 * ox;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + ox), BinSixteen(r0 + at, r2 + at));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(next + ox), BinSixteen(r1 + at, r3 + at));
    }
    // The compiler does not clear the upper register halves before this call.
    // Left dirty, every legacy SSE instruction that runs afterwards on this
    // thread (the tail below, and any other code in the HAL's process) pays a
    // merge penalty: measured as a threefold slowdown of unrelated code.
    _mm256_zeroupper();
    return BinBandColumnsSsse3(band, width, out, next, ox, outW);
}

void BinSsse3(const uint16_t* src, int width, int height, int factor, uint16_t* dst) {
    if (factor != 2) return BinScalar(src, width, height, factor, dst);
    BinBandsByTwo(src, width, height, dst, BinBandSsse3);
}

void BinAvx2(const uint16_t* src, int width, int height, int factor, uint16_t* dst) {
    if (factor != 2) return BinScalar(src, width, height, factor, dst);
    BinBandsByTwo(src, width, height, dst, BinBandAvx2);
}

#endif  // ZEB_RAW_X86

#ifdef ZEB_RAW_NEON

// Eight pixels from ten bytes: a table lookup gathers each pixel's high byte
// and its group's low-bits byte, a shift per lane brings its two low bits down.
size_t UnpackLineNeon(const uint8_t* line, size_t groupBytes, uint16_t* out) {
    const uint8x16_t highIndex = {0, 1, 2, 3, 5, 6, 7, 8, 255, 255, 255, 255, 255, 255, 255, 255};
    const uint8x16_t lowIndex = {4, 4, 4, 4, 9, 9, 9, 9, 255, 255, 255, 255, 255, 255, 255, 255};
    const int16x8_t shifts = {0, -2, -4, -6, 0, -2, -4, -6};
    size_t offset = 0;
    for (; offset + 16 <= groupBytes; offset += 10) {
        const uint8x16_t bytes = vld1q_u8(line + offset);
        const uint16x8_t high = vshlq_n_u16(vmovl_u8(vget_low_u8(vqtbl1q_u8(bytes, highIndex))), 2);
        const uint16x8_t lowBytes = vmovl_u8(vget_low_u8(vqtbl1q_u8(bytes, lowIndex)));
        const uint16x8_t low = vandq_u16(vshlq_u16(lowBytes, shifts), vdupq_n_u16(3));
        vst1q_u16(out + offset / 5 * 4, vorrq_u16(high, low));
    }
    return offset;
}

void UnpackNeon(const uint8_t* src, int width, int height, size_t stride, uint16_t* dst) {
    UnpackLines(src, width, height, stride, dst, UnpackLineNeon);
}

// Eight groups (32 samples) to forty bytes. The de-interleaving load gives the
// first, second, third and fourth sample of each group in a vector of its own;
// a three-table lookup lays the high bytes and the low-bits bytes out in group
// order. Everything is loaded before the stores, so the loop may run in place.
void PackNeon(const uint16_t* src, int width, int height, size_t stride, uint8_t* dst) {
    // Output byte k: group k / 5, place k % 5; high bytes of place p sit at
    // table bytes 8p..8p+7, the low-bits bytes at 32..39.
    const uint8x16_t order0 = {0, 8, 16, 24, 32, 1, 9, 17, 25, 33, 2, 10, 18, 26, 34, 3};
    const uint8x16_t order1 = {11, 19, 27, 35, 4, 12, 20, 28, 36, 5, 13, 21, 29, 37, 6, 14};
    const uint8x8_t order2 = {22, 30, 38, 7, 15, 23, 31, 39};
    const uint16x8_t three = vdupq_n_u16(3);
    for (int y = 0; y < height; ++y) {
        const uint16_t* in = src + static_cast<size_t>(width) * y;
        uint8_t* out = dst + stride * y;
        int x = 0;
        for (; x + 32 <= width; x += 32) {
            const uint16x8x4_t p = vld4q_u16(in + x);
            const uint16x8_t low01 = vorrq_u16(vandq_u16(p.val[0], three), vshlq_n_u16(vandq_u16(p.val[1], three), 2));
            const uint16x8_t low23 = vorrq_u16(vshlq_n_u16(vandq_u16(p.val[2], three), 4),
                                               vshlq_n_u16(vandq_u16(p.val[3], three), 6));
            const uint16x8_t low = vorrq_u16(low01, low23);
            uint8x16x3_t table;
            table.val[0] = vcombine_u8(vshrn_n_u16(p.val[0], 2), vshrn_n_u16(p.val[1], 2));
            table.val[1] = vcombine_u8(vshrn_n_u16(p.val[2], 2), vshrn_n_u16(p.val[3], 2));
            table.val[2] = vcombine_u8(vmovn_u16(low), vdup_n_u8(0));
            uint8_t* group = out + x / 4 * 5;
            vst1q_u8(group, vqtbl3q_u8(table, order0));
            vst1q_u8(group + 16, vqtbl3q_u8(table, order1));
            vst1_u8(group + 32, vget_low_u8(vqtbl3q_u8(table, vcombine_u8(order2, vdup_n_u8(255)))));
        }
        for (; x + 4 <= width; x += 4) PackGroup(in + x, out + x / 4 * 5);
    }
}

// Eight output samples of one line from sixteen samples of each of its two
// source lines: pairs of 32-bit lanes hold the two samples of each site, and
// unzipping the even and odd lanes lines them up.
int BinLineNeon(const uint16_t* top, const uint16_t* bottom, uint16_t* out, int outW) {
    int ox = 0;
    for (; ox + 8 <= outW; ox += 8) {
        const uint16_t* t = top + 2 * ox;
        const uint16_t* b = bottom + 2 * ox;
        const uint32x4_t first = vreinterpretq_u32_u16(vaddq_u16(vld1q_u16(t), vld1q_u16(b)));
        const uint32x4_t second = vreinterpretq_u32_u16(vaddq_u16(vld1q_u16(t + 8), vld1q_u16(b + 8)));
        const uint16x8_t sum = vaddq_u16(vreinterpretq_u16_u32(vuzp1q_u32(first, second)),
                                         vreinterpretq_u16_u32(vuzp2q_u32(first, second)));
        vst1q_u16(out + ox, vshrq_n_u16(sum, 2));
    }
    return ox;
}

void BinNeon(const uint16_t* src, int width, int height, int factor, uint16_t* dst) {
    if (factor != 2) return BinScalar(src, width, height, factor, dst);
    BinByTwo(src, width, height, dst, BinLineNeon);
}

#endif  // ZEB_RAW_NEON

struct Kernels {
    KernelPath path;
    void (*unpack)(const uint8_t*, int, int, size_t, uint16_t*);
    void (*pack)(const uint16_t*, int, int, size_t, uint8_t*);
    void (*bin)(const uint16_t*, int, int, int, uint16_t*);
};

const Kernels kScalar{KernelPath::Scalar, UnpackScalar, PackScalar, BinScalar};
#ifdef ZEB_RAW_X86
const Kernels kSsse3{KernelPath::Ssse3, UnpackSsse3, PackSsse3, BinSsse3};
const Kernels kAvx2{KernelPath::Avx2, UnpackAvx2, PackAvx2, BinAvx2};
// Unpacking and binning gain nothing from the wider registers: both run at
// memory speed already.
const Kernels kAvx512Vbmi{KernelPath::Avx512Vbmi, UnpackAvx2, PackAvx512Vbmi, BinAvx2};
#endif
#ifdef ZEB_RAW_NEON
const Kernels kNeon{KernelPath::Neon, UnpackNeon, PackNeon, BinNeon};
#endif

const Kernels* KernelsFor(KernelPath path) {
    switch (path) {
        case KernelPath::Scalar: return &kScalar;
#ifdef ZEB_RAW_X86
        case KernelPath::Ssse3: return __builtin_cpu_supports("ssse3") ? &kSsse3 : nullptr;
        case KernelPath::Avx2: return __builtin_cpu_supports("avx2") ? &kAvx2 : nullptr;
        case KernelPath::Avx512Vbmi:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512bw") &&
                           __builtin_cpu_supports("avx512vbmi")
                       ? &kAvx512Vbmi
                       : nullptr;
#endif
#ifdef ZEB_RAW_NEON
        case KernelPath::Neon: return &kNeon;
#endif
        default: return nullptr;
    }
}

const Kernels* Best() {
    for (KernelPath path : {KernelPath::Avx512Vbmi, KernelPath::Avx2, KernelPath::Neon, KernelPath::Ssse3}) {
        if (const Kernels* kernels = KernelsFor(path)) return kernels;
    }
    return &kScalar;
}

std::atomic<const Kernels*> gActive{nullptr};

const Kernels& Active() {
    const Kernels* kernels = gActive.load(std::memory_order_acquire);
    if (!kernels) {
        kernels = Best();
        gActive.store(kernels, std::memory_order_release);
    }
    return *kernels;
}

}  // namespace

const char* KernelPathName(KernelPath path) {
    switch (path) {
        case KernelPath::Scalar: return "scalar";
        case KernelPath::Ssse3: return "ssse3";
        case KernelPath::Avx2: return "avx2";
        case KernelPath::Avx512Vbmi: return "avx512vbmi";
        case KernelPath::Neon: return "neon";
    }
    return "unknown";
}

bool KernelPathAvailable(KernelPath path) { return KernelsFor(path) != nullptr; }

std::vector<KernelPath> AvailableKernelPaths() {
    std::vector<KernelPath> paths;
    for (KernelPath path :
         {KernelPath::Scalar, KernelPath::Ssse3, KernelPath::Avx2, KernelPath::Avx512Vbmi, KernelPath::Neon}) {
        if (KernelPathAvailable(path)) paths.push_back(path);
    }
    return paths;
}

KernelPath ActiveKernelPath() { return Active().path; }

bool SetKernelPath(KernelPath path) {
    const Kernels* kernels = KernelsFor(path);
    if (!kernels) return false;
    gActive.store(kernels, std::memory_order_release);
    return true;
}

void ResetKernelPath() { gActive.store(Best(), std::memory_order_release); }

void UnpackRaw10(const uint8_t* src, int width, int height, size_t stride, uint16_t* dst) {
    if (!src || !dst || width < 1 || height < 1) return;
    Active().unpack(src, width, height, stride, dst);
}

void PackRaw10(const uint16_t* src, int width, int height, size_t stride, uint8_t* dst) {
    if (!src || !dst || width < 4 || height < 1) return;
    Active().pack(src, width, height, stride, dst);
}

void BinBayer(const uint16_t* src, int width, int height, int factor, uint16_t* dst) {
    if (!src || !dst || factor < 1 || width / factor < 2 || height / factor < 2) return;
    // Output quads are whole: an odd output size would read past the source.
    if ((width / factor) % 2 != 0 || (height / factor) % 2 != 0) return;
    Active().bin(src, width, height, factor, dst);
}

bool BinPackedRaw10(const uint8_t* src, int width, int height, size_t stride, int factor, uint8_t* dst,
                    size_t dstStride) {
    if (!src || !dst || factor < 1 || width < 1 || height < 1 || stride < GroupBytes(width)) return false;
    const int outW = width / factor, outH = height / factor;
    if (outW < 4 || outW % 4 != 0 || outH < 2 || outH % 2 != 0 || dstStride < GroupBytes(outW)) return false;
    const Kernels& kernels = Active();
    // A band of 2 x factor source lines gives two output lines: its samples
    // stay in cache from unpacking through packing.
    const int bandLines = 2 * factor;
    std::vector<uint16_t> band(static_cast<size_t>(width) * bandLines);
    std::vector<uint16_t> binned(static_cast<size_t>(outW) * 2);
    const size_t lineBytes = GroupBytes(outW);
    for (int oy = 0; oy < outH; oy += 2) {
        kernels.unpack(src + stride * static_cast<size_t>(oy) * factor, width, bandLines, stride, band.data());
        kernels.bin(band.data(), width, bandLines, factor, binned.data());
        uint8_t* out = dst + dstStride * static_cast<size_t>(oy);
        kernels.pack(binned.data(), outW, 2, dstStride, out);
        if (dstStride > lineBytes) {
            memset(out + lineBytes, 0, dstStride - lineBytes);
            memset(out + dstStride + lineBytes, 0, dstStride - lineBytes);
        }
    }
    return true;
}

void RightShift4(uint16_t* samples, size_t count) {
    // Simple enough that the compiler vectorises it on every target.
    for (size_t i = 0; i < count; ++i) samples[i] = static_cast<uint16_t>(samples[i] >> 4);
}

void RealignLines(uint8_t* buffer, size_t lineBytes, size_t stride, int height) {
    if (!buffer || height < 1 || stride < lineBytes) return;
    RealignScalar(buffer, lineBytes, stride, height);
}

}  // namespace raw
}  // namespace ZEB
