// Packed 10-bit, 16-bit and binned raw conversions, on every kernel path the
// processor has, against conversions written from the format.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "FrameFixture.h"
#include "frame/RawKernels.h"
#include "frame/ZEBFrame.h"

using namespace ZEB;

namespace {

std::vector<uint16_t> RandomSamples(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint16_t> samples(count);
    for (auto& sample : samples) sample = static_cast<uint16_t>(random() % 1024);
    return samples;
}

// The paths this target compiles; each must run on the processor, except
// AVX2 and AVX-512 VBMI, which older x86-64 processors lack.
const raw::KernelPath kTargetPaths[] = {
    raw::KernelPath::Scalar,
#if defined(__x86_64__)
    raw::KernelPath::Ssse3, raw::KernelPath::Avx2, raw::KernelPath::Avx512Vbmi,
#elif defined(__aarch64__)
    raw::KernelPath::Neon,
#endif
};

class RawConversion : public ::testing::TestWithParam<raw::KernelPath> {
protected:
    void SetUp() override {
        if (raw::SetKernelPath(GetParam())) return;
        if (GetParam() == raw::KernelPath::Avx2 || GetParam() == raw::KernelPath::Avx512Vbmi) {
            GTEST_SKIP() << "no " << raw::KernelPathName(GetParam()) << " on this processor";
        }
        FAIL() << raw::KernelPathName(GetParam()) << " is missing on this processor";
    }
    void TearDown() override { raw::ResetKernelPath(); }
};

TEST_P(RawConversion, RoundTripsAreByteExactAndSkipTheFillBytes) {
    // Widths around each loop's step (16 and 32 samples) and its line end.
    for (int width : {4, 8, 36, 44, 52, 64, 96, 100, 1000, 4000, 4160}) {
        for (bool aligned : {false, true}) {
            const int height = 3;
            const size_t line = ZEBFrame::PackedLineBytes(width);
            const size_t stride = aligned ? ZEBFrame::AlignedStride(width) : line;
            SCOPED_TRACE(testing::Message() << "width " << width << " stride " << stride);
            const auto samples = RandomSamples(static_cast<size_t>(width) * height, width);
            std::vector<uint8_t> packed(stride * height, 0xA5);
            raw::PackRaw10(samples.data(), width, height, stride, packed.data());
            auto expected = frame_test::PackReference(samples, width, height, stride);
            for (int y = 0; y < height; ++y) memset(&expected[stride * y + line], 0xA5, stride - line);
            ASSERT_EQ(packed, expected) << "fill bytes are left as they are";
            for (int y = 0; y < height; ++y) memset(&packed[stride * y + line], 0xFF, stride - line);
            std::vector<uint16_t> unpacked(samples.size() + 32, 0xBEEF);
            raw::UnpackRaw10(packed.data(), width, height, stride, unpacked.data());
            ASSERT_TRUE(std::equal(samples.begin(), samples.end(), unpacked.begin()));
            for (size_t i = samples.size(); i < unpacked.size(); ++i) ASSERT_EQ(unpacked[i], 0xBEEF) << "past W x H";
        }
    }
}

TEST_P(RawConversion, PackingInPlaceMatchesPackingElsewhere) {
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

TEST_P(RawConversion, PackingAnySixteenBitSamplesMatchesTheScalarPath) {
    // Samples past ten bits keep the low eight of sample >> 2, as the scalar loop does.
    const int width = 1000, height = 2;
    std::mt19937 random(5);
    std::vector<uint16_t> samples(static_cast<size_t>(width) * height);
    for (auto& sample : samples) sample = static_cast<uint16_t>(random());
    const size_t stride = ZEBFrame::AlignedStride(width);
    std::vector<uint8_t> packed(stride * height, 0), scalar(stride * height, 0);
    raw::PackRaw10(samples.data(), width, height, stride, packed.data());
    ASSERT_TRUE(raw::SetKernelPath(raw::KernelPath::Scalar));
    raw::PackRaw10(samples.data(), width, height, stride, scalar.data());
    EXPECT_EQ(packed, scalar);
}

TEST_P(RawConversion, BinningPackedBandsGivesTheLinesOfTheThreeSteps) {
    const struct {
        int width, height, factor;
        bool aligned;
    } cases[] = {{4000, 8, 2, true}, {4000, 12, 2, false}, {40, 8, 2, false}, {40, 8, 2, true},
                 {80, 12, 2, true},  {64, 16, 4, true},    {72, 4, 2, false}};
    for (const auto& c : cases) {
        const size_t line = ZEBFrame::PackedLineBytes(c.width);
        const size_t stride = c.aligned ? ZEBFrame::AlignedStride(c.width) : line;
        const int outW = c.width / c.factor, outH = c.height / c.factor;
        const size_t outStride = ZEBFrame::AlignedStride(outW);
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " by " << c.factor << " stride " << stride);
        const auto samples = RandomSamples(static_cast<size_t>(c.width) * c.height, c.width + c.height);
        auto packed = frame_test::PackReference(samples, c.width, c.height, stride);
        for (int y = 0; y < c.height; ++y) memset(&packed[stride * y + line], 0xEE, stride - line);
        const auto binned = frame_test::BinReference(samples, c.width, c.height, c.factor);
        auto expected = frame_test::PackReference(binned, outW, outH, outStride);
        expected.resize(expected.size() + 64, 0xCD);
        std::vector<uint8_t> out(expected.size(), 0xCD);
        ASSERT_TRUE(raw::BinPackedRaw10(packed.data(), c.width, c.height, stride, c.factor, out.data(), outStride));
        ASSERT_EQ(out, expected) << "fill bytes zeroed, nothing written past the last line";
    }
    std::vector<uint8_t> in(1000, 1), out(1000, 0);
    EXPECT_FALSE(raw::BinPackedRaw10(in.data(), 20, 8, 25, 2, out.data(), 16)) << "10 wide: not whole groups";
    EXPECT_FALSE(raw::BinPackedRaw10(in.data(), 16, 6, 20, 2, out.data(), 16)) << "3 lines: not whole quads";
    EXPECT_EQ(out, std::vector<uint8_t>(1000, 0));
}

TEST_P(RawConversion, BinningIsTheMeanOfEachBayerSite) {
    // 4 x 4 by two: output (0, 0) is the mean of the four (even, even) samples.
    const std::vector<uint16_t> small = {10, 1, 13, 1, 2, 3, 2, 3, 20, 1, 22, 1, 2, 3, 2, 9};
    std::vector<uint16_t> binned(4, 0);
    raw::BinBayer(small.data(), 4, 4, 2, binned.data());
    EXPECT_EQ(binned, (std::vector<uint16_t>{16, 1, 2, 4}));

    const struct {
        int factor, width, height;
    } cases[] = {{2, 8, 8}, {2, 40, 8}, {2, 72, 8}, {2, 4000, 8}, {2, 104, 12}, {4, 64, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "factor " << c.factor << " width " << c.width);
        const auto samples = RandomSamples(static_cast<size_t>(c.width) * c.height, c.width);
        const auto expected = frame_test::BinReference(samples, c.width, c.height, c.factor);
        std::vector<uint16_t> out(expected.size() + 16, 0xBEEF);
        raw::BinBayer(samples.data(), c.width, c.height, c.factor, out.data());
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
        ASSERT_EQ(out[expected.size()], 0xBEEF);
    }
    // Sixteen full-scale samples summed stay within ten bits once averaged.
    const std::vector<uint16_t> white(64 * 16, 1023);
    std::vector<uint16_t> out(16 * 4);
    raw::BinBayer(white.data(), 64, 16, 4, out.data());
    for (uint16_t value : out) ASSERT_EQ(value, 1023);
}

INSTANTIATE_TEST_SUITE_P(Paths, RawConversion,
                         ::testing::ValuesIn(kTargetPaths),
                         [](const ::testing::TestParamInfo<raw::KernelPath>& instance) {
                             return std::string(raw::KernelPathName(instance.param));
                         });

TEST_P(RawConversion, TheReferencePacksFourSamplesIntoFiveBytes) {
    // High eight bits of each sample, then the four low pairs, the first lowest.
    const std::vector<uint16_t> samples = {1020, 1, 514, 7};
    EXPECT_EQ(frame_test::PackReference(samples, 4, 1, 5), (std::vector<uint8_t>{0xFF, 0x00, 0x80, 0x01, 0xE4}));
#if defined(__x86_64__)
    EXPECT_TRUE(raw::KernelPathAvailable(raw::KernelPath::Ssse3)) << "the vector paths are tested, not skipped";
#elif defined(__aarch64__)
    // Each case pins its path: what the device runs is the path available.
    EXPECT_TRUE(raw::KernelPathAvailable(raw::KernelPath::Neon)) << "the device runs the vector path";
#endif
}

TEST_P(RawConversion, RightShiftDropsTheLowFourBits) {
    std::vector<uint16_t> samples = {0xFFFF, 0x0010, 0x000F, 0x8001};
    raw::RightShift4(samples.data(), samples.size());
    EXPECT_EQ(samples, (std::vector<uint16_t>{0x0FFF, 0x0001, 0x0000, 0x0800}));
}

}  // namespace
