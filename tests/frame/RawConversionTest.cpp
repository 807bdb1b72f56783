// Packed 10-bit, 16-bit and binned raw conversions, on every kernel path the
// processor has, against reference conversions written from the format.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "FrameFixture.h"
#include "frame/RawKernels.h"
#include "frame/ZEBFrame.h"

using namespace ZEB;
using frame_test::KernelPathScope;

namespace {

std::vector<uint16_t> RandomSamples(size_t count, unsigned seed, unsigned range = 1024) {
    std::mt19937 random(seed);
    std::vector<uint16_t> samples(count);
    for (auto& sample : samples) sample = static_cast<uint16_t>(random() % range);
    return samples;
}

// Mean per Bayer site as the format describes it: the 2F x 2F block of each
// output quad, four 64-bit sums by row and column parity.
std::vector<uint16_t> BinReference(const std::vector<uint16_t>& src, int width, int height, int factor) {
    const int outW = width / factor, outH = height / factor;
    std::vector<uint16_t> out(static_cast<size_t>(outW) * outH);
    for (int y = 0; y < outH; y += 2) {
        for (int x = 0; x < outW; x += 2) {
            uint64_t sums[2][2] = {{0, 0}, {0, 0}};
            for (int r = 0; r < 2 * factor; ++r) {
                for (int c = 0; c < 2 * factor; ++c) {
                    sums[r % 2][c % 2] += src[static_cast<size_t>(factor * y + r) * width + factor * x + c];
                }
            }
            for (int r = 0; r < 2; ++r) {
                for (int c = 0; c < 2; ++c) {
                    const uint64_t sum = sums[r][c];
                    out[static_cast<size_t>(y + r) * outW + x + c] =
                        factor == 2 ? static_cast<uint16_t>(static_cast<uint16_t>(sum) >> 2)
                                    : static_cast<uint16_t>(sum / (factor * factor));
                }
            }
        }
    }
    return out;
}

class RawKernelTest : public ::testing::TestWithParam<raw::KernelPath> {
protected:
    void SetUp() override {
        if (!raw::KernelPathAvailable(GetParam())) GTEST_SKIP() << "path not on this processor";
        mScope.reset(new KernelPathScope(GetParam()));
        ASSERT_EQ(raw::ActiveKernelPath(), GetParam());
    }
    std::unique_ptr<KernelPathScope> mScope;
};

TEST_P(RawKernelTest, FiveByteGroupUnpacksAndPacksBothWays) {
    // The same group over a whole line, so the vector loops see it too.
    const uint8_t group[5] = {0xFF, 0x00, 0x80, 0x01, 0xE4};
    const int width = 96;
    std::vector<uint8_t> packed(width / 4 * 5);
    for (size_t i = 0; i < packed.size(); ++i) packed[i] = group[i % 5];
    std::vector<uint16_t> samples(width);
    raw::UnpackRaw10(packed.data(), width, 1, packed.size(), samples.data());
    for (int x = 0; x < width; x += 4) {
        ASSERT_EQ(samples[x], 1020);
        ASSERT_EQ(samples[x + 1], 1);
        ASSERT_EQ(samples[x + 2], 514);
        ASSERT_EQ(samples[x + 3], 7);
    }
    std::vector<uint8_t> repacked(packed.size(), 0);
    raw::PackRaw10(samples.data(), width, 1, repacked.size(), repacked.data());
    EXPECT_EQ(repacked, packed);
}

TEST_P(RawKernelTest, RoundTripsAreByteExactForManyWidthsAndStrides) {
    for (int width : {4, 8, 36, 44, 64, 100, 4000, 4160}) {
        for (bool aligned : {false, true}) {
            const int height = 3;
            const size_t stride = aligned ? ZEBFrame::AlignedStride(width) : ZEBFrame::PackedLineBytes(width);
            SCOPED_TRACE(testing::Message() << "width " << width << " stride " << stride);
            const auto samples = RandomSamples(static_cast<size_t>(width) * height, width);
            const auto expected = frame_test::PackReference(samples, width, height, stride);
            std::vector<uint8_t> packed(stride * height, 0);
            raw::PackRaw10(samples.data(), width, height, stride, packed.data());
            ASSERT_EQ(packed, expected);
            std::vector<uint16_t> unpacked(samples.size() + 32, 0xBEEF);
            raw::UnpackRaw10(packed.data(), width, height, stride, unpacked.data());
            ASSERT_TRUE(std::equal(samples.begin(), samples.end(), unpacked.begin()));
            for (size_t i = samples.size(); i < unpacked.size(); ++i) ASSERT_EQ(unpacked[i], 0xBEEF) << "past W x H";
        }
    }
}

TEST_P(RawKernelTest, UnpackingAPaddedStrideSkipsFillBytes) {
    const int width = 4000, height = 4;
    const size_t stride = 5008;
    const auto samples = RandomSamples(static_cast<size_t>(width) * height, 7);
    auto packed = frame_test::PackReference(samples, width, height, stride);
    for (int y = 0; y < height; ++y) memset(&packed[stride * y + 5000], 0xFF, 8);  // fill bytes
    std::vector<uint16_t> unpacked(samples.size() + 64, 0xBEEF);
    raw::UnpackRaw10(packed.data(), width, height, stride, unpacked.data());
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), unpacked.begin()));
    for (size_t i = samples.size(); i < unpacked.size(); ++i) ASSERT_EQ(unpacked[i], 0xBEEF) << "past W x H";
}

TEST_P(RawKernelTest, PackingInPlaceMatchesPackingElsewhere) {
    const int width = 2000, height = 6;
    const size_t stride = ZEBFrame::AlignedStride(width);
    const auto samples = RandomSamples(static_cast<size_t>(width) * height, 11);
    std::vector<uint16_t> buffer(samples);
    raw::PackRaw10(buffer.data(), width, height, stride, reinterpret_cast<uint8_t*>(buffer.data()));
    const auto expected = frame_test::PackReference(samples, width, height, stride);
    const uint8_t* packed = reinterpret_cast<const uint8_t*>(buffer.data());
    for (int y = 0; y < height; ++y) {
        ASSERT_EQ(memcmp(packed + stride * y, &expected[stride * y], 2500), 0) << "line " << y;
    }
}

TEST_P(RawKernelTest, BinningByTwoIsTheMeanOfEachBayerSite) {
    // 4 x 4: output (0, 0) is the mean of the four (even, even) samples.
    const std::vector<uint16_t> small = {10, 1, 13, 1,   //
                                         2,  3, 2,  3,   //
                                         20, 1, 22, 1,   //
                                         2,  3, 2,  9};
    std::vector<uint16_t> binned(4, 0);
    raw::BinBayer(small.data(), 4, 4, 2, binned.data());
    EXPECT_EQ(binned[0], (10 + 13 + 20 + 22) / 4);
    EXPECT_EQ(binned[1], 1);
    EXPECT_EQ(binned[2], 2);
    EXPECT_EQ(binned[3], (3 + 3 + 3 + 9) / 4);

    for (int width : {8, 40, 72, 4000}) {
        const int height = 8;
        const auto samples = RandomSamples(static_cast<size_t>(width) * height, width);
        std::vector<uint16_t> out(static_cast<size_t>(width / 2) * (height / 2) + 16, 0xBEEF);
        raw::BinBayer(samples.data(), width, height, 2, out.data());
        const auto expected = BinReference(samples, width, height, 2);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << "width " << width;
        ASSERT_EQ(out[expected.size()], 0xBEEF);
    }
}

TEST_P(RawKernelTest, BinningByFourStaysWithinTenBits) {
    const int width = 64, height = 16;
    const auto samples = RandomSamples(static_cast<size_t>(width) * height, 3);
    std::vector<uint16_t> out(static_cast<size_t>(width / 4) * (height / 4));
    raw::BinBayer(samples.data(), width, height, 4, out.data());
    EXPECT_EQ(out, BinReference(samples, width, height, 4));
    const std::vector<uint16_t> white(static_cast<size_t>(width) * height, 1023);
    raw::BinBayer(white.data(), width, height, 4, out.data());
    for (uint16_t value : out) ASSERT_EQ(value, 1023);
}

INSTANTIATE_TEST_SUITE_P(Paths, RawKernelTest,
                         ::testing::Values(raw::KernelPath::Scalar, raw::KernelPath::Ssse3, raw::KernelPath::Avx2,
                                           raw::KernelPath::Neon),
                         [](const ::testing::TestParamInfo<raw::KernelPath>& info) {
                             return std::string(raw::KernelPathName(info.param));
                         });

TEST(RawKernels, TheFastestPathIsChosenAndX86HasItsVectorPaths) {
    raw::ResetKernelPath();
    const auto paths = raw::AvailableKernelPaths();
    EXPECT_EQ(raw::ActiveKernelPath(), paths.back());
#if defined(__x86_64__)
    EXPECT_TRUE(raw::KernelPathAvailable(raw::KernelPath::Ssse3));
    EXPECT_FALSE(raw::KernelPathAvailable(raw::KernelPath::Neon));
    EXPECT_FALSE(raw::SetKernelPath(raw::KernelPath::Neon));
#endif
}

TEST(RawKernels, RightShiftDropsTheLowFourBits) {
    std::vector<uint16_t> samples = {0xFFFF, 0x0010, 0x000F, 0x8001};
    raw::RightShift4(samples.data(), samples.size());
    EXPECT_EQ(samples, (std::vector<uint16_t>{0x0FFF, 0x0001, 0x0000, 0x0800}));
}

TEST(RawKernels, RealignMovesEveryLineToTheStrideAndZeroesTheFill) {
    const int height = 5;
    const size_t line = 5000, stride = 5008;
    std::vector<uint8_t> buffer(stride * height, 0xEE);
    for (size_t i = 0; i < line * height; ++i) buffer[i] = static_cast<uint8_t>(i * 31 / 7);
    const std::vector<uint8_t> original(buffer.begin(), buffer.begin() + line * height);
    raw::RealignLines(buffer.data(), line, stride, height);
    for (int y = 0; y < height; ++y) {
        ASSERT_EQ(memcmp(&buffer[stride * y], &original[line * y], line), 0) << "line " << y;
        for (size_t i = line; i < stride; ++i) ASSERT_EQ(buffer[stride * y + i], 0) << "fill of line " << y;
    }
}

}  // namespace
