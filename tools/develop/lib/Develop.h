#pragma once
// Develops a recorded raw frame the way the device's ISP would, from the
// frame's own recorded 3A results: black level, lens shading gains, white
// balance gains, demosaic, colour matrix and gamma, to 8-bit sRGB. Also the
// pieces the pictures share: NV21 to RGB, area-averaging downscale, PNG.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zeb_develop {

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // 8-bit, R G B interleaved, rows back to back
};

// Lens shading gains (1024 = 1x), four per grid cell in the order R, Gr, Gb,
// B, `columns` cells a row; the cell centres are spread evenly over the
// image and the gain between them is interpolated bilinearly (held at the
// outermost centres).
struct ShadingTable {
    std::vector<uint16_t> gains;
    int columns = 0;
    int Rows() const { return columns > 0 ? static_cast<int>(gains.size() / 4 / static_cast<size_t>(columns)) : 0; }
    bool Usable() const { return columns > 0 && Rows() > 0; }
    // Gain of `channel` (0 R, 1 Gr, 2 Gb, 3 B) at (fx, fy), fractions of the image from 0 to 1.
    double Gain(int channel, double fx, double fy) const;
};

// The recorded gamma: 257 points over linear input 0..1, output 0..1023;
// between points linear.
struct ToneCurve {
    std::vector<uint16_t> points;
    bool Usable() const { return points.size() >= 2; }
    double Apply(double linear) const;  // 0..1 in, 0..1 out
};

// What the frame recorded, with the default taken for each missing record.
struct FrameRecords {
    int blackLevel = 64;         // RAW10; the recordings hold no black level
    double wbGains[3] = {1, 1, 1};  // R, G, B
    uint32_t ct = 0;
    double ccm[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // camera RGB to sRGB, row by row
    ShadingTable shading;  // not Usable: no shading applied
    std::string shadingFormat;  // "ALSC 3", "ALSC 4" or empty
    ToneCurve gamma;            // not Usable: the sRGB curve
    bool hasAe = false;
    int32_t frameId = -1, iso = 0, gain = 0, bv = 0;
    uint32_t lum = 0;
    float ev = 0;
    // One line per default used ("no AWB_CALC_INFO: white balance gains 1, 1, 1").
    std::vector<std::string> defaults;
};

// Reads the records from the frame's dumps, found by name ("AE_RESULT_INFO.bin",
// ...); `dump` returns null for a dump the frame lacks.
FrameRecords RecordsFrom(const std::function<const std::vector<uint8_t>*(const std::string& name)>& dump);

// A frame folder as the recording lays it out: the raw and reference image
// paths with the sizes their names give, and the dumps develop reads.
struct FrameFolder {
    std::string folder;
    std::string rawPath, yuvPath;  // empty when absent
    int rawWidth = 0, rawHeight = 0, yuvWidth = 0, yuvHeight = 0;
    std::map<std::string, std::vector<uint8_t>> dumps;
    std::string error;  // why the folder could not be read
    FrameRecords Records() const;
};
FrameFolder ReadFrameFolder(const std::string& folder);
// Reads a whole regular file of at most `limit` bytes; false with `error` set otherwise.
bool ReadFileBytes(const std::string& path, uint64_t limit, std::vector<uint8_t>* bytes, std::string* error);

// Develops packed RAW10 lines (`stride` bytes apart). `pattern`: colour of the
// top-left cell's sites, 0 RGGB, 1 GRBG, 2 GBRG, 3 BGGR.
Image Develop(const uint8_t* packed, int width, int height, size_t stride, uint32_t pattern, const FrameRecords& records);
// Full-range BT.601 NV21 (Y plane, then V U pairs) to RGB.
Image Nv21ToRgb(const uint8_t* nv21, int width, int height);
// Area averaging to fit within maxWidth x maxHeight, aspect kept; smaller images stay as they are.
Image Downscale(const Image& image, int maxWidth, int maxHeight);

// A received raw developed with the records of the recorded frame it matches
// (`dumps` by name; null: none, every default) and written as a PNG.
bool WriteDevelopedPng(const std::string& path, const uint8_t* packed, int width, int height, size_t stride,
                       uint32_t pattern, const std::map<std::string, std::vector<uint8_t>>* dumps,
                       std::string* error = nullptr);

bool EncodePng(const Image& image, std::vector<uint8_t>* png, std::string* error);
bool WritePng(const std::string& path, const Image& image, std::string* error);
std::string Base64(const std::vector<uint8_t>& bytes);

}  // namespace zeb_develop
