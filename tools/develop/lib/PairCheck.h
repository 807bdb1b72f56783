#pragma once
// Do a frame's raw and its reference image show the same picture? Both are
// brought to a 64 x 48 grid of luminance and compared on structure, not on
// tone: the normalised correlation of their luminance gradients. A raw and
// a reference from different frames (an off-by-one in the dump, a folder
// copied from another run) score far lower than a true pair.
#include <vector>

#include "develop/lib/Develop.h"

namespace zeb_develop {

constexpr int kGridWidth = 64, kGridHeight = 48;

// Below this a pair is flagged. The README gives the measurements behind it.
constexpr double kPairThreshold = 0.95;

// The grid's horizontal and vertical luminance differences, zero mean and
// unit length (empty for an image smaller than the grid or a flat one).
std::vector<float> GradientSignature(const Image& image);
// Normalised correlation of two signatures, -1 to 1; 0 when either is empty.
double Correlation(const std::vector<float>& a, const std::vector<float>& b);

struct PairVerdict {
    double score = 0;      // the frame's raw against its own reference
    int better = -1;       // the other frame of the task whose reference matches the raw best, when it beats its own
    double betterScore = 0;
    bool flagged = false;  // score below kPairThreshold
};
// developed[i] against reference[j] for every frame of a task.
std::vector<PairVerdict> JudgePairs(const std::vector<std::vector<float>>& developed,
                                    const std::vector<std::vector<float>>& reference, double threshold = kPairThreshold);

}  // namespace zeb_develop
