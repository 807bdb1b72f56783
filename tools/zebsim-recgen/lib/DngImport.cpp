#include "zebsim-recgen/lib/DngImport.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <pugixml.hpp>

#include "core/records/Field.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "frame/RawKernels.h"
#include "frame/ZEBFrame.h"

namespace zeb_recgen {
namespace {

namespace fs = std::filesystem;
using ZEB::WriteField;

// CCM_INFO (18 bytes): a colour correction matrix of the AWB result's form.
constexpr size_t kCcmInfo = 0;

// What a DNG cannot tell.
constexpr double kNeutralIso = 100;
constexpr double kNeutralFNumber = 2.0;
constexpr uint32_t kNeutralCt = 5000;
constexpr uint32_t kUnityGain = 128;  // AE and scene gains
constexpr uint16_t kUnityTable = 1024;

constexpr unsigned kUncompressed = 1;
constexpr unsigned kLosslessJpeg = 7;
constexpr int kIsoTag = 34855;          // ISOSpeedRatings
constexpr unsigned kCblackPattern = 6;  // LibRaw's black pattern starts here in cblack[]

std::string CompressionName(unsigned compression) {
    switch (compression) {
        case 8:
        case 32946:
            return "Deflate";
        case 34892:
            return "lossy JPEG";
        case 52546:
            return "JPEG XL";
        default:
            return "unknown";
    }
}

// Android writes ISOSpeedRatings into IFD 0, where LibRaw does not look for it
// (it reads the tag in an EXIF directory only). LibRaw's parser hands the tags
// it meets to this callback: those of an image directory carry the
// directory's number above bit 20, those of an EXIF directory nothing; tags
// with bits 16 to 19 set come from other parsers (maker notes) and are left.
struct IsoTag {
    bool found = false;
    uint32_t value = 0;
};

void OnTag(void* context, int tag, int type, int count, unsigned int order, void* stream, INT64) {
    auto* iso = static_cast<IsoTag*>(context);
    if (iso->found || (tag & 0xffff) != kIsoTag || ((tag >> 16) & 0xf) != 0 || count < 1 || !stream) return;
    const int size = type == 3 ? 2 : type == 4 ? 4 : 0;  // SHORT or LONG
    uint8_t bytes[4] = {0, 0, 0, 0};
    if (size == 0 || static_cast<LibRaw_abstract_datastream*>(stream)->read(bytes, 1, size) != size) return;
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) value |= static_cast<uint32_t>(bytes[order == 0x4949 ? i : size - 1 - i]) << (8 * i);
    iso->found = value > 0;
    iso->value = value;
}

bool Fail(std::string* error, const std::string& path, const std::string& why) {
    if (error) *error = path + ": " + why;
    return false;
}

bool Plausible(double value, double low, double high) { return std::isfinite(value) && value >= low && value <= high; }

int64_t FloorDiv(int64_t num, int64_t den) { return num >= 0 ? num / den : -((-num + den - 1) / den); }

// The black level of each pixel of the active area as LibRaw holds it: a
// common level, a level per colour and a repeating pattern whose origin is
// the active area's top-left corner. Read again after unpacking, which may
// measure the levels on masked pixels.
class BlackLevels {
   public:
    bool Read(LibRaw& raw) {
        const libraw_colordata_t& colour = raw.imgdata.color;
        mRows = colour.cblack[4];
        mCols = colour.cblack[5];
        if (static_cast<uint64_t>(mRows) * mCols > LIBRAW_CBLACK_SIZE - kCblackPattern) return false;
        if (mRows == 0 || mCols == 0) mRows = mCols = 0;
        mPattern.assign(colour.cblack + kCblackPattern, colour.cblack + kCblackPattern + mRows * mCols);
        for (int i = 0; i < 4; ++i) mSite[i] = int64_t{colour.black} + colour.cblack[raw.COLOR(i / 2, i % 2) & 3];
        mHighest = 0;
        const int rows = static_cast<int>(std::max(2u, 2 * mRows)), cols = static_cast<int>(std::max(2u, 2 * mCols));
        for (int row = 0; row < rows; ++row) {
            for (int col = 0; col < cols; ++col) mHighest = std::max(mHighest, At(row, col));
        }
        return true;
    }
    int64_t At(int row, int col) const {
        const int64_t site = mSite[(row & 1) * 2 + (col & 1)];
        if (mRows == 0) return site;
        return site + mPattern[(static_cast<unsigned>(row) % mRows) * mCols + static_cast<unsigned>(col) % mCols];
    }
    int64_t Highest() const { return mHighest; }

   private:
    int64_t mSite[4] = {0, 0, 0, 0};
    unsigned mRows = 0, mCols = 0;
    std::vector<unsigned> mPattern;
    int64_t mHighest = 0;
};

// Levels that leave the scale no range are refused.
bool LevelsUsable(LibRaw& raw, BlackLevels* black, const std::string& path, std::string* error) {
    if (!black->Read(raw)) return Fail(error, path, "the black level pattern is larger than LibRaw holds");
    const unsigned white = raw.imgdata.color.maximum;
    if (int64_t{white} <= black->Highest()) {
        return Fail(error, path,
                    "the white level " + std::to_string(white) + " is not above the black level " +
                        std::to_string(black->Highest()));
    }
    return true;
}

// The 1/2.2 curve, 257 points from 0 to 1023: the tone curve the reference
// image is rendered with, recorded as the XTM result's gamma.
uint16_t GammaPoint(size_t i) {
    return static_cast<uint16_t>(std::lround(1023 * std::pow(static_cast<double>(i) / 256, 1 / 2.2)));
}

std::vector<uint8_t> Dump(const DngFrame& frame, int row, uint32_t lum) {
    std::vector<uint8_t> bytes(DumpSize(Options(), row), 0);
    uint8_t* b = bytes.data();
    const size_t size = bytes.size();
    switch (row) {
        case ZEB::DF_AE_RESULT_INFO:
            if (size < ZEB::AeResult::kSize) break;
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kBv, DngBv(frame));
            ZEB::WriteField<uint32_t>(b, ZEB::AeResult::kLum, lum);
            ZEB::WriteField<float>(b, ZEB::AeResult::kEv, 0.0f);
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kGain, DngGain(frame));
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kIso, DngIso(frame));
            break;
        case ZEB::DF_AWB_CALC_INFO: {
            if (size < ZEB::AwbCalc::kSize) break;
            const size_t gains[3] = {ZEB::AwbCalc::kGainR, ZEB::AwbCalc::kGainG, ZEB::AwbCalc::kGainB};
            for (int c = 0; c < 3; ++c) ZEB::WriteField<uint32_t>(b, gains[c], frame.wbGain[c]);
            ZEB::WriteField<uint32_t>(b, ZEB::AwbCalc::kCt, kNeutralCt);
            for (int i = 0; i < 3; ++i) ZEB::WriteField<int16_t>(b, ZEB::AwbCalc::kCcm + 8 * i, 1024);
            break;
        }
        case ZEB::DF_CCM_INFO:
            if (size < kCcmInfo + 18) break;
            for (int i = 0; i < 3; ++i) WriteField<int16_t>(b, kCcmInfo + 8 * i, 1024);
            break;
        case ZEB::DF_ISCENE_INFO:
            // Begins like the task's scene record.
            if (size < ZEB::SceneRecord::kSize) break;
            WriteField<uint32_t>(b, ZEB::SceneRecord::kWidth, static_cast<uint32_t>(frame.width));
            WriteField<uint32_t>(b, ZEB::SceneRecord::kHeight, static_cast<uint32_t>(frame.height));
            WriteField<float>(b, ZEB::SceneRecord::kZoomRatio, 1.0f);
            WriteField<int32_t>(b, ZEB::SceneRecord::kBv, DngBv(frame));
            WriteField<uint32_t>(b, ZEB::SceneRecord::kSensorGain, static_cast<uint32_t>(DngGain(frame)));
            WriteField<uint32_t>(b, ZEB::SceneRecord::kIspGain, kUnityGain);
            WriteField<uint32_t>(b, ZEB::SceneRecord::kAwbCt, kNeutralCt);
            break;
        case ZEB::DF_LSC_RESULT_TABLE_INFO: {
            const std::vector<uint16_t> table = DngShadingTable(frame, size / 2);
            for (size_t i = 0; i < table.size(); ++i) WriteField<uint16_t>(b, 2 * i, table[i]);
            break;
        }
        case ZEB::DF_LSC_RESULT_WTABLE_INFO:
            for (size_t i = 0; i + 2 <= size; i += 2) WriteField<uint16_t>(b, i, kUnityTable);
            break;
        case ZEB::DF_XTM_RESULT_INFO:
            if (size < ZEB::XtmResult::kSize) break;
            for (size_t i = 0; i < ZEB::XtmResult::kGammaPoints; ++i) {
                ZEB::WriteField<uint16_t>(b, ZEB::XtmResult::kGamma + 2 * i, GammaPoint(i));
            }
            break;
        default:
            break;
    }
    return bytes;
}

SceneValues SceneOf(const DngFrame& first) {
    SceneValues scene;
    scene.prvScenarioId = 0;
    scene.capScenarioId = 0;
    scene.bv = DngBv(first);
    scene.sensorGain = static_cast<uint32_t>(DngGain(first));
    scene.ispGain = kUnityGain;
    scene.awbCt = kNeutralCt;
    scene.aiSceneType = 0;
    scene.totalNum = 1;
    scene.mergeFrameNum = 1;
    scene.faceCount = 0;
    scene.aeMode = 1;
    // The raw stays as the sensor delivered it; how it is to be turned is
    // what the device's orientation fields say.
    const int degrees = OrientationDegrees(first.orientation);
    if (degrees > 0) scene.deviceOrientation = scene.jpegOrientation = degrees;
    return scene;
}

FrameFiles WriteFrame(const DngFrame& frame, const std::string& folder, int serial, int task, int index,
                      const DngImportOptions& options) {
    const int pedestal = options.pedestal;
    FrameFiles files = NewFrameFiles(folder, serial, task, index);
    const std::string id = std::to_string(serial);
    files.rawPath = ImagePath(folder, frame.width, frame.height, serial, ".mipi_raw");
    const size_t line = static_cast<size_t>(ZEB::ZEBFrame::PackedLineBytes(frame.width));
    std::vector<uint8_t> packed(line * static_cast<size_t>(frame.height));
    ZEB::raw::PackRaw10(frame.samples.data(), frame.width, frame.height, line, packed.data());
    WriteBytes(files.rawPath, packed.data(), packed.size());
    std::string error;
    if (options.preview && !WriteRawPreviewPng(folder + "/preview.png", packed.data(), frame.width, frame.height, line,
                                               frame.pattern, &error)) {
        throw std::runtime_error(error);
    }

    files.yuvPath = ImagePath(folder, frame.width, frame.height, serial, ".cap.yuv_nv21");
    const std::vector<uint8_t> nv21 = DemosaicNv21(frame, pedestal);
    WriteBytes(files.yuvPath, nv21.data(), nv21.size());
    const size_t lumaBytes = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    uint64_t lumaSum = 0;
    for (size_t i = 0; i < lumaBytes; ++i) lumaSum += nv21[i];
    const uint32_t lum = static_cast<uint32_t>((lumaSum + lumaBytes / 2) / std::max<size_t>(lumaBytes, 1));

    for (int row = ZEB::DF_AFM; row < ZEB::kDataFormatCount; ++row) {
        const std::string path = folder + "/IMG_" + id + "_" + ZEB::DataFileSpecOf(row).subFix;
        const std::vector<uint8_t> bytes = Dump(frame, row, lum);
        WriteBytes(path, bytes.data(), bytes.size());
        files.dumpPaths[row] = path;
    }
    return files;
}

}  // namespace

int32_t DngIso(const DngFrame& frame) {
    return static_cast<int32_t>(std::lround(frame.hasIso ? frame.iso : kNeutralIso));
}

int32_t DngGain(const DngFrame& frame) {
    return static_cast<int32_t>(std::lround((frame.hasIso ? frame.iso : kNeutralIso) * kUnityGain / 100));
}

int32_t DngBv(const DngFrame& frame) {
    if (!frame.hasExposure) return 0;
    // APEX: Bv = Av + Tv - Sv, with Sv = log2(ISO / 3.125) (5 at ISO 100).
    const double fNumber = frame.hasAperture ? frame.fNumber : kNeutralFNumber;
    const double iso = frame.hasIso ? frame.iso : kNeutralIso;
    const double bv = 2 * std::log2(fNumber) - std::log2(frame.exposureSeconds) - std::log2(iso / 3.125);
    return static_cast<int32_t>(std::lround(100 * bv));
}

namespace {

// A 2 x 2 Bayer CFA, whose colours at the active area's top-left corner give
// the pattern.
bool ReadBayerPattern(LibRaw& raw, const std::string& path, DngFrame* frame, std::string* error) {
    const libraw_data_t& data = raw.imgdata;
    if (data.idata.dng_version == 0) return Fail(error, path, "not a DNG file");
    const unsigned filters = data.idata.filters;
    if (filters < 1000 || data.idata.colors != 3 || strncmp(data.idata.cdesc, "RGB", 3) != 0 ||
        (filters & 0xffu) * 0x01010101u != filters) {
        return Fail(error, path, "not a 2 x 2 Bayer CFA image (a demosaiced, monochrome or other-pattern DNG)");
    }
    // Colours of the cell at the active area's top-left corner; LibRaw names
    // the second green 3.
    int sites[4];
    for (int i = 0; i < 4; ++i) {
        const int colour = raw.COLOR(i / 2, i % 2);
        sites[i] = colour == 3 ? 1 : colour;
    }
    const int kCells[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    int pattern = -1;
    for (int p = 0; p < 4; ++p) {
        if (std::equal(sites, sites + 4, kCells[p])) pattern = p;
    }
    if (pattern < 0)
        return Fail(error, path, "the 2 x 2 CFA cell is not a Bayer cell of one red, two greens and one blue");
    frame->pattern = static_cast<BayerPattern>(pattern);
    return true;
}

// A compression, size and sample depth the import handles, in a file that
// holds the data its header promises.
bool CheckLayout(LibRaw& raw, uintmax_t fileSize, const std::string& path, DngFrame* frame, std::string* error) {
    const libraw_internal_data_t* internal = raw.get_internal_data_pointer();
    const unsigned compression = internal->unpacker_data.tiff_compress;
    if (compression != kUncompressed && compression != kLosslessJpeg) {
        return Fail(error, path,
                    "compression " + std::to_string(compression) + " (" + CompressionName(compression) +
                        ") is not supported: the CFA data must be uncompressed or lossless JPEG");
    }
    const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
    const int64_t rawWidth = sizes.raw_width, rawHeight = sizes.raw_height;
    if (rawWidth > kDngMaxSide || rawHeight > kDngMaxSide || rawWidth * rawHeight > kDngMaxPixels) {
        return Fail(error, path,
                    "the image is " + std::to_string(rawWidth) + " x " + std::to_string(rawHeight) + ", larger than " +
                        std::to_string(kDngMaxSide) + " pixels a side or " + std::to_string(kDngMaxPixels) + " in all");
    }
    if (int64_t{sizes.top_margin} + sizes.height > rawHeight || int64_t{sizes.left_margin} + sizes.width > rawWidth) {
        return Fail(error, path, "the active area lies outside the image");
    }
    // The RAW10 line holds whole groups of four pixels and the Bayer image
    // whole cells: the active area's right and bottom edges are cut to fit.
    frame->width = sizes.width / 4 * 4;
    frame->height = sizes.height / 2 * 2;
    if (frame->width < 4 || frame->height < 2) return Fail(error, path, "the active area is smaller than 4 x 2 pixels");
    const unsigned bits = internal->unpacker_data.tiff_bps;
    if (bits < 1 || bits > 16) return Fail(error, path, std::to_string(bits) + " bits per sample are not supported");
    frame->bits = static_cast<int>(bits);
    // The file must hold the data its header promises: every row when
    // uncompressed, at least a bit a sample otherwise.
    const uint64_t needed = compression == kUncompressed
                                ? (static_cast<uint64_t>(rawWidth) * bits + 7) / 8 * static_cast<uint64_t>(rawHeight)
                                : static_cast<uint64_t>(rawWidth * rawHeight) / 8;
    if (fileSize < needed) {
        return Fail(error, path,
                    "truncated: the CFA data takes at least " + std::to_string(needed) + " bytes, the file has " +
                        std::to_string(fileSize));
    }
    return true;
}

// The white and black levels, and what the frame takes from the file's tags.
bool ReadLevels(LibRaw& raw, const DngTags& tags, BlackLevels* black, const std::string& path, DngFrame* frame,
                std::string* error) {
    if (!LevelsUsable(raw, black, path, error)) return false;
    const libraw_colordata_t& colour = raw.imgdata.color;
    const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
    frame->whiteLevel = colour.maximum;
    frame->activeRow = static_cast<int>(sizes.top_margin) - static_cast<int>(tags.activeTop);
    frame->activeCol = static_cast<int>(sizes.left_margin) - static_cast<int>(tags.activeLeft);
    frame->orientation = tags.orientation;
    frame->gainMaps = tags.gainMaps;
    frame->usedTags = tags.used;
    frame->ignoredTags = tags.ignored;
    if (OrientationDegrees(tags.orientation) < 0) {
        frame->ignoredTags.push_back("Orientation " + std::to_string(tags.orientation) + " (mirrored)");
    }
    if (colour.maximum != 0) frame->usedTags.push_back("WhiteLevel");
    // The file's own levels, each from the active area's own corner: LibRaw's
    // pattern starts at the corner it moved to.
    if (tags.HasBlack()) {
        for (int row = 0; row < std::max(2, 2 * static_cast<int>(tags.blackRows)); ++row) {
            for (int col = 0; col < std::max(2, 2 * static_cast<int>(tags.blackCols)); ++col) {
                const int64_t level = tags.BlackAt(static_cast<uint32_t>(row), static_cast<uint32_t>(col));
                if (level >= int64_t{colour.maximum}) {
                    return Fail(error, path,
                                "the white level " + std::to_string(colour.maximum) +
                                    " is not above the black level " + std::to_string(level));
                }
            }
        }
    }
    return true;
}

// ISO, exposure time, aperture and the as-shot white balance, each where the
// file gives a plausible one.
void ReadExposure(const libraw_data_t& data, const IsoTag& isoTag, DngFrame* frame) {
    if (Plausible(data.other.iso_speed, 1, 1e6)) {
        frame->hasIso = true;
        frame->iso = data.other.iso_speed;
    } else if (isoTag.found && isoTag.value <= 1000000) {
        frame->hasIso = true;
        frame->iso = isoTag.value;
    }
    if (Plausible(data.other.shutter, 1e-9, 1e5)) {
        frame->hasExposure = true;
        frame->exposureSeconds = data.other.shutter;
    }
    if (Plausible(data.other.aperture, 0.5, 1000)) {
        frame->hasAperture = true;
        frame->fNumber = data.other.aperture;
    }
    // LibRaw turns the as-shot white balance into channel multipliers.
    const float* multipliers = data.color.cam_mul;
    if (Plausible(multipliers[0], 1e-6, 1e6) && Plausible(multipliers[1], 1e-6, 1e6) &&
        Plausible(multipliers[2], 1e-6, 1e6)) {
        frame->hasNeutral = true;
        for (int c = 0; c < 3; ++c) {
            const double gain = 1024.0 * multipliers[c] / multipliers[1];
            frame->wbGain[c] = static_cast<uint32_t>(std::lround(std::clamp(gain, 64.0, 16384.0)));
        }
    }
    for (const auto& tag : {std::make_pair(frame->hasIso, "ISOSpeedRatings"),
                            std::make_pair(frame->hasExposure, "ExposureTime"),
                            std::make_pair(frame->hasAperture, "FNumber"),
                            std::make_pair(frame->hasNeutral, "AsShotNeutral")}) {
        if (tag.first) frame->usedTags.push_back(tag.second);
    }
}

// Unpacks the CFA data and scales the active area's samples to 10 bits.
bool ReadSamples(LibRaw& raw, const DngTags& tags, BlackLevels* black, int pedestal, const std::string& path,
                 DngFrame* frame, std::string* error) {
    const int result = raw.unpack();
    if (result != LIBRAW_SUCCESS) {
        const bool damaged = result == LIBRAW_IO_ERROR || result == LIBRAW_DATA_ERROR;
        return Fail(
            error, path,
            std::string(damaged ? "the CFA data is truncated or damaged" : "LibRaw cannot decode the CFA data") + " (" +
                libraw_strerror(result) + ")");
    }
    if (!LevelsUsable(raw, black, path, error)) return false;
    const libraw_data_t& data = raw.imgdata;
    const libraw_colordata_t& colour = data.color;
    const libraw_image_sizes_t& sizes = data.sizes;
    const int64_t rawWidth = sizes.raw_width, rawHeight = sizes.raw_height;
    frame->whiteLevel = colour.maximum;
    const ushort* image = data.rawdata.raw_image;
    const size_t pitch = data.rawdata.sizes.raw_pitch / 2;
    const libraw_image_sizes_t& held = data.rawdata.sizes;
    if (!image || held.raw_width != sizes.raw_width || held.raw_height != sizes.raw_height ||
        pitch < static_cast<size_t>(rawWidth) || int64_t{sizes.top_margin} + frame->height > rawHeight ||
        int64_t{sizes.left_margin} + frame->width > rawWidth) {
        return Fail(error, path, "LibRaw gave no integer CFA samples (a floating-point DNG?)");
    }
    // 10-bit value: the black level goes to the pedestal, the white level to
    // 1023, rounded half up and clamped to 0..1023.
    const int64_t span = 1023 - pedestal;
    frame->samples.resize(static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height));
    for (int row = 0; row < frame->height; ++row) {
        const ushort* in = image + (static_cast<size_t>(row) + sizes.top_margin) * pitch + sizes.left_margin;
        uint16_t* out = &frame->samples[static_cast<size_t>(row) * static_cast<size_t>(frame->width)];
        for (int col = 0; col < frame->width; ++col) {
            const int64_t level = tags.HasBlack() ? tags.BlackAt(static_cast<uint32_t>(row + frame->activeRow),
                                                                 static_cast<uint32_t>(col + frame->activeCol))
                                                  : black->At(row, col);
            const int64_t range = int64_t{colour.maximum} - level;
            if (range <= 0) {
                return Fail(error, path,
                            "the white level " + std::to_string(colour.maximum) + " is not above the black level " +
                                std::to_string(level));
            }
            const int64_t value = pedestal + FloorDiv(2 * (in[col] - level) * span + range, 2 * range);
            out[col] = static_cast<uint16_t>(std::clamp<int64_t>(value, 0, 1023));
        }
    }
    return true;
}

}  // namespace

bool ReadDng(const std::string& path, int pedestal, bool withSamples, DngFrame* frame, std::string* error) {
    *frame = DngFrame();
    frame->path = path;
    if (pedestal < 0 || pedestal > 1022) return Fail(error, path, "the pedestal must lie between 0 and 1022");
    std::error_code failure;
    const uintmax_t fileSize = fs::file_size(path, failure);
    if (failure) return Fail(error, path, "cannot read the file: " + failure.message());

    // The tags first: what LibRaw would refuse as an "unsupported file
    // format" is named here with its reason. A file libtiff cannot open is
    // left to LibRaw to say so.
    DngTags tags;
    std::string tagError;
    if (!ReadDngTags(path, &tags, &tagError) && tags.opened) {
        if (error) *error = tagError;
        return false;
    }

    // LibRaw's object is large; it goes on the heap.
    auto raw = std::make_unique<LibRaw>();
    IsoTag isoTag;
    raw->set_exifparser_handler(&OnTag, &isoTag);
    const int result = raw->open_file(path.c_str());
    if (result != LIBRAW_SUCCESS) {
        return Fail(error, path, std::string("LibRaw cannot read it as a raw file (") + libraw_strerror(result) + ")");
    }
    if (!ReadBayerPattern(*raw, path, frame, error)) return false;
    if (!CheckLayout(*raw, fileSize, path, frame, error)) return false;
    BlackLevels black;
    if (!ReadLevels(*raw, tags, &black, path, frame, error)) return false;
    ReadExposure(raw->imgdata, isoTag, frame);
    if (!withSamples) return true;
    return ReadSamples(*raw, tags, &black, pedestal, path, frame, error);
}

std::vector<uint16_t> DngShadingTable(const DngFrame& frame, size_t count) {
    std::vector<uint16_t> table(count, kUnityTable);
    if (frame.gainMaps.empty() || frame.width < 1 || frame.height < 1) return table;
    const size_t cells = count / 4, rows = std::max<size_t>(cells / 32, 1);
    for (size_t k = 0; k < cells * 4; ++k) {
        const size_t cell = k / 4, site = k % 4;
        // The site's pixel in the active area's coordinates, and the map
        // that covers pixels of that parity.
        const int siteRow = static_cast<int>(site / 2) + frame.activeRow;
        const int siteCol = static_cast<int>(site % 2) + frame.activeCol;
        const DngGainMap* map = nullptr;
        for (const DngGainMap& candidate : frame.gainMaps) {
            if (static_cast<uint32_t>(siteRow) % candidate.rowPitch == candidate.top % candidate.rowPitch &&
                static_cast<uint32_t>(siteCol) % candidate.colPitch == candidate.left % candidate.colPitch) {
                map = &candidate;
                break;
            }
        }
        if (!map || map->bottom <= map->top || map->right <= map->left) continue;
        // Cell centres span the image; positions are relative to the map's area.
        const double x = frame.activeCol + (static_cast<double>(cell % 32) + 0.5) / 32 * frame.width;
        const double y = frame.activeRow + (static_cast<double>(cell / 32) + 0.5) / static_cast<double>(rows) * frame.height;
        const double gain = map->At((y - map->top) / (map->bottom - map->top), (x - map->left) / (map->right - map->left));
        table[k] = static_cast<uint16_t>(std::lround(std::clamp(gain * kUnityTable, 0.0, 65535.0)));
    }
    return table;
}

std::vector<uint8_t> DemosaicNv21(const DngFrame& frame, int pedestal) {
    const int width = frame.width, height = frame.height;
    const size_t lumaBytes = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> nv21(lumaBytes * 3 / 2, 128);
    if (frame.samples.size() < lumaBytes || width < 2 || height < 2) return nv21;
    // One curve per channel: pedestal off, white balance, 1/2.2 gamma.
    uint8_t curve[3][1024];
    for (int c = 0; c < 3; ++c) {
        for (int s = 0; s < 1024; ++s) {
            const double linear =
                std::max(0, s - pedestal) / static_cast<double>(1023 - pedestal) * frame.wbGain[c] / 1024;
            curve[c][s] = static_cast<uint8_t>(std::lround(255 * std::pow(std::min(linear, 1.0), 1 / 2.2)));
        }
    }
    static const int kSites[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    const int* sites = kSites[static_cast<uint32_t>(frame.pattern) & 3];
    for (int y = 0; y + 1 < height; y += 2) {
        const uint16_t* top = &frame.samples[static_cast<size_t>(y) * width];
        const uint16_t* bottom = top + width;
        uint8_t* luma = &nv21[static_cast<size_t>(y) * width];
        uint8_t* chroma = &nv21[lumaBytes + static_cast<size_t>(y / 2) * width];
        for (int x = 0; x + 1 < width; x += 2) {
            const uint16_t cell[4] = {top[x], top[x + 1], bottom[x], bottom[x + 1]};
            int sum[3] = {0, 0, 0}, count[3] = {0, 0, 0};
            for (int i = 0; i < 4; ++i) {
                sum[sites[i]] += cell[i] & 1023;
                ++count[sites[i]];
            }
            const int r = curve[0][sum[0] / count[0]], g = curve[1][sum[1] / count[1]], b = curve[2][sum[2] / count[2]];
            const uint8_t yValue = static_cast<uint8_t>((77 * r + 150 * g + 29 * b + 128) >> 8);
            luma[x] = luma[x + 1] = luma[width + x] = luma[width + x + 1] = yValue;
            chroma[x] = static_cast<uint8_t>(std::clamp((128 * r - 107 * g - 21 * b + 32768) >> 8, 0, 255));      // V
            chroma[x + 1] = static_cast<uint8_t>(std::clamp((-43 * r - 85 * g + 128 * b + 32768) >> 8, 0, 255));  // U
        }
    }
    return nv21;
}

namespace {

void ImportInto(const DngImportOptions& given, GeneratedRecording& recording) {
    if (given.files.empty() || given.outputFolder.empty()) {
        recording.error = "DNG files and an output folder are needed";
        return;
    }
    const int perTask = std::clamp(given.framesPerTask, 1, 10);
    // Every file's header first, so that a file that cannot be read or a
    // second sensor is refused before anything is written.
    std::vector<DngFrame> frames(given.files.size());
    for (size_t i = 0; i < given.files.size(); ++i) {
        if (!ReadDng(given.files[i], given.pedestal, false, &frames[i], &recording.error)) return;
        if (frames[i].pattern != frames[0].pattern) {
            recording.error = given.files[i] + ": its Bayer pattern is " + BayerPatternName(frames[i].pattern) +
                              " but " + given.files[0] + "'s is " + BayerPatternName(frames[0].pattern) +
                              ": a recording plays one sensor";
            return;
        }
    }
    Options& options = recording.options;
    options.outputFolder = given.outputFolder;
    options.taskListPath = given.taskListPath.empty() ? given.outputFolder + "/RawListFile.xml" : given.taskListPath;
    options.mode = given.mode;
    options.pattern = frames[0].pattern;
    options.width = options.yuvWidth = frames[0].width;
    options.height = options.yuvHeight = frames[0].height;
    options.framesPerTask = perTask;
    options.taskCount =
        static_cast<int>((frames.size() + static_cast<size_t>(perTask) - 1) / static_cast<size_t>(perTask));
    fs::create_directories(options.outputFolder);
    recording.taskListPath = options.taskListPath;
    fs::create_directories(fs::path(recording.taskListPath).parent_path());
    recording.ispConfigPath = options.outputFolder + "/ispconfig.xml";
    pugi::xml_document blocks;
    blocks.append_child("ispblocks");
    if (!blocks.save_file(recording.ispConfigPath.c_str(), " ")) {
        throw std::runtime_error("cannot write " + recording.ispConfigPath);
    }
    int serial = 0;
    for (int t = 0; t < options.taskCount; ++t) {
        TaskFiles task;
        task.index = t;
        task.outputPath = options.outputFolder + "/results/ZEB_task" + std::to_string(t);
        fs::create_directories(task.outputPath);
        DngFrame first;
        for (int i = 0; i < perTask && static_cast<size_t>(serial) < frames.size(); ++i, ++serial) {
            DngFrame frame;
            // Read one at a time: only one frame's samples are held.
            if (!ReadDng(given.files[static_cast<size_t>(serial)], given.pedestal, true, &frame, &recording.error)) {
                return;
            }
            const std::string folder =
                options.outputFolder + "/recording/task" + std::to_string(t) + "/frame" + std::to_string(i);
            recording.frames.push_back(WriteFrame(frame, folder, serial, t, i, given));
            task.frames.push_back(serial);
            if (given.progress) given.progress(serial, static_cast<int>(frames.size()), frame);
            if (i == 0) {
                frame.samples.clear();
                first = std::move(frame);
            }
        }
        task.scenePath = recording.frames[static_cast<size_t>(task.frames.front())].folder + "/iscene_Info.xml";
        WriteSceneInfoFile(task.scenePath, first.width, first.height, SceneOf(first), t);
        recording.tasks.push_back(std::move(task));
    }
    WriteTaskListFile(recording);
    recording.ok = true;
}

}  // namespace

GeneratedRecording ImportDng(const DngImportOptions& given) {
    GeneratedRecording recording;
    // Files that cannot be written and allocations that fail end the import
    // with their reason, like a file that cannot be read.
    try {
        ImportInto(given, recording);
    } catch (const std::exception& failure) {
        recording.ok = false;
        recording.error = failure.what();
    }
    return recording;
}

}  // namespace zeb_recgen
