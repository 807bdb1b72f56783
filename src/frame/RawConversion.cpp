// Raw conversions of a frame: packed 10-bit to 16-bit, Bayer binning and back
// to packed 10-bit, on the mapped addresses of the frame's buffers. Every
// conversion checks the buffers it is given against the bytes it would touch.
#include <algorithm>
#include <cstring>
#include <vector>

#include "frame/RawKernels.h"
#include "frame/ZEBFrame.h"
#include "platform/Log.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEBFrame";

inline uint64_t Product(int64_t a, int64_t b) { return a > 0 && b > 0 ? static_cast<uint64_t>(a * b) : 0; }

}  // namespace

bool ZEBFrame::UnpackSensorRaw(int width, int height, int stride, const BufferHandle& src, const BufferHandle& dst) {
    const uint8_t* from = BufferAddress(src);
    uint8_t* to = BufferAddress(dst);
    if (!from || !to || width < 1 || height < 1 || stride < PackedLineBytes(width)) return false;
    if (Product(height, stride) > BufferBytes(src) || Product(width, height) * 2 > BufferBytes(dst)) return false;
    raw::UnpackRaw10(from, width, height, static_cast<size_t>(stride), reinterpret_cast<uint16_t*>(to));
    return true;
}

bool ZEBFrame::BinningSensorRaw(int factor, const BufferHandle& src, const BufferHandle& dst, int width, int height) {
    const uint8_t* from = BufferAddress(src);
    uint8_t* to = BufferAddress(dst);
    if (!from || !to || !BinningFactorUsable(width, height, factor)) return false;
    if (Product(width, height) * 2 > BufferBytes(src) ||
        Product(width / factor, height / factor) * 2 > BufferBytes(dst)) {
        return false;
    }
    raw::BinBayer(reinterpret_cast<const uint16_t*>(from), width, height, factor, reinterpret_cast<uint16_t*>(to));
    return true;
}

bool ZEBFrame::PackSensorRaw(const BufferHandle& src, const BufferHandle& dst, int width, int height, int stride) {
    const uint8_t* from = BufferAddress(src);
    uint8_t* to = BufferAddress(dst);
    if (!from || !to || width < 4 || width % 4 != 0 || height < 1 || stride < PackedLineBytes(width)) return false;
    if (Product(width, height) * 2 > BufferBytes(src) ||
        Product(height - 1, stride) + static_cast<uint64_t>(PackedLineBytes(width)) > BufferBytes(dst)) {
        return false;
    }
    // In place, a destination line must not start past its source line; a
    // stride that wide for so narrow an image packs from a copy.
    std::vector<uint16_t> copy;
    const uint16_t* samples = reinterpret_cast<const uint16_t*>(from);
    if (from == to && stride > 2 * width) {
        copy.assign(samples, samples + Product(width, height));
        samples = copy.data();
    }
    raw::PackRaw10(samples, width, height, static_cast<size_t>(stride), to);
    return true;
}

bool ZEBFrame::RightShift(const BufferHandle& buffer, int width, int height) {
    uint8_t* samples = BufferAddress(buffer);
    if (!samples || width < 1 || height < 1 || Product(width, height) * 2 > BufferBytes(buffer)) return false;
    raw::RightShift4(reinterpret_cast<uint16_t*>(samples), Product(width, height));
    return true;
}

bool ZEBFrame::BinningFactorUsable(int width, int height, int factor) {
    if (factor < 1 || width < 1 || height < 1) return false;
    const int binnedWidth = width / factor, binnedHeight = height / factor;
    // Whole Bayer quads, and whole 4-pixel groups when packed.
    return binnedWidth >= 4 && binnedWidth % 4 == 0 && binnedHeight >= 2 && binnedHeight % 2 == 0;
}

namespace {

// Makes mBinningRawBuf hold at least the 16-bit binned image and its packed
// lines; false when no buffer record is left.
bool ObtainBinnedBuffer(const std::shared_ptr<ZEBFrame>& frame, int binnedWidth, int binnedHeight, int binnedStride,
                        BufferInfo* (ZEBFrame::*takeRecord)()) {
    const int requestWidth = std::max(binnedWidth, (binnedStride + 1) / 2);
    const size_t needed = std::max(Product(binnedWidth, binnedHeight) * 2, Product(binnedHeight, binnedStride));
    if (BufferBytes(frame->mBinningRawBuf) >= needed) return true;
    // Repeated sends reuse the frame's binned record (its old buffer goes
    // back first) as long as nobody else holds the old handle.
    BufferInfo* record = nullptr;
    if (frame->mBinningRawBuf && frame->mBinningRawBuf.use_count() == 1) {
        record = frame->mBinningRawBuf.get();
        frame->mBinningRawBuf.reset();
    } else {
        record = ((*frame).*takeRecord)();
    }
    if (!record) return false;
    auto pool = std::make_shared<ZEBMemoryPool<BufferInfo>>(ZEBMemoryPool<BufferInfo>::Manager());
    pool->AquireMemory(requestWidth, binnedHeight, 3, record);
    frame->mBinningRawBuf = ZEBMemoryPool<BufferInfo>::MakeHandle(pool, record, frame->mBufferInfo);
    return true;
}

}  // namespace

bool ZEBFrame::BinnedSizeUsable(const std::shared_ptr<ZEBFrame>& frame, int factor, int binnedStride) {
    if (!frame) return false;
    const int width = frame->mRawWidth, height = frame->mRawHeight;
    if (!BinningFactorUsable(width, height, factor)) {
        ZLOG(kTag, 1, "%d, %s: Binning factor %d does not fit raw size [%d, %d], nothing binned", factor, width,
             height);
        return false;
    }
    if (binnedStride < PackedLineBytes(width / factor)) {
        ZLOG(kTag, 1, "%d, %s: Stride %d is shorter than a packed line of %d pixels", binnedStride, width / factor);
        return false;
    }
    return true;
}

bool ZEBFrame::CreateBinningFrame(const std::shared_ptr<ZEBFrame>& frame, int factor, int binnedStride) {
    if (!BinnedSizeUsable(frame, factor, binnedStride)) return false;
    const int width = frame->mRawWidth, height = frame->mRawHeight;
    const int binnedWidth = width / factor, binnedHeight = height / factor;
    // The buffer holds the 16-bit image first and then the packed lines.
    if (!ObtainBinnedBuffer(frame, binnedWidth, binnedHeight, binnedStride, &ZEBFrame::TakeBufferRecord)) return false;
    return frame->BinningSensorRaw(factor, frame->mRawBuf, frame->mBinningRawBuf, width, height) &&
           frame->PackSensorRaw(frame->mBinningRawBuf, frame->mBinningRawBuf, binnedWidth, binnedHeight,
                                binnedStride);
}

bool ZEBFrame::CreateBinningFrame(const std::shared_ptr<ZEBFrame>& frame, int factor, int binnedStride, int stride) {
    if (!BinnedSizeUsable(frame, factor, binnedStride)) return false;
    const int width = frame->mRawWidth, height = frame->mRawHeight;
    const int binnedWidth = width / factor, binnedHeight = height / factor;
    const uint8_t* from = BufferAddress(frame->mMipiRawBuf);
    if (!from || stride < PackedLineBytes(width) ||
        Product(height - 1, stride) + static_cast<uint64_t>(PackedLineBytes(width)) > BufferBytes(frame->mMipiRawBuf)) {
        return false;
    }
    if (!ObtainBinnedBuffer(frame, binnedWidth, binnedHeight, binnedStride, &ZEBFrame::TakeBufferRecord)) return false;
    uint8_t* to = BufferAddress(frame->mBinningRawBuf);
    if (!to || Product(binnedHeight, binnedStride) > BufferBytes(frame->mBinningRawBuf)) return false;
    return raw::BinPackedRaw10(from, width, height, static_cast<size_t>(stride), factor, to,
                               static_cast<size_t>(binnedStride));
}

}  // namespace ZEB
