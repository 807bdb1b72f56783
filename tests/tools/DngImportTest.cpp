// DNG import: DNG files written here with libtiff (directory first, data after,
// as Android writes them) become recordings whose RAW10 holds the files' CFA
// data scaled to 10 bits, whose AE and AWB dumps carry the files' ISO, exposure
// and white balance, which zebsim-inspect passes without a word and zebsim-hal
// plays with every frame matched.
// Files the import cannot take are refused with a reason and a non-zero exit.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "ToolsFixture.h"
#include "support/TestSupport.h"

namespace {
namespace fs = std::filesystem;
using zeb_test::At;
using namespace zeb_tools_test;

struct DngSpec {
    const char* name;
    int width, height;  // of the stored image
    int bits;
    const char* cfa;           // from the active area's top-left corner
    std::vector<float> black;  // one level, or four repeating from the active area's corner; none: no tag
    uint32_t white;            // 0: no tag
    uint32_t active[4];        // top, left, bottom, right; all 0: no tag
    int pedestal;              // -1: the tool's default, 64
    uint16_t iso;              // 0: no tag
    double exposure, fNumber;  // 0: no tag
    float neutral[3];          // 0: no tag
    uint16_t compression;
    bool demosaiced;  // LinearRaw, three samples a pixel
    int cutBytes;     // bytes cut off the end of the file; negative: only that many kept
    uint16_t blackRepeat = 0;  // BlackLevelRepeatDim each way; 0: 2 with four levels, none otherwise
    uint16_t orientation = 0;  // 0: no tag
    bool gainMaps = false;     // OpcodeList2: a gain map per site of the active area's cells, kGainOfSite
    int linearSamples = 0;     // LinearRaw with this many samples a pixel (1: monochrome)
    bool floating = false;     // SampleFormat 3
};

// Gain of each site (row * 2 + column of the active area's cell); site 0
// rises from 1 at the left edge to 2 at the right instead.
const float kGainOfSite[4] = {0, 1.5f, 1.25f, 3.0f};

// OpcodeList2 bytes (big-endian): one GainMap (opcode 9) per site, 2 x 2
// points over the whole active area.
std::vector<uint8_t> GainMapOpcodes(uint32_t activeW, uint32_t activeH) {
    std::vector<uint8_t> out;
    auto u32 = [&out](uint32_t v) {
        for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto f64 = [&u32](double v) {
        uint64_t bits;
        memcpy(&bits, &v, sizeof bits);
        u32(static_cast<uint32_t>(bits >> 32));
        u32(static_cast<uint32_t>(bits));
    };
    auto f32 = [&u32](float v) {
        uint32_t bits;
        memcpy(&bits, &v, sizeof bits);
        u32(bits);
    };
    u32(4);
    for (uint32_t site = 0; site < 4; ++site) {
        u32(9);
        u32(0x01030000);
        u32(0);
        u32(10 * 4 + 4 * 8 + 4 + 4 * 4);  // the parameters' bytes
        for (uint32_t v : {site / 2, site % 2, activeH, activeW, 0u, 1u, 2u, 2u, 2u, 2u}) u32(v);
        for (double v : {1.0, 1.0, 0.0, 0.0}) f64(v);
        u32(1);
        for (int point = 0; point < 4; ++point) f32(site == 0 ? 1.0f + static_cast<float>(point % 2) : kGainOfSite[site]);
    }
    return out;
}

uint32_t WhiteOf(const DngSpec& s) { return s.white ? s.white : (1u << s.bits) - 1; }

// Samples run through black, the range and past the white level.
uint16_t Stored(const DngSpec& s, int seed, int x, int y) {
    const uint32_t top = std::min<uint32_t>(WhiteOf(s) + WhiteOf(s) / 16 + 1, 1u << s.bits);
    return static_cast<uint16_t>(
        (static_cast<uint32_t>(x) * 37 + static_cast<uint32_t>(y) * 101 + static_cast<uint32_t>(seed) * 997) % top);
}

// The TIFF/EP tags Android writes into IFD 0 and libtiff knows only in EXIF.
const TIFFFieldInfo kIfd0Exif[] = {
    {33434, 1, 1, TIFF_RATIONAL, FIELD_CUSTOM, 1, 0, const_cast<char*>("ExposureTime")},
    {33437, 1, 1, TIFF_RATIONAL, FIELD_CUSTOM, 1, 0, const_cast<char*>("FNumber")},
    {34855, -1, -1, TIFF_SHORT, FIELD_CUSTOM, 1, 1, const_cast<char*>("ISOSpeedRatings")},
    {51009, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_UNDEFINED, FIELD_CUSTOM, 1, 1, const_cast<char*>("OpcodeList2")},
};

void PrintTo(const DngSpec& s, std::ostream* out) { *out << s.name; }

void WriteDng(const std::string& path, const DngSpec& s, int seed) {
    // Reading the directory back warns of the IFD 0 tags; the warnings are noise.
    TIFFSetWarningHandler(nullptr);
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFMergeFieldInfo(tif, kIfd0Exif, 4);
    const int samples = s.linearSamples ? s.linearSamples : s.demosaiced ? 3 : 1;
    const uint8_t version[4] = {1, 4, 0, 0};
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, s.compression);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, s.demosaiced || s.linearSamples ? 34892 : PHOTOMETRIC_CFA);
    if (s.floating) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    if (s.orientation) TIFFSetField(tif, TIFFTAG_ORIENTATION, s.orientation);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, s.height);
    TIFFSetField(tif, TIFFTAG_MAKE, "Zeb");
    TIFFSetField(tif, TIFFTAG_MODEL, "Test");
    TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Zeb Test");
    TIFFSetField(tif, TIFFTAG_DNGVERSION, version);
    TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, version);
    if (!s.demosaiced) {
        const uint16_t dim[2] = {2, 2};
        uint8_t cfa[4];
        for (int i = 0; i < 4; ++i) cfa[i] = s.cfa[i] == 'R' ? 0 : s.cfa[i] == 'G' ? 1 : 2;
        TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, dim);
        TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, cfa);
    }
    if (s.black.size() == 4 || s.blackRepeat) {
        const uint16_t repeat = s.blackRepeat ? s.blackRepeat : 2;
        const uint16_t dim[2] = {repeat, repeat};
        TIFFSetField(tif, TIFFTAG_BLACKLEVELREPEATDIM, dim);
    }
    if (s.gainMaps) {
        const std::vector<uint8_t> opcodes =
            GainMapOpcodes(s.active[2] ? s.active[3] - s.active[1] : static_cast<uint32_t>(s.width),
                           s.active[2] ? s.active[2] - s.active[0] : static_cast<uint32_t>(s.height));
        TIFFSetField(tif, 51009, static_cast<uint32_t>(opcodes.size()), opcodes.data());
    }
    if (!s.black.empty()) TIFFSetField(tif, TIFFTAG_BLACKLEVEL, static_cast<uint16_t>(s.black.size()), s.black.data());
    if (s.white) TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, &s.white);
    if (s.active[2]) TIFFSetField(tif, TIFFTAG_ACTIVEAREA, s.active);
    const float identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, identity);
    TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21);
    if (s.neutral[0] > 0) TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, s.neutral);
    if (s.exposure > 0) TIFFSetField(tif, 33434, s.exposure);
    if (s.fNumber > 0) TIFFSetField(tif, 33437, s.fNumber);
    if (s.iso) TIFFSetField(tif, 34855, 1, &s.iso);
    // Directory first, data after it, so a cut file keeps its header.
    TIFFDeferStrileArrayWriting(tif);
    TIFFWriteCheck(tif, 0, "dng");
    TIFFWriteDirectory(tif);
    TIFFSetDirectory(tif, 0);
    std::vector<uint8_t> data;
    for (int y = 0; y < s.height; ++y) {
        // 16-bit samples in the host's (the file's) byte order; other depths
        // bit-packed, most significant bit first, each row from a byte boundary.
        uint64_t bits = 0;
        int pending = 0;
        for (int x = 0; x < s.width * samples; ++x) {
            if (s.bits == 16) {
                const uint16_t sample = Stored(s, seed, x, y);
                data.insert(data.end(), reinterpret_cast<const uint8_t*>(&sample),
                            reinterpret_cast<const uint8_t*>(&sample) + 2);
                continue;
            }
            bits = bits << s.bits | Stored(s, seed, x, y);
            for (pending += s.bits; pending >= 8; pending -= 8)
                data.push_back(static_cast<uint8_t>(bits >> (pending - 8)));
        }
        if (pending) data.push_back(static_cast<uint8_t>(bits << (8 - pending)));
    }
    ASSERT_GE(TIFFWriteEncodedStrip(tif, 0, data.data(), static_cast<tmsize_t>(data.size())), 0);
    TIFFForceStrileArrayWriting(tif);
    TIFFClose(tif);
    if (s.cutBytes > 0) fs::resize_file(path, fs::file_size(path) - static_cast<uintmax_t>(s.cutBytes));
    if (s.cutBytes < 0) fs::resize_file(path, static_cast<uintmax_t>(-s.cutBytes));
}

// Where the image starts: the active area's corner, one row or column
// further in where its margin is odd (whole cells of the file's data).
int Shift(uint32_t margin) { return static_cast<int>(margin % 2); }

// The 10-bit image the sensor driver must receive, computed from the DNG's
// own numbers: active area cut to whole groups of four by whole cells, black
// level (rounded, its pattern from the active area's corner) to the
// pedestal, white level to 1023, rounded half up.
std::vector<uint16_t> Expected(const DngSpec& s, int seed, int* width, int* height) {
    const int dy = Shift(s.active[0]), dx = Shift(s.active[1]);
    const int top = static_cast<int>(s.active[0]) + dy, left = static_cast<int>(s.active[1]) + dx;
    const int activeW = s.active[2] ? static_cast<int>(s.active[3]) - left : s.width;
    const int activeH = s.active[2] ? static_cast<int>(s.active[2]) - top : s.height;
    *width = activeW / 4 * 4;
    *height = activeH / 2 * 2;
    const double pedestal = s.pedestal < 0 ? 64 : s.pedestal;
    std::vector<uint16_t> out;
    for (int y = 0; y < *height; ++y) {
        for (int x = 0; x < *width; ++x) {
            const double black = std::floor(
                (s.black.empty()       ? 0
                 : s.black.size() == 4 ? s.black[((y + dy) % 2) * 2 + (x + dx) % 2]
                                       : s.black[0]) +
                0.5);
            const double value = Stored(s, seed, x + left, y + top);
            const double scaled =
                std::floor(pedestal + (value - black) * (1023 - pedestal) / (WhiteOf(s) - black) + 0.5);
            out.push_back(static_cast<uint16_t>(std::min(std::max(scaled, 0.0), 1023.0)));
        }
    }
    return out;
}

std::vector<uint16_t> UnpackRaw10(const std::string& bytes) {
    std::vector<uint16_t> pixels;
    for (size_t g = 0; g + 5 <= bytes.size(); g += 5) {
        const auto* b = reinterpret_cast<const uint8_t*>(bytes.data() + g);
        for (int k = 0; k < 4; ++k) pixels.push_back(static_cast<uint16_t>(b[k] << 2 | ((b[4] >> (2 * k)) & 3)));
    }
    return pixels;
}

zeb_test::ProgramRun Import(const zeb_test::TempDir& root, const std::vector<std::string>& files, int pedestal) {
    std::vector<std::string> arguments = {kRecgen, "-o", root / "rec", "--frames", "2"};
    arguments.insert(arguments.end(), {"--task-list", root / kTaskList});
    if (pedestal >= 0) arguments.insert(arguments.end(), {"--pedestal", std::to_string(pedestal)});
    arguments.push_back("--from-dng");
    arguments.insert(arguments.end(), files.begin(), files.end());
    return zeb_test::RunProgram(arguments);
}

// clang-format off
const DngSpec kPlayable[] = {
    // name, size, bits, pattern, black, white, active area, pedestal, ISO, exposure, f-number, neutral
    {"Bits12RggbInAnActiveArea", 78, 35, 12, "RGGB", {240, 250, 256, 266}, 4000, {2, 4, 33, 74}, -1, 400, 0.01, 2.0,
     {0.5f, 1.0f, 0.625f}, 1, false, 0},
    {"Bits14GbrgWithoutLevelsOrIso", 72, 30, 14, "GBRG", {}, 0, {}, 0, 0, 0.25, 0, {}, 1, false, 0},
    {"Bits16GrbgTenBitValues", 64, 24, 16, "GRBG", {64}, 1023, {}, 64, 50, 0.0005, 1.8, {0.4f, 1.0f, 0.8f}, 1, false, 0},
    // Odd margins: the image starts a row and a column in, where the file's
    // own pattern puts blue; fractional levels as Android writes them; a
    // phone held upright; lens shading gain maps.
    {"OddMarginsFractionalBlackTurnedWithShading", 78, 35, 16, "RGGB", {40.4f, 63.95f, 64.2f, 89.6f}, 1023,
     {3, 5, 33, 75}, 64, 100, 0.01, 2.0, {}, 1, false, 0, 0, 6, true},
};
// clang-format on

class DngImport : public ::testing::TestWithParam<DngSpec> {};

TEST_P(DngImport, TheDriverGetsTheCfaDataScaledToTenBitsAndTheDumpsCarryTheFilesExposure) {
    const DngSpec& s = GetParam();
    zeb_test::TempDir root;
    const std::vector<std::string> files = {root / "a.dng", root / "b.dng"};
    for (int seed = 0; seed < 2; ++seed) ASSERT_NO_FATAL_FAILURE(WriteDng(files[seed], s, seed));
    const auto import = Import(root, files, s.pedestal);
    ASSERT_EQ(import.status, 0) << import.out << import.err;
    EXPECT_TRUE(fs::is_regular_file(root / "rec/preview.html")) << "the import's contact sheet";
    // A line per file as it is written, before the summary.
    EXPECT_EQ(import.out.find("[1/2] " + files[0] + "\n[2/2] " + files[1] + "\n"), 0u) << import.out;

    pugi::xml_document list;
    ASSERT_TRUE(list.load_file((root / kTaskList).c_str()));
    // The pattern of the image's first cell.
    const int dy = Shift(s.active[0]), dx = Shift(s.active[1]);
    std::string pattern;
    for (int i = 0; i < 4; ++i) pattern += s.cfa[((i / 2 + dy) % 2) * 2 + (i % 2 + dx) % 2];
    EXPECT_EQ(std::string(list.child("input").child_value("pattern")), pattern);
    std::vector<std::string> folders;
    for (pugi::xml_node path : list.child("input").child("TaskList").child("image").children("inputpath")) {
        folders.push_back(path.text().get());
    }
    ASSERT_EQ(folders.size(), 2u) << "both files in one task";

    const double iso = s.iso ? s.iso : 100;
    for (int seed = 0; seed < 2; ++seed) {
        SCOPED_TRACE(folders[seed]);
        int width = 0, height = 0;
        const std::vector<uint16_t> expected = Expected(s, seed, &width, &height);
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        const std::string folder = folders[seed] + "/IMG_";
        const std::string raw = zeb_test::ReadFile(folder + size + "_" + std::to_string(seed) + ".mipi_raw");
        ASSERT_EQ(raw.size(), static_cast<size_t>(width) * 5 / 4 * height);
        const std::vector<uint16_t> got = UnpackRaw10(raw);
        const auto differ = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
        EXPECT_TRUE(differ.first == got.end()) << "pixel " << (differ.first - got.begin()) << " is " << *differ.first
                                               << ", the file's value scaled is " << *differ.second;
        EXPECT_EQ(fs::file_size(folder + size + "_" + std::to_string(seed) + ".cap.yuv_nv21"),
                  static_cast<uintmax_t>(width) * height * 3 / 2);

        const std::string ae = zeb_test::ReadFile(folder + std::to_string(seed) + "_AE_RESULT_INFO.bin");
        ASSERT_EQ(ae.size(), 1248u);
        EXPECT_EQ(At<int32_t>(ae.data(), 96), std::lround(iso)) << "ISO";
        EXPECT_EQ(At<int32_t>(ae.data(), 84), std::lround(iso * 128 / 100)) << "gain, ISO 100 = 128";
        const double bv = 2 * std::log2(s.fNumber != 0.0 ? s.fNumber : 2.0) - std::log2(s.exposure) - std::log2(iso / 3.125);
        EXPECT_EQ(At<int32_t>(ae.data(), 0), std::lround(100 * bv)) << "bv";
        EXPECT_EQ(At<float>(ae.data(), 12), 0.0f) << "EV";
        // Lens shading: four sites per cell, 32 cells a row, each the gain of
        // its site's map at the cell's centre (1024 = 1x).
        const std::string lsc = zeb_test::ReadFile(folder + std::to_string(seed) + "_LSC_RESULT_TABLE_INFO.bin");
        ASSERT_GE(lsc.size(), 32u * 4 * 2);
        for (int cell = 0; cell < 32; ++cell) {
            for (int site = 0; site < 4; ++site) {
                const int fileSite = ((site / 2 + dy) % 2) * 2 + (site % 2 + dx) % 2;
                const double x = dx + (cell + 0.5) / 32 * width;
                const double activeW = s.active[2] ? s.active[3] - s.active[1] : s.width;
                const double gain = !s.gainMaps ? 1 : fileSite == 0 ? 1 + x / activeW : kGainOfSite[fileSite];
                EXPECT_NEAR(At<uint16_t>(lsc.data(), 2 * (4 * static_cast<size_t>(cell) + site)), 1024 * gain, 2)
                    << "cell " << cell << " site " << site;
            }
        }
        const std::string awb = zeb_test::ReadFile(folder + std::to_string(seed) + "_AWB_CALC_INFO.bin");
        ASSERT_EQ(awb.size(), 120u);
        for (int c = 0; c < 3; ++c) {
            const double gain = s.neutral[0] > 0 ? 1024.0 * s.neutral[1] / s.neutral[c] : 1024;
            EXPECT_EQ(At<uint32_t>(awb.data(), 4 * static_cast<size_t>(c)), std::lround(gain)) << "gain of channel " << c;
        }
    }

    // The scene record turns the picture as the file says; the raw above
    // stayed as the sensor gave it.
    const std::string scene = zeb_test::ReadFile(folders[0] + "/iscene_Info.xml");
    const std::string degrees = s.orientation == 6 ? "90" : "0";
    EXPECT_NE(scene.find("<device_orientation>" + degrees + "</device_orientation>"), std::string::npos) << scene;
    EXPECT_NE(scene.find("<jpegOrientation>" + degrees + "</jpegOrientation>"), std::string::npos) << scene;
    // The summary names what was taken from the file and what was not.
    const size_t used = import.out.find("tags used: "), ignored = import.out.find("tags ignored: ");
    ASSERT_NE(used, std::string::npos) << import.out;
    ASSERT_NE(ignored, std::string::npos) << import.out;
    const std::string usedLine = import.out.substr(used, import.out.find('\n', used) - used);
    const std::string ignoredLine = import.out.substr(ignored, import.out.find('\n', ignored) - ignored);
    EXPECT_NE(ignoredLine.find("ColorMatrix1"), std::string::npos) << ignoredLine;
    for (const char* tag : {"BlackLevel", "OpcodeList2 GainMap", "Orientation", "ActiveArea"}) {
        const bool present = std::string(tag) == "BlackLevel"            ? !s.black.empty()
                             : std::string(tag) == "OpcodeList2 GainMap" ? s.gainMaps
                             : std::string(tag) == "Orientation"         ? s.orientation != 0
                                                                         : s.active[2] != 0;
        EXPECT_EQ(usedLine.find(tag) != std::string::npos, present) << tag << ": " << usedLine;
    }

    // The inspector finds nothing to say of an import; the raw that reaches
    // the fake driver is matched byte for byte against the files just checked,
    // with the pattern of the task list in the context.
    ASSERT_NO_FATAL_FAILURE(ExpectInspectsClean(root.path()));
    ExpectPlaysWhole(root.path(), 1, 2);
}

TEST(DngImportLayout, AnImportInTheDeviceLayoutPlaysWhereverItIsMoved) {
    const DngSpec& s = kPlayable[0];
    zeb_test::TempDir root;
    const std::vector<std::string> files = {root / "a.dng", root / "b.dng", root / "c.dng"};
    for (int seed = 0; seed < 3; ++seed) ASSERT_NO_FATAL_FAILURE(WriteDng(files[seed], s, seed));
    std::vector<std::string> arguments = {kRecgen, "--device-root", root / "made", "--frames", "2", "--from-dng"};
    arguments.insert(arguments.end(), files.begin(), files.end());
    const auto import = zeb_test::RunProgram(arguments);
    ASSERT_EQ(import.status, 0) << import.out << import.err;
    EXPECT_EQ(zeb_test::ReadFile(root / ("made/" + kTaskList)).find(root.path()), std::string::npos)
        << "the task list names host paths";
    fs::rename(root / "made", root / "moved");
    ExpectPlaysWhole(root / "moved", 2);
}

INSTANTIATE_TEST_SUITE_P(Variants, DngImport, ::testing::ValuesIn(kPlayable),
                         [](const ::testing::TestParamInfo<DngSpec>& instance) { return std::string(instance.param.name); });

struct Refusal {
    const char* name;
    DngSpec first;
    const char* second;  // pattern of a second, otherwise valid file; null: one file
    const char* reason;
};

// clang-format off
const DngSpec kGood = {"", 64, 24, 12, "RGGB", {256}, 4095, {}, -1, 100, 0.01, 2.0, {}, 1, false, 0};

DngSpec With(DngSpec s, uint16_t compression, bool demosaiced, int cutBytes) {
    s.compression = compression;
    s.demosaiced = demosaiced;
    s.cutBytes = cutBytes;
    return s;
}

template <class Change>
DngSpec Changed(DngSpec s, Change change) {
    change(s);
    return s;
}

const Refusal kRefusals[] = {
    {"Deflate", With(kGood, COMPRESSION_ADOBE_DEFLATE, false, 0), nullptr, "compression 8 (Deflate) is not supported"},
    {"Demosaiced", With(kGood, 1, true, 0), nullptr, "not a 2 x 2 Bayer CFA image"},
    {"Truncated", With(kGood, 1, false, 100), nullptr, "truncated"},
    {"HeaderCut", With(kGood, 1, false, -120), nullptr, "LibRaw cannot read it"},
    {"TwoSensors", kGood, "GRBG", "a recording plays one sensor"},
    {"Monochrome", Changed(kGood, [](DngSpec& s) { s.linearSamples = 1; }), nullptr, "monochrome"},
    {"FloatingPoint", Changed(kGood, [](DngSpec& s) { s.floating = true; s.bits = 16; }), nullptr, "floating-point"},
    {"ActiveAreaPastTheEdge", Changed(kGood, [](DngSpec& s) { s.active[2] = 30; s.active[3] = 64; }), nullptr,
     "the ActiveArea (top 0, left 0, bottom 30, right 64) lies outside the 64 x 24 image"},
    {"RepeatDimPastItsValues", Changed(kGood, [](DngSpec& s) { s.blackRepeat = 2; }), nullptr,
     "BlackLevelRepeatDim is 2 x 2 but BlackLevel gives 1 value(s), not 4"},
};
// clang-format on

void PrintTo(const Refusal& r, std::ostream* out) { *out << r.name; }

class DngRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(DngRefusal, IsNamedWithItsReasonAndLeavesNoTaskList) {
    const Refusal& r = GetParam();
    zeb_test::TempDir root;
    std::vector<std::string> files = {root / "a.dng"};
    ASSERT_NO_FATAL_FAILURE(WriteDng(files[0], r.first, 0));
    if (r.second) {
        DngSpec other = kGood;
        other.cfa = r.second;
        files.push_back(root / "b.dng");
        ASSERT_NO_FATAL_FAILURE(WriteDng(files[1], other, 1));
    }
    const auto import = Import(root, files, -1);
    EXPECT_EQ(import.status, 1);
    const std::string log = import.out + import.err;
    EXPECT_NE(log.find(files.back() + ": "), std::string::npos) << log;
    EXPECT_NE(log.find(r.reason), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(root / kTaskList));
    // Nothing at all is left: no block list, no output or frame folders.
    for (const auto& entry : fs::directory_iterator(root.path())) {
        EXPECT_EQ(entry.path().extension(), ".dng") << entry.path() << " left behind";
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DngRefusal, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal>& instance) { return std::string(instance.param.name); });

}  // namespace
