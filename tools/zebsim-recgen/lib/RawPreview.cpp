// A half-size colour picture of a packed raw image, through the tools' one
// PNG writer.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/FileAccess.h"
#include "develop/lib/Develop.h"
#include "frame/RawKernels.h"
#include "zebsim-recgen/lib/GeneratorParts.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_recgen {

bool WriteRawPreviewPng(const std::string& path, const uint8_t* packed, int width, int height, size_t stride,
                        BayerPattern pattern, std::string* error) {
    if (!packed || width < 2 || height < 2) {
        if (error) *error = "cannot write " + ZEB::files::Escaped(path) + ": no image";
        return false;
    }
    const int outW = width / 2, outH = height / 2;
    std::vector<uint8_t> rgb(static_cast<size_t>(outW) * outH * 3);
    std::vector<uint16_t> lines(static_cast<size_t>(width) * 2);
    const int* sites = parts::kSites[static_cast<uint32_t>(pattern) & 3];
    for (int cy = 0; cy < outH; ++cy) {
        ZEB::raw::UnpackRaw10(packed + stride * 2 * cy, width, 2, stride, lines.data());
        for (int cx = 0; cx < outW; ++cx) {
            int sum[3] = {0, 0, 0}, count[3] = {0, 0, 0};
            for (int site = 0; site < 4; ++site) {
                const int value = lines[static_cast<size_t>(site / 2) * width + 2 * cx + site % 2];
                sum[sites[site]] += value;
                ++count[sites[site]];
            }
            uint8_t* out = &rgb[(static_cast<size_t>(cy) * outW + cx) * 3];
            for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>(sum[c] / std::max(count[c], 1) >> 2);
        }
    }
    zeb_develop::Image image;
    image.width = outW;
    image.height = outH;
    image.rgb = std::move(rgb);
    return zeb_develop::WritePng(path, image, error);
}

}  // namespace zeb_recgen
