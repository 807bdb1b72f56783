#pragma once
// Recorded frame folders as a device writes them, built small for tests, and
// conversions written straight from the format description, so the library's
// loops are checked against something independent of them.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "frame/RawKernels.h"
#include "frame/ZEBFrame.h"

namespace frame_test {

// Content of a dump file: bytes that name the folder (`tag`) and the row.
std::vector<uint8_t> DumpBytes(int tag, int row, size_t size);

// 10-bit samples of a frame: distinct per tag, pixel and line.
std::vector<uint16_t> RawSamples(int tag, int width, int height);
std::vector<uint8_t> PackReference(const std::vector<uint16_t>& samples, int width, int height, size_t stride);
// The lines a frame's raw file holds: packed back to back.
std::vector<uint8_t> PackedLines(int width, int height, int tag);
// Mean per Bayer site over the 2F x 2F block of each output quad, from 64-bit
// sums; by two the sum is cut to 16 bits before the shift.
std::vector<uint16_t> BinReference(const std::vector<uint16_t>& samples, int width, int height, int factor);

struct FolderSpec {
    int tag = 0;
    int width = 64;
    int height = 8;
    int yuvWidth = 64;
    int yuvHeight = 8;
    std::set<int> omit;           // rows whose file is not written
    std::map<int, size_t> sizes;  // rows written at another size than their own
    size_t variableSize = 256;    // size of the file-sized dumps
};

// Writes IMG_WxH_<tag>.mipi_raw, IMG_WxH_<tag>.cap.yuv_nv21 and
// IMG_<tag>_<pattern> for every dump row into `folder`.
void WriteFolder(const std::string& folder, const FolderSpec& layout);

// Name of a row's file as WriteFolder writes it.
std::string RowFileName(const FolderSpec& layout, int row);

// Size a row's file has when written by WriteFolder.
size_t RowFileSize(const FolderSpec& layout, int row);

}  // namespace frame_test
