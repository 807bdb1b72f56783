#pragma once
// Turns DNG files (the raw format of Android's camera API) into a recording
// the library plays: per DNG one frame folder with the CFA data repacked as
// RAW10, an NV21 reference image demosaiced from it and the dumps a device
// writes, carrying what the file knows of its 3A state; a scene file per task
// and a task list. Files are read with LibRaw; anything LibRaw cannot read as
// a 2 x 2 Bayer CFA, or that does not hold the data its header promises, is
// refused with a message naming the file and the reason.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zebsim-recgen/lib/DngTags.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_recgen {

// Largest image accepted (each side, and in all), so that a hostile header
// cannot make the import allocate without bound.
constexpr int kDngMaxSide = 16384;
constexpr int64_t kDngMaxPixels = int64_t{1} << 28;

struct DngFrame;

struct DngImportOptions {
    std::vector<std::string> files;
    std::string outputFolder;
    std::string taskListPath;  // default: <outputFolder>/RawListFile.xml
    int framesPerTask = 1;     // DNGs per task, 1 to 10; the last task takes the rest
    std::string mode = "Preview";
    // The 10-bit level the file's black level maps to; its white level maps to 1023.
    int pedestal = 64;
    bool preview = false;  // a PNG of each frame's raw image next to it
    // Called once each file's frame is written (serial from 0, of `total`).
    std::function<void(int serial, int total, const DngFrame& frame)> progress;
};

// What one DNG holds, converted. Values the file does not carry are neutral
// (see the README).
struct DngFrame {
    std::string path;
    int width = 0, height = 0;  // of the RAW10 image: the active area, cut to a multiple of 4 x 2
    int bits = 0;               // bits per sample in the file
    BayerPattern pattern = BayerPattern::RGGB;
    uint32_t whiteLevel = 0;
    bool hasIso = false, hasExposure = false, hasAperture = false, hasNeutral = false;
    double iso = 100, exposureSeconds = 0, fNumber = 2.0;
    uint32_t wbGain[3] = {1024, 1024, 1024};  // R, G, B; 1024 = 1x
    std::vector<uint16_t> samples;            // 10-bit, width x height, lines back to back
    // Where the RAW10 image's top-left pixel lies in the file's active area
    // (LibRaw starts one row or column further in when a margin is odd).
    int activeRow = 0, activeCol = 0;
    int orientation = 1;  // TIFF Orientation; the samples stay as the sensor gave them
    std::vector<DngGainMap> gainMaps;           // lens shading from OpcodeList2
    std::vector<std::string> usedTags, ignoredTags;  // for the import summary
};

// Reads one DNG: the metadata alone, or the CFA data too.
bool ReadDng(const std::string& path, int pedestal, bool withSamples, DngFrame* frame, std::string* error);

// The 3A values carried into the dumps: AE result fields and scene values.
int32_t DngGain(const DngFrame& frame);  // 128 = 1x, ISO 100 = 1x
int32_t DngIso(const DngFrame& frame);
int32_t DngBv(const DngFrame& frame);  // APEX brightness x 100; 0 without an exposure time

// The LSC_RESULT_TABLE_INFO values (1024 = 1x) of `count` 16-bit values:
// four per grid cell in the order of the raw cell's sites (top-left,
// top-right, bottom-left, bottom-right), 32 cells a row, the frame's gain
// maps resampled to the cell centres; 1024 everywhere without a map.
std::vector<uint16_t> DngShadingTable(const DngFrame& frame, size_t count);

// NV21 reference image of the frame (same size as the raw): per 2 x 2 cell
// one colour from its four sites, white balanced with the frame's gains and
// put through a 1/2.2 gamma.
std::vector<uint8_t> DemosaicNv21(const DngFrame& frame, int pedestal);

// Writes the recording; the GeneratedRecording lists what was written
// (frame serials follow the order of the files).
GeneratedRecording ImportDng(const DngImportOptions& options);

}  // namespace zeb_recgen
