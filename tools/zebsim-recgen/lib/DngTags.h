#pragma once
// The DNG tags the import takes from the raw image's directory itself, read
// with libtiff: the black level as the file gives it (pattern, fractions),
// the active area, the orientation and the lens shading gain maps of
// OpcodeList2. LibRaw decodes the samples; these say what they mean.
#include <cstdint>
#include <string>
#include <vector>

namespace zeb_recgen {

// One GainMap opcode (DNG opcode 9): gains over the area it names, relative
// to the active area's top-left corner, for the pixels its pitch selects.
struct DngGainMap {
    uint32_t top = 0, left = 0, bottom = 0, right = 0;
    uint32_t rowPitch = 1, colPitch = 1;
    uint32_t pointsV = 0, pointsH = 0;
    double spacingV = 0, spacingH = 0, originV = 0, originH = 0;  // relative to the area, 0..1
    std::vector<float> gains;  // pointsV x pointsH, first map plane

    // The gain at a position relative to the area (0..1 each way), bilinear
    // between the map points and held at its edges.
    double At(double v, double h) const;
};

struct DngTags {
    bool opened = false;  // libtiff read the file's structure
    // The raw (CFA) image's size and active area (top, left, bottom, right).
    uint32_t width = 0, height = 0;
    uint32_t activeTop = 0, activeLeft = 0, activeBottom = 0, activeRight = 0;
    // BlackLevel, rounded, repeating over rows x cols from the active area's
    // top-left corner, plus the per-row and per-column deltas.
    uint32_t blackRows = 1, blackCols = 1;
    std::vector<double> black;  // empty: no BlackLevel tag (0)
    std::vector<double> deltaV, deltaH;
    int orientation = 1;  // TIFF Orientation of IFD 0 (1 = as stored)
    std::vector<DngGainMap> gainMaps;
    std::vector<std::string> used, ignored;  // tag names, as the import summary gives them

    // The black level of a pixel of the active area, rounded half up.
    int64_t BlackAt(uint32_t row, uint32_t col) const;
    bool HasBlack() const { return !black.empty() || !deltaV.empty() || !deltaH.empty(); }
};

// Reads the tags, or refuses the file with the reason (monochrome, floating
// point, an active area outside the image, a black level pattern larger than
// its values...) in `error`.
bool ReadDngTags(const std::string& path, DngTags* tags, std::string* error);

// Orientation in degrees clockwise (0, 90, 180, 270) of a TIFF Orientation;
// -1 for the mirrored ones.
int OrientationDegrees(int orientation);

}  // namespace zeb_recgen
