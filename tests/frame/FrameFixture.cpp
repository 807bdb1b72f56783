#include "FrameFixture.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace frame_test {

uint8_t DumpByte(int tag, int row, size_t index) {
    return static_cast<uint8_t>(index * 7 + static_cast<size_t>(row) * 13 + static_cast<size_t>(tag) * 29 + 1);
}

std::vector<uint8_t> DumpBytes(int tag, int row, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = DumpByte(tag, row, i);
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

std::vector<uint8_t> PackReference(const std::vector<uint16_t>& samples, int width, int height, size_t stride) {
    std::vector<uint8_t> packed(stride * height, 0);
    for (int y = 0; y < height; ++y) {
        for (int group = 0; group < width / 4; ++group) {
            uint8_t* out = &packed[stride * y + 5 * group];
            out[4] = 0;
            for (int k = 0; k < 4; ++k) {
                const unsigned p = samples[static_cast<size_t>(y) * width + 4 * group + k];
                out[k] = static_cast<uint8_t>(p >> 2);
                out[4] = static_cast<uint8_t>(out[4] | (p & 3) << (2 * k));
            }
        }
    }
    return packed;
}

std::vector<uint16_t> UnpackReference(const uint8_t* packed, int width, int height, size_t stride) {
    std::vector<uint16_t> samples(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t* group = packed + stride * y + 5 * (x / 4);
            const int k = x % 4;
            samples[static_cast<size_t>(y) * width + x] = static_cast<uint16_t>(group[k] << 2 | (group[4] >> 2 * k & 3));
        }
    }
    return samples;
}

size_t RowFileSize(const FolderSpec& layout, int row) {
    auto sized = layout.sizes.find(row);
    if (sized != layout.sizes.end()) return sized->second;
    const ZEB::DataFileSpec& file = ZEB::DataFileSpecOf(row);
    switch (row) {
        case ZEB::DF_MIPI_RAW: return static_cast<size_t>(layout.width) * 5 / 4 * layout.height;
        case ZEB::DF_RAW: return static_cast<size_t>(layout.width) * layout.height * 2;
        case ZEB::DF_YUV_NV21: return static_cast<size_t>(layout.yuvWidth) * layout.yuvHeight * 3 / 2;
        default: return file.kind == ZEB::RowKind::FileSized ? layout.variableSize : file.fixedSize;
    }
}

namespace {

void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

void WriteFolder(const std::string& folder, const FolderSpec& layout) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::string size = std::to_string(layout.width) + "x" + std::to_string(layout.height);
    const std::string tag = std::to_string(layout.tag);
    for (int row = 0; row < ZEB::kDataFormatCount; ++row) {
        if (layout.omit.count(row)) continue;
        const size_t bytes = RowFileSize(layout, row);
        std::vector<uint8_t> content;
        std::string name;
        if (row == ZEB::DF_MIPI_RAW) {
            content = PackReference(RawSamples(layout.tag, layout.width, layout.height), layout.width, layout.height,
                                    static_cast<size_t>(layout.width) * 5 / 4);
            content.resize(bytes, 0x5A);
            name = "IMG_" + size + "_" + tag + ".mipi_raw";
        } else if (row == ZEB::DF_YUV_NV21) {
            content = DumpBytes(layout.tag, row, bytes);
            name = "IMG_" + std::to_string(layout.yuvWidth) + "x" + std::to_string(layout.yuvHeight) + "_" + tag +
                   ".cap.yuv_nv21";
        } else {
            content = DumpBytes(layout.tag, row, bytes);
            name = row == ZEB::DF_RAW ? "IMG_" + size + "_" + tag + ".raw"
                                      : "IMG_" + tag + "_" + ZEB::DataFileSpecOf(row).subFix;
        }
        Write(folder + "/" + name, content);
    }
}

}  // namespace frame_test
