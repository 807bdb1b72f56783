#include "socket/StreamingCopy.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace ZEB {

void StreamingCopy(void* destination, const void* source, size_t bytes) {
#if defined(__x86_64__)
    if (bytes >= kStreamingCopyMin) {
        auto* out = static_cast<uint8_t*>(destination);
        const auto* in = static_cast<const uint8_t*>(source);
        // Streaming stores need a 16-byte aligned destination (SSE2 is part of x86-64).
        const size_t head = (16 - (reinterpret_cast<uintptr_t>(out) & 15)) & 15;
        memcpy(out, in, head);
        size_t done = head;
        for (; done + 64 <= bytes; done += 64) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done + 32));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done + 48));
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + done), a);
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + done + 16), b);
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + done + 32), c);
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + done + 48), d);
        }
        // The stores are weakly ordered: fence them before the frame is filed
        // and a client may read it on another core.
        _mm_sfence();
        memcpy(out + done, in + done, bytes - done);
        return;
    }
#endif
    memcpy(destination, source, bytes);
}

}  // namespace ZEB
