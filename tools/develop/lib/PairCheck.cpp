#include "develop/lib/PairCheck.h"

#include <cmath>

namespace zeb_develop {

std::vector<float> GradientSignature(const Image& image) {
    // A picture smaller than the grid has no structure to compare at its scale.
    if (image.width < kGridWidth || image.height < kGridHeight) return {};
    // Area average of the luminance into the grid; a grid cell takes the
    // pixels whose left/top edge falls in it (at least one each).
    std::vector<double> sum(static_cast<size_t>(kGridWidth) * kGridHeight, 0.0), count(sum.size(), 0.0);
    for (int y = 0; y < image.height; ++y) {
        const int gy = static_cast<int>(static_cast<long long>(y) * kGridHeight / image.height);
        const uint8_t* row = &image.rgb[static_cast<size_t>(y) * image.width * 3];
        for (int x = 0; x < image.width; ++x) {
            const int gx = static_cast<int>(static_cast<long long>(x) * kGridWidth / image.width);
            const size_t cell = static_cast<size_t>(gy) * kGridWidth + gx;
            sum[cell] += 0.299 * row[3 * x] + 0.587 * row[3 * x + 1] + 0.114 * row[3 * x + 2];
            count[cell] += 1;
        }
    }
    std::vector<double> luma(sum.size());
    for (size_t i = 0; i < sum.size(); ++i) luma[i] = sum[i] / count[i];
    std::vector<double> g;
    g.reserve(sum.size() * 2);
    for (int y = 0; y < kGridHeight; ++y) {
        for (int x = 0; x + 1 < kGridWidth; ++x) g.push_back(luma[y * kGridWidth + x + 1] - luma[y * kGridWidth + x]);
    }
    for (int y = 0; y + 1 < kGridHeight; ++y) {
        for (int x = 0; x < kGridWidth; ++x) g.push_back(luma[(y + 1) * kGridWidth + x] - luma[y * kGridWidth + x]);
    }
    double mean = 0;
    for (double v : g) mean += v;
    mean /= static_cast<double>(g.size());
    double norm = 0;
    for (double& v : g) {
        v -= mean;
        norm += v * v;
    }
    if (norm <= 1e-12) return {};
    norm = std::sqrt(norm);
    std::vector<float> signature(g.size());
    for (size_t i = 0; i < g.size(); ++i) signature[i] = static_cast<float>(g[i] / norm);
    return signature;
}

double Correlation(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.empty() || a.size() != b.size()) return 0;
    double dot = 0;
    for (size_t i = 0; i < a.size(); ++i) dot += static_cast<double>(a[i]) * b[i];
    return dot;
}

std::vector<PairVerdict> JudgePairs(const std::vector<std::vector<float>>& developed,
                                    const std::vector<std::vector<float>>& reference, double threshold) {
    std::vector<PairVerdict> verdicts(developed.size());
    for (size_t i = 0; i < developed.size(); ++i) {
        PairVerdict& v = verdicts[i];
        v.score = i < reference.size() ? Correlation(developed[i], reference[i]) : 0;
        for (size_t j = 0; j < reference.size(); ++j) {
            if (j == i) continue;
            const double other = Correlation(developed[i], reference[j]);
            if (other > v.score && (v.better < 0 || other > v.betterScore)) {
                v.better = static_cast<int>(j);
                v.betterScore = other;
            }
        }
        v.flagged = v.score < threshold;
    }
    return verdicts;
}

}  // namespace zeb_develop
