#include "frame/RawLineRead.h"

#include "core/FileAccess.h"

#include "frame/ZEBFrame.h"
#include "platform/Log.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace ZEB {
namespace {

// Small enough that the lines of a chunk are still in cache when their fill
// bytes are cleared, large enough that a frame takes a few dozen calls.
constexpr size_t kChunkBytes = size_t{256} << 10;

#ifdef IOV_MAX
constexpr size_t kMaxVectors = IOV_MAX;
#else
constexpr size_t kMaxVectors = 1024;
#endif

}  // namespace

int64_t ReadLinesToStride(int fd, int64_t fileBytes, uint8_t* dst, const LineLayout& layout,
                          const std::function<bool()>& stop) {
    const size_t line = layout.lineBytes, stride = layout.stride, lines = layout.lines;
    if (!dst || line == 0 || stride < line) return -1;
    const uint64_t wanted = std::min<uint64_t>(fileBytes > 0 ? static_cast<uint64_t>(fileBytes) : 0,
                                               static_cast<uint64_t>(line) * lines);
    const size_t chunkLines = std::max<size_t>(1, std::min(kChunkBytes / line, kMaxVectors));
    std::vector<iovec> vectors(std::min<size_t>(chunkLines + 1, kMaxVectors));
    uint64_t done = 0;
    size_t cleared = 0;  // lines whose fill bytes are zeroed
    bool failed = fd < 0;
    while (!failed && done < wanted && !(stop && stop())) {
        size_t count = 0;
        for (uint64_t at = done; count < vectors.size() && at < wanted;) {
            const size_t r = static_cast<size_t>(at / line), offset = static_cast<size_t>(at % line);
            const size_t bytes = static_cast<size_t>(std::min<uint64_t>(line - offset, wanted - at));
            vectors[count++] = {dst + r * stride + offset, bytes};
            at += bytes;
        }
        const ssize_t got = preadv(fd, vectors.data(), static_cast<int>(count), static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failed = true;
        if (got <= 0) break;  // 0: the file ended before its size said
        done += static_cast<uint64_t>(got);
        if (stride > line) {
            for (const size_t whole = static_cast<size_t>(done / line); cleared < whole; ++cleared) {
                memset(dst + cleared * stride + line, 0, stride - line);
            }
        }
    }
    for (size_t r = cleared; r < lines; ++r) {
        const uint64_t start = static_cast<uint64_t>(r) * line;
        const size_t covered = done > start ? static_cast<size_t>(std::min<uint64_t>(done - start, line)) : 0;
        memset(dst + r * stride + covered, 0, stride - covered);
    }
    return failed ? -1 : static_cast<int64_t>(done);
}

bool ZEBFrame::ReadRawToStride(int fd, const char* path, uint64_t fileBytes, const DataFileEntry& row,
                               const std::function<bool()>& stop, bool* complete) {
    const int line = PackedLineBytes(mRawWidth), stride = AlignedStride(mRawWidth);
    if (row.format != DF_MIPI_RAW || !row.mem || mRawHeight < 1 || line < 1 || line == stride ||
        static_cast<uint64_t>(stride) * static_cast<uint64_t>(mRawHeight) > row.size ||
        fileBytes > static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    LineLayout layout;
    layout.lineBytes = static_cast<size_t>(line);
    layout.stride = static_cast<size_t>(stride);
    layout.lines = static_cast<size_t>(mRawHeight);
    const int64_t bytes = static_cast<int64_t>(fileBytes);
    const int64_t placed = ReadLinesToStride(fd, bytes, static_cast<uint8_t*>(row.mem), layout, stop);
    const int64_t expected = std::min<int64_t>(bytes, int64_t{line} * mRawHeight);
    *complete = placed == expected;
    if (!*complete) {
        if (stop && stop()) {
            ZLOG("ZEBFrame", 4, "%d, %s: read of %s stopped after %lld of %lld bytes", files::Escaped(path).c_str(),
                 static_cast<long long>(placed), static_cast<long long>(expected));
        } else {
            ZLOG("ZEBFrame", 1,
                 "%d, %s: read file %s error: %lld of its %lld bytes, the rest zeroed and the row not valid",
                 files::Escaped(path).c_str(), static_cast<long long>(std::max<int64_t>(placed, 0)),
                 static_cast<long long>(expected));
        }
    }
    mRawAtStride = true;
    return true;
}

}  // namespace ZEB
