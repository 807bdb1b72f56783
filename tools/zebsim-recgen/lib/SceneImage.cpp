// The synthetic scene every generated frame shows, as the sensor's raw mosaic
// and as the reference NV21 image, and the frame tag its first pixels carry.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "frame/RawKernels.h"
#include "frame/ZEBFrame.h"
#include "zebsim-recgen/lib/GeneratorParts.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"
#include "zebsim-recgen/lib/SensorLook.h"

namespace zeb_recgen {
namespace {

using parts::Filled;
using parts::kSites;
using parts::SizedFor;

constexpr uint16_t kRawTagHead = 0x2A5;
constexpr uint16_t kRawTagTail = 0x15A;

struct Rgb {
    int r, g, b;
};

// A colour chart of 24 patches, 10-bit.
const Rgb kChart[24] = {
    {460, 330, 270}, {780, 580, 500}, {390, 480, 620}, {360, 430, 260}, {530, 510, 700}, {420, 760, 680},
    {860, 480, 180}, {290, 360, 680}, {770, 340, 390}, {370, 240, 420}, {620, 750, 240}, {880, 640, 170},
    {200, 250, 590}, {280, 580, 280}, {700, 190, 220}, {920, 800, 120}, {750, 330, 590}, {120, 520, 660},
    {960, 960, 950}, {780, 780, 780}, {610, 610, 610}, {430, 430, 430}, {260, 260, 260}, {110, 110, 110},
};

// The scene at raw pixel (x, y): gradients, the chart in the middle, and a
// bright yellow disc that moves from frame to frame.
class Scene {
public:
    Scene(int width, int height, int serial)
        : mW(std::max(width, 1)), mH(std::max(height, 1)),
          mDiscX((mW / 8 + static_cast<int64_t>(serial) * mW / 10) % mW),
          mDiscY(mH / 3 + (serial % 3) * mH / 6), mRadius(std::max(mH / 12, 1)) {}

    Rgb At(int x, int y) const {
        const int64_t dx = x - mDiscX, dy = y - mDiscY;
        if (dx * dx + dy * dy < static_cast<int64_t>(mRadius) * mRadius) return {1000, 880, 420};
        const int chartX0 = mW / 4, chartY0 = mH / 4;
        if (x >= chartX0 && x < chartX0 + mW / 2 && y >= chartY0 && y < chartY0 + mH / 2) {
            const int64_t cx = static_cast<int64_t>(x - chartX0) * 6 / std::max(mW / 2, 1);
            const int64_t cy = static_cast<int64_t>(y - chartY0) * 4 / std::max(mH / 2, 1);
            // A dark border between patches.
            const int64_t inX = static_cast<int64_t>(x - chartX0) * 6 % std::max(mW / 2, 1);
            const int64_t inY = static_cast<int64_t>(y - chartY0) * 4 % std::max(mH / 2, 1);
            if (inX * 12 < mW / 2 || inY * 12 < mH / 2) return {40, 40, 40};
            return kChart[std::min<int64_t>(cy, 3) * 6 + std::min<int64_t>(cx, 5)];
        }
        return {static_cast<int>(80 + int64_t{700} * x / mW), static_cast<int>(120 + int64_t{500} * (x + y) / (mW + mH)),
                static_cast<int>(80 + int64_t{700} * y / mH)};
    }

private:
    int mW, mH;
    int64_t mDiscX, mDiscY;
    int mRadius;
};

int Channel(const Rgb& c, int channel) { return channel == 0 ? c.r : channel == 1 ? c.g : c.b; }

}  // namespace

namespace parts {

std::vector<uint8_t> PackedLines(const std::vector<uint16_t>& samples, int width, int height) {
    const size_t line = static_cast<size_t>(ZEB::ZEBFrame::PackedLineBytes(width));
    std::vector<uint8_t> packed(line * height, 0);
    ZEB::raw::PackRaw10(samples.data(), width / 4 * 4, height, line, packed.data());
    return packed;
}

}  // namespace parts

std::vector<uint16_t> RenderBayer(const Options& given, int serial) {
    const Options options = SizedFor(Filled(given), serial);
    const int width = std::max(options.width, 0), height = std::max(options.height, 0);
    std::vector<uint16_t> samples(static_cast<size_t>(width) * height);
    const Scene scene(width, height, serial);
    const int* sites = kSites[static_cast<uint32_t>(options.pattern) & 3];
    const SensorLook look(options, serial);
    for (int y = 0; y < height; ++y) {
        uint16_t* line = &samples[static_cast<size_t>(y) * width];
        for (int x = 0; x < width; ++x) {
            const Rgb colour = scene.At(x, y);
            // A little fixed-pattern texture so flat areas are not flat.
            const int grain = ((x * 7 + y * 13) & 7) - 4;
            const int site = (y & 1) * 2 + (x & 1);
            line[x] = look.Raw(Channel(colour, sites[site]) + grain, site, x, y);
        }
    }
    if (width >= 4 && height >= 1) {
        samples[0] = kRawTagHead;
        samples[1] = static_cast<uint16_t>(serial & 0x3FF);
        samples[2] = static_cast<uint16_t>((serial >> 10) & 0x3FF);
        samples[3] = kRawTagTail;
    }
    return samples;
}

std::vector<uint8_t> RenderPackedRaw(const Options& given, int serial) {
    const Options options = SizedFor(Filled(given), serial);
    return parts::PackedLines(RenderBayer(options, serial), std::max(options.width, 0), std::max(options.height, 0));
}

std::vector<uint8_t> RenderNv21(const Options& given, int serial) {
    const Options options = SizedFor(Filled(given), serial);
    const int width = std::max(options.yuvWidth, 0), height = std::max(options.yuvHeight, 0);
    const size_t lumaBytes = static_cast<size_t>(width) * height;
    std::vector<uint8_t> nv21(lumaBytes * 3 / 2, 128);
    const Scene scene(options.width, options.height, serial);
    const SensorLook look(options, serial);
    auto sample = [&](int x, int y) {
        const Rgb c = scene.At(static_cast<int>(int64_t{x} * options.width / std::max(width, 1)),
                               static_cast<int>(int64_t{y} * options.height / std::max(height, 1)));
        const int in[3] = {c.r, c.g, c.b};
        int out[3];
        look.Reference(in, out);
        return Rgb{out[0], out[1], out[2]};
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb c = sample(x, y);
            nv21[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>((77 * c.r + 150 * c.g + 29 * c.b) >> 10);
        }
    }
    for (int y = 0; y + 1 < height; y += 2) {
        for (int x = 0; x + 1 < width; x += 2) {
            const Rgb c = sample(x, y);
            const size_t at = lumaBytes + static_cast<size_t>(y / 2) * width + x;
            nv21[at] = static_cast<uint8_t>(std::clamp(((128 * c.r - 107 * c.g - 21 * c.b) >> 10) + 128, 0, 255));
            nv21[at + 1] = static_cast<uint8_t>(std::clamp(((-43 * c.r - 85 * c.g + 128 * c.b) >> 10) + 128, 0, 255));
        }
    }
    return nv21;
}

int DecodeRawTag(const uint8_t* packedLine) {
    if (!packedLine) return -1;
    uint16_t pixels[4];
    ZEB::raw::UnpackRaw10(packedLine, 4, 1, 5, pixels);
    if (pixels[0] != kRawTagHead || pixels[3] != kRawTagTail) return -1;
    return pixels[1] | pixels[2] << 10;
}

}  // namespace zeb_recgen
