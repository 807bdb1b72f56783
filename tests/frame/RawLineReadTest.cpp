// Packed lines read from a file straight to a wider stride: each chunk lands
// where its lines go, and whatever the file does not provide reads as zero.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "frame/RawLineRead.h"

using namespace ZEB;

namespace {

std::vector<uint8_t> FileBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 251 + 1);
    return bytes;
}

// Line r of `file` at r x stride for the lines the file reaches up to `placed` bytes.
std::vector<uint8_t> Placed(const std::vector<uint8_t>& file, size_t placed, const LineLayout& layout) {
    std::vector<uint8_t> out(layout.stride * layout.lines, 0);
    for (size_t i = 0; i < placed; ++i) out[i / layout.lineBytes * layout.stride + i % layout.lineBytes] = file[i];
    return out;
}

TEST(RawLineRead, LinesLandAtTheStrideAndTheRestIsZero) {
    zeb_test::TempDir dir;
    LineLayout layout;
    layout.lineBytes = 5000;  // 4000 pixels
    layout.stride = 5008;
    layout.lines = 300;       // several chunks
    const size_t whole = layout.lineBytes * layout.lines;
    const struct {
        size_t fileBytes;
        int chunksBeforeStop;  // -1: never stopped
        int64_t placed;
    } cases[] = {
        {whole, -1, static_cast<int64_t>(whole)},
        {whole + 999, -1, static_cast<int64_t>(whole)},
        {whole - 2501, -1, static_cast<int64_t>(whole - 2501)},
        {whole, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fileBytes << " bytes, stop after " << c.chunksBeforeStop);
        const auto file = FileBytes(c.fileBytes);
        const std::string path = dir / "raw";
        zeb_test::WriteFile(path, std::string(file.begin(), file.end()));
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::vector<uint8_t> out(layout.stride * layout.lines + 16, 0xEE);
        int chunks = 0;
        const auto stop = [&] { return c.chunksBeforeStop >= 0 && chunks++ >= c.chunksBeforeStop; };
        EXPECT_EQ(ReadLinesToStride(fd, static_cast<int64_t>(c.fileBytes), out.data(), layout, stop), c.placed);
        close(fd);
        auto expected = Placed(file, static_cast<size_t>(c.placed), layout);
        expected.resize(out.size(), 0xEE);
        ASSERT_EQ(out, expected) << "nothing written past the last line";
    }

    // A stop after the first chunk keeps that chunk's whole lines.
    const auto file = FileBytes(whole);
    zeb_test::WriteFile(dir / "raw", std::string(file.begin(), file.end()));
    const int fd = open((dir / "raw").c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<uint8_t> out(layout.stride * layout.lines, 0xEE);
    int chunks = 0;
    const int64_t placed = ReadLinesToStride(fd, static_cast<int64_t>(whole), out.data(), layout,
                                             [&] { return chunks++ >= 1; });
    close(fd);
    EXPECT_GT(placed, 0);
    EXPECT_LT(placed, static_cast<int64_t>(whole));
    EXPECT_EQ(out, Placed(file, static_cast<size_t>(placed), layout));
}

TEST(RawLineRead, AFailedReadLeavesZeros) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // a pipe cannot be read at an offset
    LineLayout layout;
    layout.lineBytes = 10;
    layout.stride = 16;
    layout.lines = 4;
    std::vector<uint8_t> out(64, 0xEE);
    EXPECT_EQ(ReadLinesToStride(fds[0], 40, out.data(), layout, nullptr), -1);
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0));
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
