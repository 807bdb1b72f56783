#pragma once
// How the generator's sensor and the device's ISP see its synthetic scene, so
// that a frame developed with its own recorded 3A results looks like the
// reference image recorded beside it. The scene's values are the light that
// reaches each site after white balance (10-bit); the sensor adds the black
// level, divides by the recorded white balance gains and, when the frame
// records a lens shading result, by its shading gains (the lens falls off
// towards the corners); the reference is the scene through the recorded
// colour matrix and gamma.
#include <cstdint>

#include "develop/lib/Develop.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_recgen {

class SensorLook {
public:
    // `options` sized for the frame (its task's raw size).
    SensorLook(const Options& options, int serial);
    // The RAW10 sample of a site (0..3 in the 2 x 2 cell) at (x, y) for the scene value.
    uint16_t Raw(int scene, int site, int x, int y) const;
    // The reference picture's colour for a scene colour, 10-bit each.
    void Reference(const int scene[3], int out[3]) const;

private:
    zeb_develop::FrameRecords mRecords;
    int mWidth, mHeight;
    int mColour[4], mShadingChannel[4];
    bool mShade;
};

}  // namespace zeb_recgen
