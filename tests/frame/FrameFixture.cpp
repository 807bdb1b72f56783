#include "FrameFixture.h"

#include <filesystem>

#include "support/TestSupport.h"

namespace frame_test {

std::vector<uint8_t> DumpBytes(int tag, int row, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + row * 13 + tag * 29 + 1);
    return bytes;
}

std::vector<uint16_t> RawSamples(int tag, int width, int height) {
    std::vector<uint16_t> samples(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            samples[static_cast<size_t>(y) * width + x] = static_cast<uint16_t>((x * 5 + y * 131 + tag * 97) % 1024);
        }
    }
    return samples;
}

// Four samples to five bytes: the high eight bits of each, then their low two
// bits, the first sample's lowest.
std::vector<uint8_t> PackReference(const std::vector<uint16_t>& samples, int width, int height, size_t stride) {
    std::vector<uint8_t> packed(stride * height, 0);
    for (int y = 0; y < height; ++y) {
        for (int group = 0; group < width / 4; ++group) {
            uint8_t* out = &packed[stride * y + 5 * group];
            for (int k = 0; k < 4; ++k) {
                const unsigned p = samples[static_cast<size_t>(y) * width + 4 * group + k];
                out[k] = static_cast<uint8_t>(p >> 2);
                out[4] = static_cast<uint8_t>(out[4] | (p & 3) << (2 * k));
            }
        }
    }
    return packed;
}

std::vector<uint8_t> PackedLines(int width, int height, int tag) {
    return PackReference(RawSamples(tag, width, height), width, height, static_cast<size_t>(width) * 5 / 4);
}

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

size_t RowFileSize(const FolderSpec& layout, int row) {
    auto sized = layout.sizes.find(row);
    if (sized != layout.sizes.end()) return sized->second;
    switch (row) {
        case ZEB::DF_MIPI_RAW: return static_cast<size_t>(layout.width) * 5 / 4 * layout.height;
        case ZEB::DF_RAW: return static_cast<size_t>(layout.width) * layout.height * 2;
        case ZEB::DF_YUV_NV21: return static_cast<size_t>(layout.yuvWidth) * layout.yuvHeight * 3 / 2;
        default: {
            const ZEB::DataFileSpec& file = ZEB::DataFileSpecOf(row);
            return file.kind == ZEB::RowKind::FileSized ? layout.variableSize : file.fixedSize;
        }
    }
}

std::string RowFileName(const FolderSpec& layout, int row) {
    const std::string size = std::to_string(layout.width) + "x" + std::to_string(layout.height);
    const std::string tag = std::to_string(layout.tag);
    switch (row) {
        case ZEB::DF_MIPI_RAW: return "IMG_" + size + "_" + tag + ".mipi_raw";
        case ZEB::DF_RAW: return "IMG_" + size + "_" + tag + ".raw";
        case ZEB::DF_YUV_NV21:
            return "IMG_" + std::to_string(layout.yuvWidth) + "x" + std::to_string(layout.yuvHeight) + "_" + tag +
                   ".cap.yuv_nv21";
        default: return "IMG_" + tag + "_" + ZEB::DataFileSpecOf(row).subFix;
    }
}

void WriteFolder(const std::string& folder, const FolderSpec& layout) {
    std::filesystem::create_directories(folder);
    for (int row = 0; row < ZEB::kDataFormatCount; ++row) {
        if (layout.omit.count(row)) continue;
        std::vector<uint8_t> content = DumpBytes(layout.tag, row, RowFileSize(layout, row));
        if (row == ZEB::DF_MIPI_RAW) {
            const size_t bytes = content.size();
            content = PackedLines(layout.width, layout.height, layout.tag);
            content.resize(bytes, 0x5A);
        }
        zeb_test::WriteFile(folder + "/" + RowFileName(layout, row), std::string(content.begin(), content.end()));
    }
}

}  // namespace frame_test
