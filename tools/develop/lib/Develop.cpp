#include "develop/lib/Develop.h"

#include "core/FileAccess.h"

#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "frame/RawKernels.h"
#include "core/records/Field.h"
#include "core/records/ThreeARecords.h"

namespace zeb_develop {
namespace {
namespace fs = std::filesystem;

// Colour (0 R, 1 G, 2 B) of each site of a 2 x 2 cell, by pattern.
const int kSites[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};

// Dumps develop reads, and the largest a recording's can be.
const char* const kDumpNames[] = {"AE_RESULT_INFO.bin",  "AWB_CALC_INFO.bin",         "LSC_RESULT_INFO.bin",
                                  "LSC4_RESULT_INFO.bin", "LSC_RESULT_TABLE_INFO.bin", "XTM_RESULT_INFO.bin"};
constexpr uint64_t kDumpLimit = 64u << 20;

double SrgbCurve(double linear) {
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// "IMG_<W>x<H>_<n><suffix>": the size the name gives.
bool SizeFromName(const std::string& name, int* width, int* height) {
    unsigned w = 0, h = 0;
    if (sscanf(name.c_str(), "IMG_%ux%u_", &w, &h) != 2 || w == 0 || h == 0 || w > 16384 || h > 16384) return false;
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

}  // namespace

double ShadingTable::Gain(int channel, double fx, double fy) const {
    const int rows = Rows();
    if (columns <= 0 || rows <= 0) return 1.0;
    auto axis = [](double f, int cells, int* i0, double* w) {
        const double at = std::clamp(f * cells - 0.5, 0.0, static_cast<double>(cells - 1));
        *i0 = std::min(static_cast<int>(at), std::max(cells - 2, 0));
        *w = cells > 1 ? at - *i0 : 0.0;
    };
    int x0, y0;
    double wx, wy;
    axis(fx, columns, &x0, &wx);
    axis(fy, rows, &y0, &wy);
    const int x1 = std::min(x0 + 1, columns - 1), y1 = std::min(y0 + 1, rows - 1);
    auto at = [&](int x, int y) { return gains[(static_cast<size_t>(y) * columns + x) * 4 + channel]; };
    const double top = at(x0, y0) * (1 - wx) + at(x1, y0) * wx;
    const double bottom = at(x0, y1) * (1 - wx) + at(x1, y1) * wx;
    return (top * (1 - wy) + bottom * wy) / 1024.0;
}

double ToneCurve::Apply(double linear) const {
    const double x = std::clamp(linear, 0.0, 1.0);
    if (!Usable()) return SrgbCurve(x);
    const double at = x * static_cast<double>(points.size() - 1);
    const size_t i = std::min(static_cast<size_t>(at), points.size() - 2);
    const double w = at - static_cast<double>(i);
    return std::clamp((points[i] * (1 - w) + points[i + 1] * w) / 1023.0, 0.0, 1.0);
}

FrameRecords RecordsFrom(const std::function<const std::vector<uint8_t>*(const std::string& name)>& dump) {
    FrameRecords r;
    r.defaults.push_back("black level 64 (the recording holds none)");
    auto fixed = [&](const char* name, size_t size) -> const uint8_t* {
        const std::vector<uint8_t>* bytes = dump(name);
        return bytes && bytes->size() >= size ? bytes->data() : nullptr;
    };
    if (const uint8_t* ae = fixed("AE_RESULT_INFO.bin", ZEB::AeResult::kSize)) {
        r.hasAe = true;
        r.frameId = ZEB::ReadField<int32_t>(ae, ZEB::AeResult::kFrameId);
        r.iso = ZEB::ReadField<int32_t>(ae, ZEB::AeResult::kIso);
        r.gain = ZEB::ReadField<int32_t>(ae, ZEB::AeResult::kGain);
        r.bv = ZEB::ReadField<int32_t>(ae, ZEB::AeResult::kBv);
        r.lum = ZEB::ReadField<uint32_t>(ae, ZEB::AeResult::kLum);
        r.ev = ZEB::ReadField<float>(ae, ZEB::AeResult::kEv);
        if (!std::isfinite(r.ev)) r.ev = 0;
    } else {
        r.defaults.push_back("no AE result: frame id, EV, ISO unknown");
    }
    const uint8_t* awbRecord = fixed("AWB_CALC_INFO.bin", ZEB::AwbCalc::kSize);
    const uint32_t gains[3] = {awbRecord ? ZEB::ReadField<uint32_t>(awbRecord, ZEB::AwbCalc::kGainR) : 0,
                               awbRecord ? ZEB::ReadField<uint32_t>(awbRecord, ZEB::AwbCalc::kGainG) : 0,
                               awbRecord ? ZEB::ReadField<uint32_t>(awbRecord, ZEB::AwbCalc::kGainB) : 0};
    if (awbRecord && gains[0] && gains[1] && gains[2] && gains[0] <= 65536 && gains[1] <= 65536 && gains[2] <= 65536) {
        for (int c = 0; c < 3; ++c) r.wbGains[c] = gains[c] / 1024.0;
        r.ct = ZEB::ReadField<uint32_t>(awbRecord, ZEB::AwbCalc::kCt);
        int16_t ccm[9];
        bool any = false;
        for (int i = 0; i < 9; ++i)
            any |= (ccm[i] = ZEB::ReadField<int16_t>(awbRecord, ZEB::AwbCalc::kCcm + 2 * i)) != 0;
        if (any) {
            for (int i = 0; i < 9; ++i) r.ccm[i] = ccm[i] / 1024.0;
        } else {
            r.defaults.push_back("AWB colour matrix all zero: identity matrix");
        }
    } else {
        r.defaults.push_back(awbRecord ? "AWB gains unusable: gains 1, 1, 1 and identity matrix"
                                       : "no AWB result: gains 1, 1, 1 and identity matrix");
    }
    const uint8_t* lsc3 = fixed("LSC_RESULT_INFO.bin", ZEB::LscResult::kSize);
    const uint8_t* lsc4 = fixed("LSC4_RESULT_INFO.bin", ZEB::Lsc4Result::kSize);
    const std::vector<uint8_t>* table = dump("LSC_RESULT_TABLE_INFO.bin");
    if (lsc3 && ZEB::ReadField<uint64_t>(lsc3, ZEB::LscResult::kValid) != 0) {
        r.shadingFormat = "ALSC 3";
    } else if (lsc4 && ZEB::ReadField<uint64_t>(lsc4, ZEB::Lsc4Result::kValid) != 0) {
        r.shadingFormat = "ALSC 4";
    }
    if (r.shadingFormat.empty()) {
        r.defaults.push_back("no valid lens shading result: no shading correction");
    } else if (!table || table->size() < 8) {
        r.defaults.push_back(r.shadingFormat + " without a shading table: no shading correction");
        r.shadingFormat.clear();
    } else {
        r.shading.gains.resize(table->size() / 2);
        memcpy(r.shading.gains.data(), table->data(), r.shading.gains.size() * 2);
        const size_t cells = r.shading.gains.size() / 4;
        const uint16_t grid = lsc3 ? ZEB::ReadField<uint16_t>(lsc3, ZEB::LscResult::kGridSize) : 0;
        r.shading.columns = grid >= 2 && grid <= 256 && cells % grid == 0 ? grid : 32;
        if (r.shading.columns != grid) r.defaults.push_back("shading grid width unrecorded: 32 cells a row");
        if (!r.shading.Usable()) {
            r.defaults.push_back("shading table too small: no shading correction");
            r.shadingFormat.clear();
        }
    }
    if (const uint8_t* x = fixed("XTM_RESULT_INFO.bin", ZEB::XtmResult::kSize)) {
        r.gamma.points.resize(ZEB::XtmResult::kGammaPoints);
        bool rises = true;
        for (size_t i = 0; i < ZEB::XtmResult::kGammaPoints; ++i) {
            r.gamma.points[i] = ZEB::ReadField<uint16_t>(x, ZEB::XtmResult::kGamma + 2 * i);
            if (i && r.gamma.points[i] < r.gamma.points[i - 1]) rises = false;
        }
        if (!rises || r.gamma.points.back() == 0) {
            r.gamma.points.clear();
            r.defaults.push_back("recorded gamma not rising: sRGB curve");
        }
    } else {
        r.defaults.push_back("no XTM result: sRGB curve");
    }
    return r;
}

bool ReadFileBytes(const std::string& path, uint64_t limit, std::vector<uint8_t>* bytes, std::string* error) {
    std::string why;
    ZEB::files::InputFile file = ZEB::files::InputFile::Open(path, limit, &why);
    if (!file.IsOpen()) {
        if (error) *error = ZEB::files::Escaped(path) + ": " + why;
        return false;
    }
    bytes->resize(static_cast<size_t>(file.Size()));
    if (file.Read(bytes->data(), file.Size()) != file.Size()) {
        if (error) *error = ZEB::files::Escaped(path) + ": cannot be read whole";
        return false;
    }
    return true;
}

FrameRecords FrameFolder::Records() const {
    return RecordsFrom([this](const std::string& name) -> const std::vector<uint8_t>* {
        auto found = dumps.find(name);
        return found == dumps.end() ? nullptr : &found->second;
    });
}

FrameFolder ReadFrameFolder(const std::string& folder) {
    FrameFolder frame;
    frame.folder = folder;
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (ec) {
        frame.error = folder + ": " + ec.message();
        return frame;
    }
    // The folder's order is the file system's; the library takes the first match, so sort for a fixed one.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        if (frame.rawPath.empty() && EndsWith(name, ".mipi_raw") &&
            SizeFromName(name, &frame.rawWidth, &frame.rawHeight)) {
            frame.rawPath = path;
        } else if (frame.yuvPath.empty() && EndsWith(name, ".cap.yuv_nv21") &&
                   SizeFromName(name, &frame.yuvWidth, &frame.yuvHeight)) {
            frame.yuvPath = path;
        }
        for (const char* dump : kDumpNames) {
            if (frame.dumps.count(dump) || !(name == dump || EndsWith(name, std::string("_") + dump))) continue;
            std::vector<uint8_t> bytes;
            if (ReadFileBytes(path, kDumpLimit, &bytes, nullptr)) frame.dumps[dump] = std::move(bytes);
        }
    }
    return frame;
}

Image Develop(const uint8_t* packed, int width, int height, size_t stride, uint32_t pattern, const FrameRecords& r) {
    Image out;
    if (!packed || width < 2 || height < 2) return out;
    const int* sites = kSites[pattern & 3];
    // Per site: the shading channel (R, Gr, Gb, B) and the colour.
    int shadingChannel[4], colour[4];
    for (int s = 0; s < 4; ++s) {
        colour[s] = sites[s];
        const bool redRow = sites[(s & 2)] == 0 || sites[(s & 2) + 1] == 0;
        shadingChannel[s] = colour[s] == 0 ? 0 : colour[s] == 2 ? 3 : redRow ? 1 : 2;
    }
    const double range = std::max(1023 - r.blackLevel, 1);
    const bool shade = !r.shadingFormat.empty() && r.shading.Usable();
    // The shading grid interpolated along x once: per column its two grid cells and weight.
    const int columns = shade ? r.shading.columns : 1, rows = shade ? r.shading.Rows() : 1;
    std::vector<int> cx0(static_cast<size_t>(width));
    std::vector<float> cwx(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) {
        const double at = std::clamp((x + 0.5) / width * columns - 0.5, 0.0, static_cast<double>(columns - 1));
        cx0[x] = std::min(static_cast<int>(at), std::max(columns - 2, 0));
        cwx[x] = columns > 1 ? static_cast<float>(at - cx0[x]) : 0.0f;
    }
    // The mosaic, normalised and corrected per site, with a mirrored border
    // of one pixel so that every site has its eight neighbours.
    const int pw = width + 2, ph = height + 2;
    std::vector<float> plane(static_cast<size_t>(pw) * ph);
    std::vector<uint16_t> line(static_cast<size_t>(width));
    std::vector<float> rowGains(static_cast<size_t>(columns) * 4, 1.0f);
    for (int y = 0; y < height; ++y) {
        ZEB::raw::UnpackRaw10(packed + stride * static_cast<size_t>(y), width, 1, stride, line.data());
        if (shade) {
            const double at = std::clamp((y + 0.5) / height * rows - 0.5, 0.0, static_cast<double>(rows - 1));
            const int y0 = std::min(static_cast<int>(at), std::max(rows - 2, 0)), y1 = std::min(y0 + 1, rows - 1);
            const double wy = rows > 1 ? at - y0 : 0.0;
            for (size_t k = 0; k < rowGains.size(); ++k) {
                rowGains[k] = static_cast<float>((r.shading.gains[static_cast<size_t>(y0) * columns * 4 + k] * (1 - wy) +
                                                  r.shading.gains[static_cast<size_t>(y1) * columns * 4 + k] * wy) /
                                                 1024.0);
            }
        }
        float scale[4];
        for (int s = 0; s < 4; ++s) scale[s] = static_cast<float>(r.wbGains[colour[s]] / range);
        float* dst = &plane[static_cast<size_t>(y + 1) * pw + 1];
        const int rowSites = (y & 1) * 2;
        for (int x = 0; x < width; ++x) {
            const int s = rowSites + (x & 1);
            float v = static_cast<float>(std::max(static_cast<int>(line[x]) - r.blackLevel, 0)) * scale[s];
            if (shade) {
                const int ch = shadingChannel[s];
                const float* g = &rowGains[static_cast<size_t>(cx0[x]) * 4 + ch];
                const float next = cx0[x] + 1 < columns ? g[4] : g[0];
                v *= g[0] + (next - g[0]) * cwx[x];
            }
            dst[x] = v;
        }
        dst[-1] = dst[1];
        dst[width] = dst[width - 2];
    }
    memcpy(&plane[0], &plane[static_cast<size_t>(2) * pw], sizeof(float) * pw);
    memcpy(&plane[static_cast<size_t>(ph - 1) * pw], &plane[static_cast<size_t>(ph - 3) * pw], sizeof(float) * pw);

    // The gamma as a table over the linear range.
    constexpr int kLut = 4096;
    std::array<uint8_t, kLut + 1> lut;
    for (int i = 0; i <= kLut; ++i) lut[i] = static_cast<uint8_t>(std::lround(255 * r.gamma.Apply(double(i) / kLut)));
    float m[9];
    for (int i = 0; i < 9; ++i) m[i] = static_cast<float>(r.ccm[i]);

    out.width = width;
    out.height = height;
    out.rgb.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const float* up = &plane[static_cast<size_t>(y) * pw + 1];
        const float* mid = up + pw;
        const float* down = mid + pw;
        uint8_t* o = &out.rgb[static_cast<size_t>(y) * width * 3];
        const int rowSites = (y & 1) * 2;
        for (int x = 0; x < width; ++x, o += 3) {
            const int s = rowSites + (x & 1), c = colour[s];
            float rgb[3];
            rgb[c] = mid[x];
            const float cross = 0.25f * (up[x] + down[x] + mid[x - 1] + mid[x + 1]);
            if (c == 1) {
                // A green site: its row's other colour left and right, the other above and below.
                const int across = colour[rowSites + ((x + 1) & 1)];
                rgb[across] = 0.5f * (mid[x - 1] + mid[x + 1]);
                rgb[2 - across] = 0.5f * (up[x] + down[x]);
            } else {
                rgb[1] = cross;
                rgb[2 - c] = 0.25f * (up[x - 1] + up[x + 1] + down[x - 1] + down[x + 1]);
            }
            for (int k = 0; k < 3; ++k) {
                const float v = m[3 * k] * rgb[0] + m[3 * k + 1] * rgb[1] + m[3 * k + 2] * rgb[2];
                o[k] = lut[static_cast<size_t>(std::clamp(v, 0.0f, 1.0f) * kLut + 0.5f)];
            }
        }
    }
    return out;
}

Image Nv21ToRgb(const uint8_t* nv21, int width, int height) {
    Image out;
    if (!nv21 || width < 2 || height < 2) return out;
    out.width = width;
    out.height = height;
    out.rgb.resize(static_cast<size_t>(width) * height * 3);
    const uint8_t* chroma = nv21 + static_cast<size_t>(width) * height;
    for (int y = 0; y < height; ++y) {
        const uint8_t* vu = chroma + static_cast<size_t>(std::min(y / 2, height / 2 - 1)) * width;
        for (int x = 0; x < width; ++x) {
            const double luma = nv21[static_cast<size_t>(y) * width + x];
            const int cx = std::min(x / 2, width / 2 - 1) * 2;
            const double v = vu[cx] - 128.0, u = vu[cx + 1] - 128.0;
            uint8_t* o = &out.rgb[(static_cast<size_t>(y) * width + x) * 3];
            o[0] = static_cast<uint8_t>(std::clamp(std::lround(luma + 1.402 * v), 0L, 255L));
            o[1] = static_cast<uint8_t>(std::clamp(std::lround(luma - 0.344136 * u - 0.714136 * v), 0L, 255L));
            o[2] = static_cast<uint8_t>(std::clamp(std::lround(luma + 1.772 * u), 0L, 255L));
        }
    }
    return out;
}

Image Downscale(const Image& image, int maxWidth, int maxHeight) {
    if (image.width <= maxWidth && image.height <= maxHeight) return image;
    // One integer block per output pixel, the same for both axes.
    const int k = std::max((image.width + maxWidth - 1) / std::max(maxWidth, 1),
                           (image.height + maxHeight - 1) / std::max(maxHeight, 1));
    Image out;
    out.width = std::max(image.width / k, 1);
    out.height = std::max(image.height / k, 1);
    out.rgb.assign(static_cast<size_t>(out.width) * out.height * 3, 0);
    std::vector<uint32_t> sums(static_cast<size_t>(out.width) * 3);
    for (int oy = 0; oy < out.height; ++oy) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int y = oy * k; y < std::min((oy + 1) * k, image.height); ++y) {
            const uint8_t* in = &image.rgb[static_cast<size_t>(y) * image.width * 3];
            for (int x = 0; x < out.width * k; ++x) {
                for (int c = 0; c < 3; ++c) sums[static_cast<size_t>(x / k) * 3 + c] += in[x * 3 + c];
            }
        }
        const uint32_t count = static_cast<uint32_t>(k * std::min(k, image.height - oy * k));
        for (size_t i = 0; i < sums.size(); ++i) {
            out.rgb[static_cast<size_t>(oy) * out.width * 3 + i] = static_cast<uint8_t>((sums[i] + count / 2) / count);
        }
    }
    return out;
}

bool WriteDevelopedPng(const std::string& path, const uint8_t* packed, int width, int height, size_t stride,
                       uint32_t pattern, const std::map<std::string, std::vector<uint8_t>>* dumps,
                       std::string* error) {
    const FrameRecords records = RecordsFrom([dumps](const std::string& name) -> const std::vector<uint8_t>* {
        if (!dumps) return nullptr;
        auto found = dumps->find(name);
        return found == dumps->end() ? nullptr : &found->second;
    });
    return WritePng(path, Develop(packed, width / 4 * 4, height, stride, pattern, records), error);
}

bool EncodePng(const Image& image, std::vector<uint8_t>* png, std::string* error) {
    png_image desc;
    memset(&desc, 0, sizeof desc);
    desc.version = PNG_IMAGE_VERSION;
    desc.width = static_cast<png_uint_32>(image.width);
    desc.height = static_cast<png_uint_32>(image.height);
    desc.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (image.width <= 0 || image.height <= 0 ||
        !png_image_write_to_memory(&desc, nullptr, &size, 0, image.rgb.data(), 0, nullptr)) {
        if (error) *error = image.width <= 0 ? "no image" : desc.message;
        png_image_free(&desc);
        return false;
    }
    png->resize(size);
    if (!png_image_write_to_memory(&desc, png->data(), &size, 0, image.rgb.data(), 0, nullptr)) {
        if (error) *error = desc.message;
        png_image_free(&desc);
        return false;
    }
    png->resize(size);
    return true;
}

bool WritePng(const std::string& path, const Image& image, std::string* error) {
    std::vector<uint8_t> png;
    if (!EncodePng(image, &png, error)) return false;
    // Written beside, then renamed into place: a reader never sees half a
    // picture, and a link planted at the name is replaced, not written through.
    std::string why;
    if (!ZEB::files::WriteFileReplacing(path, png.data(), png.size(), &why)) {
        if (error) *error = "cannot write " + ZEB::files::Escaped(path) + ": " + why;
        return false;
    }
    return true;
}

std::string Base64(const std::vector<uint8_t>& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t n = static_cast<uint32_t>(bytes[i]) << 16 | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0) |
                           (i + 2 < bytes.size() ? bytes[i + 2] : 0);
        text += kAlphabet[n >> 18 & 63];
        text += kAlphabet[n >> 12 & 63];
        text += i + 1 < bytes.size() ? kAlphabet[n >> 6 & 63] : '=';
        text += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    }
    return text;
}

}  // namespace zeb_develop
