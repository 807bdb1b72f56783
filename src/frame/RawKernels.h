#pragma once
// Pixel loops of the raw conversions. Each exists as a portable scalar loop and,
// where the processor has them, as SSSE3, AVX2 and AVX-512 VBMI loops (x86-64)
// or a NEON loop (64-bit Arm). The fastest available path is chosen at first use; tests and
// benchmarks may pin one so that every path is exercised.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ZEB {
namespace raw {

enum class KernelPath { Scalar, Ssse3, Avx2, Avx512Vbmi, Neon };

const char* KernelPathName(KernelPath path);
bool KernelPathAvailable(KernelPath path);
std::vector<KernelPath> AvailableKernelPaths();
KernelPath ActiveKernelPath();
// Pins a path; false (and nothing changes) when this processor lacks it.
bool SetKernelPath(KernelPath path);
// Back to the fastest available path.
void ResetKernelPath();

// Packed 10-bit lines (4 pixels in 5 bytes, low bits in the fifth byte) to
// 16-bit samples. Reads `height` lines `stride` bytes apart, decodes `width`
// pixels of each and writes width x height samples, lines back to back; the
// fill bytes past a line's pixels are skipped. Pixels of a partial last group
// (width not a multiple of 4) are decoded when the group lies within the
// stride, else written as 0.
void UnpackRaw10(const uint8_t* src, int width, int height, size_t stride, uint16_t* dst);

// 16-bit samples (lines back to back) to packed 10-bit lines `stride` bytes
// apart; `width` must be a multiple of 4. The fill bytes of each line are left
// as they are. May run in place (dst the same memory as src) when stride is at
// most 2 x width.
void PackRaw10(const uint16_t* src, int width, int height, size_t stride, uint8_t* dst);

// Reduces a width x height Bayer image by `factor` in each direction keeping
// every colour site in place: each output pixel is the mean of the factor x
// factor samples of its own site in its block (for factor 2 the site's four
// samples are summed in 16 bits, as the samples are stored). The output is
// (width / factor) x (height / factor) samples, both even, lines back to back.
void BinBayer(const uint16_t* src, int width, int height, int factor, uint16_t* dst);

// Unpack, BinBayer and PackRaw10 in one pass over bands of 2 x factor lines:
// `height` packed lines `stride` bytes apart become (width / factor) x
// (height / factor) packed lines `dstStride` bytes apart, their fill bytes
// zeroed; the lines are those of the three steps run one after the other.
// False (nothing written) when the binned width is not a whole number of
// 4-pixel groups or the binned height is odd.
bool BinPackedRaw10(const uint8_t* src, int width, int height, size_t stride, int factor, uint8_t* dst,
                    size_t dstStride);

// Every sample becomes sample >> 4.
void RightShift4(uint16_t* samples, size_t count);

// Moves `height` packed lines of `lineBytes` each, stored back to back, to
// `stride` bytes apart within the same buffer (last line first, so nothing is
// overwritten before it moved) and zeroes the fill bytes.
void RealignLines(uint8_t* buffer, size_t lineBytes, size_t stride, int height);

}  // namespace raw
}  // namespace ZEB
