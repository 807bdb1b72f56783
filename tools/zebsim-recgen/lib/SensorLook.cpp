#include "zebsim-recgen/lib/SensorLook.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "frame/ZEBFrame.h"

namespace zeb_recgen {
namespace {
const int kSites[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
}  // namespace

SensorLook::SensorLook(const Options& options, int serial)
    : mWidth(std::max(options.width, 1)), mHeight(std::max(options.height, 1)) {
    std::map<std::string, std::vector<uint8_t>> dumps;
    for (int row : {ZEB::DF_AWB_CALC_INFO, ZEB::DF_LSC_RESULT_INFO, ZEB::DF_LSC4_RESULT_INFO,
                    ZEB::DF_LSC_RESULT_TABLE_INFO, ZEB::DF_XTM_RESULT_INFO}) {
        dumps[ZEB::DataFileSpecOf(row).subFix] = DumpContent(options, serial, row);
    }
    mRecords = zeb_develop::RecordsFrom([&](const std::string& name) -> const std::vector<uint8_t>* {
        auto found = dumps.find(name);
        return found == dumps.end() ? nullptr : &found->second;
    });
    mShade = !mRecords.shadingFormat.empty() && mRecords.shading.Usable();
    const int* sites = kSites[static_cast<uint32_t>(options.pattern) & 3];
    for (int s = 0; s < 4; ++s) {
        mColour[s] = sites[s];
        const bool redRow = sites[s & 2] == 0 || sites[(s & 2) + 1] == 0;
        mShadingChannel[s] = sites[s] == 0 ? 0 : sites[s] == 2 ? 3 : redRow ? 1 : 2;
    }
}

uint16_t SensorLook::Raw(int scene, int site, int x, int y) const {
    const int black = mRecords.blackLevel;
    double value = std::max(scene, 0) * (1023.0 - black) / 1023.0 / mRecords.wbGains[mColour[site & 3]];
    if (mShade) {
        value /= mRecords.shading.Gain(mShadingChannel[site & 3], (x + 0.5) / mWidth, (y + 0.5) / mHeight);
    }
    return static_cast<uint16_t>(std::clamp<long>(std::lround(black + value), 0, 1023));
}

void SensorLook::Reference(const int scene[3], int out[3]) const {
    for (int k = 0; k < 3; ++k) {
        double v = 0;
        for (int c = 0; c < 3; ++c) v += mRecords.ccm[3 * k + c] * scene[c] / 1023.0;
        out[k] = static_cast<int>(std::lround(1023 * mRecords.gamma.Apply(v)));
    }
}

}  // namespace zeb_recgen
