#pragma once
// The copy that files a frame into the ring.
#include <cstddef>

namespace ZEB {

// From this size on, copies bypass the caches where the processor allows it.
constexpr size_t kStreamingCopyMin = 256 * 1024;

// Copies `bytes` from `source` to `destination` (not overlapping). A frame is
// filed for another thread and never read again by the filing thread, so a
// large one is written with non-temporal stores on x86-64: megabytes a frame
// would otherwise evict the HAL thread's own data, and writing around the
// caches spares reading every destination line in first.
void StreamingCopy(void* destination, const void* source, size_t bytes);

}  // namespace ZEB
