#pragma once
// Value loops of the trigger engine's interpolation. Each value follows the
// scalar formula exactly, multiply and add rounded on their own, so the line
// a query writes has the same bits on every processor and whichever vector
// path (SSE2, AVX2, NEON) ran; the file is built without fused multiply-adds.
#include <cstddef>
#include <cstdint>

namespace ZEB {
namespace trigger_detail {

// out[j] = low[j] + offset * ((high[j] - low[j]) / gap); equal values keep
// their value, a gap of 0 gives `high`.
void InterpolateFloats(const float* high, const float* low, size_t count, float gap, float offset, float* out);
// The same for integers with the step truncated toward zero:
// low[j] + offset * trunc((high[j] - low[j]) / span), saturated to int32; a
// span of 0 gives `high`.
void InterpolateInts(const int32_t* high, const int32_t* low, size_t count, int32_t span, float offset,
                     int32_t* out);

}  // namespace trigger_detail
}  // namespace ZEB
