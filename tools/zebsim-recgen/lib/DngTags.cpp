#include "zebsim-recgen/lib/DngTags.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>

namespace zeb_recgen {
namespace {

constexpr uint32_t kOpcodeList1 = 51008;
constexpr uint32_t kOpcodeList2 = 51009;
constexpr uint32_t kOpcodeList3 = 51022;
constexpr uint32_t kGainMapOpcode = 9;
constexpr uint16_t kCfa = 32803;
constexpr uint16_t kLinearRaw = 34892;

bool Fail(std::string* error, const std::string& path, const std::string& why) {
    if (error) *error = path + ": " + why;
    return false;
}

// Opcode lists are big-endian whatever the file's byte order.
struct BigEndian {
    const uint8_t* data;
    size_t size, at = 0;
    bool ok = true;
    uint32_t U32() {
        if (at + 4 > size) {
            ok = false;
            return 0;
        }
        const uint32_t v = uint32_t{data[at]} << 24 | uint32_t{data[at + 1]} << 16 | uint32_t{data[at + 2]} << 8 | data[at + 3];
        at += 4;
        return v;
    }
    double F64() {
        const uint64_t high = U32(), low = U32();
        const uint64_t bits = high << 32 | low;
        double v;
        memcpy(&v, &bits, sizeof v);
        return v;
    }
    float F32() {
        const uint32_t bits = U32();
        float v;
        memcpy(&v, &bits, sizeof v);
        return v;
    }
};

// The opcodes of OpcodeList2: gain maps are kept, the others named.
void ReadOpcodes(const uint8_t* data, size_t size, DngTags* tags) {
    BigEndian in{data, size};
    const uint32_t count = in.U32();
    bool gainMaps = false;
    for (uint32_t k = 0; k < count && in.ok; ++k) {
        const uint32_t id = in.U32();
        in.U32();  // version
        in.U32();  // flags
        const uint32_t bytes = in.U32();
        const size_t next = in.at + bytes;
        if (!in.ok || next > size) break;
        if (id != kGainMapOpcode) {
            tags->ignored.push_back("OpcodeList2 opcode " + std::to_string(id));
            in.at = next;
            continue;
        }
        DngGainMap map;
        map.top = in.U32();
        map.left = in.U32();
        map.bottom = in.U32();
        map.right = in.U32();
        const uint32_t plane = in.U32();
        in.U32();  // planes
        map.rowPitch = std::max(1u, in.U32());
        map.colPitch = std::max(1u, in.U32());
        map.pointsV = in.U32();
        map.pointsH = in.U32();
        map.spacingV = in.F64();
        map.spacingH = in.F64();
        map.originV = in.F64();
        map.originH = in.F64();
        const uint32_t mapPlanes = std::max(1u, in.U32());
        const uint64_t values = uint64_t{map.pointsV} * map.pointsH * mapPlanes;
        if (!in.ok || plane != 0 || map.pointsV == 0 || map.pointsH == 0 || values * 4 > next - in.at) {
            tags->ignored.push_back("OpcodeList2 GainMap (unusable)");
            in.at = next;
            continue;
        }
        for (uint64_t i = 0; i < uint64_t{map.pointsV} * map.pointsH; ++i) {
            map.gains.push_back(in.F32());
            for (uint32_t p = 1; p < mapPlanes; ++p) in.F32();
        }
        in.at = next;
        tags->gainMaps.push_back(std::move(map));
        gainMaps = true;
    }
    if (gainMaps) tags->used.push_back("OpcodeList2 GainMap");
}

template <class T>
std::vector<double> FloatArray(TIFF* tif, uint32_t tag) {
    uint16_t count = 0;
    float* values = nullptr;
    if (!TIFFGetField(tif, tag, &count, &values) || !values) return {};
    return std::vector<double>(values, values + count);
}

// Moves to the first full-size image among the sub-IFDs of a preview
// directory; false when there is none.
bool ToFullSizeImage(TIFF* t) {
    uint16_t count = 0;
    uint64_t* offsets = nullptr;
    if (!TIFFGetField(t, TIFFTAG_SUBIFD, &count, &offsets) || !offsets) return false;
    const std::vector<uint64_t> subs(offsets, offsets + count);
    for (uint64_t offset : subs) {
        if (!TIFFSetSubDirectory(t, offset)) continue;
        uint32_t type = 1;
        TIFFGetField(t, TIFFTAG_SUBFILETYPE, &type);
        if ((type & 1) == 0) return true;
    }
    return false;
}

// The other tags of the raw image's directory: what this import leaves aside
// is named, the structure LibRaw reads is not.
void NameIgnoredTags(TIFF* t, DngTags* tags) {
    static const std::set<uint32_t> kQuiet = {
        TIFFTAG_BLACKLEVELREPEATDIM, TIFFTAG_BLACKLEVEL,   TIFFTAG_BLACKLEVELDELTAH, TIFFTAG_BLACKLEVELDELTAV,
        TIFFTAG_ACTIVEAREA,          TIFFTAG_WHITELEVEL,   TIFFTAG_CFAREPEATPATTERNDIM, TIFFTAG_CFAPATTERN,
        TIFFTAG_DNGVERSION,          TIFFTAG_DNGBACKWARDVERSION, TIFFTAG_UNIQUECAMERAMODEL, TIFFTAG_CFAPLANECOLOR,
        TIFFTAG_CFALAYOUT,           TIFFTAG_ASSHOTNEUTRAL, 33434, 33437, 34855, kOpcodeList2};
    const int custom = TIFFGetTagListCount(t);
    for (int i = 0; i < custom; ++i) {
        const uint32_t tag = TIFFGetTagListEntry(t, i);
        if (kQuiet.count(tag)) continue;
        const TIFFField* field = TIFFFieldWithTag(t, tag);
        const char* name = field ? TIFFFieldName(field) : nullptr;
        tags->ignored.push_back(tag == kOpcodeList1   ? "OpcodeList1"
                                : tag == kOpcodeList3 ? "OpcodeList3"
                                : name                ? name
                                                      : "tag " + std::to_string(tag));
    }
}

}  // namespace

double DngGainMap::At(double v, double h) const {
    auto axis = [](double at, double origin, double spacing, uint32_t points, uint32_t* i0, double* f) {
        double index = spacing > 0 ? (at - origin) / spacing : 0;
        index = std::clamp(index, 0.0, static_cast<double>(points - 1));
        *i0 = std::min(static_cast<uint32_t>(index), points - 1);
        *f = index - *i0;
    };
    uint32_t r = 0, c = 0;
    double fr = 0, fc = 0;
    axis(v, originV, spacingV, pointsV, &r, &fr);
    axis(h, originH, spacingH, pointsH, &c, &fc);
    const uint32_t r1 = std::min(r + 1, pointsV - 1), c1 = std::min(c + 1, pointsH - 1);
    auto g = [this](uint32_t row, uint32_t col) { return static_cast<double>(gains[size_t{row} * pointsH + col]); };
    return (g(r, c) * (1 - fc) + g(r, c1) * fc) * (1 - fr) + (g(r1, c) * (1 - fc) + g(r1, c1) * fc) * fr;
}

int64_t DngTags::BlackAt(uint32_t row, uint32_t col) const {
    double level = 0;
    if (!black.empty()) level += black[(row % blackRows) * blackCols + col % blackCols];
    if (row < deltaV.size()) level += deltaV[row];
    if (col < deltaH.size()) level += deltaH[col];
    return static_cast<int64_t>(std::floor(level + 0.5));
}

int OrientationDegrees(int orientation) {
    switch (orientation) {
        case 1: return 0;
        case 6: return 90;
        case 3: return 180;
        case 8: return 270;
        default: return -1;
    }
}

bool ReadDngTags(const std::string& path, DngTags* tags, std::string* error) {
    *tags = DngTags();
    // libtiff's messages go to standard error by default; the reasons given
    // here say what matters.
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(TIFFOpen(path.c_str(), "r"), [](TIFF* t) {
        if (t) TIFFClose(t);
    });
    if (!tif) return Fail(error, path, "not a TIFF/DNG file libtiff can read");
    tags->opened = true;
    TIFF* t = tif.get();
    uint16_t orientation = 1;
    if (TIFFGetField(t, TIFFTAG_ORIENTATION, &orientation)) {
        tags->orientation = orientation;
        tags->used.push_back("Orientation");
    }
    // The raw image: IFD 0 unless that is a preview, then its full-size sub-IFD.
    uint32_t subfile = 0;
    TIFFGetField(t, TIFFTAG_SUBFILETYPE, &subfile);
    if ((subfile & 1) && !ToFullSizeImage(t)) return Fail(error, path, "holds no full-size raw image (only a preview)");
    uint16_t photometric = 0, samples = 1, format = SAMPLEFORMAT_UINT;
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
    if (photometric != kCfa) {
        if (photometric == kLinearRaw && samples == 1) {
            return Fail(error, path, "monochrome (LinearRaw, one sample a pixel): not a 2 x 2 Bayer CFA image");
        }
        return Fail(error, path,
                    photometric == kLinearRaw
                        ? "demosaiced (LinearRaw, " + std::to_string(samples) +
                              " samples a pixel): not a 2 x 2 Bayer CFA image"
                        : "photometric interpretation " + std::to_string(photometric) +
                              ": not a 2 x 2 Bayer CFA image");
    }
    if (format == SAMPLEFORMAT_IEEEFP) {
        return Fail(error, path, "floating-point samples (SampleFormat 3) are not supported: they must be integers");
    }
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &tags->width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &tags->height);
    tags->activeBottom = tags->height;
    tags->activeRight = tags->width;
    uint32_t* area = nullptr;
    if (TIFFGetField(t, TIFFTAG_ACTIVEAREA, &area) && area) {
        tags->activeTop = area[0];
        tags->activeLeft = area[1];
        tags->activeBottom = area[2];
        tags->activeRight = area[3];
        if (area[0] >= area[2] || area[1] >= area[3] || area[2] > tags->height || area[3] > tags->width) {
            return Fail(error, path,
                        "the ActiveArea (top " + std::to_string(area[0]) + ", left " + std::to_string(area[1]) +
                            ", bottom " + std::to_string(area[2]) + ", right " + std::to_string(area[3]) +
                            ") lies outside the " + std::to_string(tags->width) + " x " +
                            std::to_string(tags->height) + " image");
        }
        tags->used.push_back("ActiveArea");
    }
    uint16_t* dim = nullptr;
    if (TIFFGetField(t, TIFFTAG_BLACKLEVELREPEATDIM, &dim) && dim) {
        tags->blackRows = dim[0];
        tags->blackCols = dim[1];
        if (dim[0] == 0 || dim[1] == 0 || dim[0] > 64 || dim[1] > 64) {
            return Fail(error, path,
                        "BlackLevelRepeatDim " + std::to_string(dim[0]) + " x " + std::to_string(dim[1]) +
                            " is not 1 to 64 each way");
        }
        tags->used.push_back("BlackLevelRepeatDim");
    }
    const std::vector<double> black = FloatArray<float>(t, TIFFTAG_BLACKLEVEL);
    if (!black.empty()) {
        const size_t needed = size_t{tags->blackRows} * tags->blackCols;
        if (black.size() < needed) {
            return Fail(error, path,
                        "BlackLevelRepeatDim is " + std::to_string(tags->blackRows) + " x " +
                            std::to_string(tags->blackCols) + " but BlackLevel gives " +
                            std::to_string(black.size()) + " value(s), not " + std::to_string(needed));
        }
        tags->black.assign(black.begin(), black.begin() + static_cast<long>(needed));
        tags->used.push_back("BlackLevel");
    }
    const uint32_t activeH = tags->activeBottom - tags->activeTop, activeW = tags->activeRight - tags->activeLeft;
    for (const auto& delta : {std::make_pair(TIFFTAG_BLACKLEVELDELTAV, &tags->deltaV),
                              std::make_pair(TIFFTAG_BLACKLEVELDELTAH, &tags->deltaH)}) {
        std::vector<double> values = FloatArray<float>(t, delta.first);
        if (values.empty()) continue;
        const bool vertical = delta.first == TIFFTAG_BLACKLEVELDELTAV;
        if (values.size() != (vertical ? activeH : activeW)) {
            tags->ignored.push_back(vertical ? "BlackLevelDeltaV (wrong count)" : "BlackLevelDeltaH (wrong count)");
            continue;
        }
        *delta.second = std::move(values);
        tags->used.push_back(vertical ? "BlackLevelDeltaV" : "BlackLevelDeltaH");
    }

    NameIgnoredTags(t, tags);
    uint32_t bytes = 0;
    void* opcodes = nullptr;
    if (TIFFFindField(t, kOpcodeList2, TIFF_ANY) && TIFFGetField(t, kOpcodeList2, &bytes, &opcodes) && opcodes) {
        ReadOpcodes(static_cast<const uint8_t*>(opcodes), bytes, tags);
    }
    return true;
}

}  // namespace zeb_recgen
