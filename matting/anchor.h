#pragma once
// The character on the anchor frame, from the user's box and dabs.

#include <opencv2/core.hpp>

#include "matting/dab_corrections.h"
#include "matting/engine.h"

namespace matting {

// Refuses, with a message for the user, a selection the engine cannot
// start from whatever the frame: nothing, a text hint alone, a box without
// area, only excluding dabs. Dabs outside the frame are refused by
// segment_anchor, which knows the frame's shape.
void check_selection(const Selection& selection);

// The character's mask (CV_8U, 0 or 255) on the anchor frame: GrabCut on
// the pixels' looks (see Appearance) seeded with the box (or, without one,
// grown from the adding dabs), the dabs as definite character and
// background; what the dabs claimed in `claims` when it is given. `flow`
// (see DabRegions; may be empty): where each pixel is in a frame nearby.
cv::Mat segment_anchor(const cv::Mat& bgr, const cv::Mat& flow, const Selection& selection,
                       DabClaims* claims = nullptr);

}  // namespace matting
