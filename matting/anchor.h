#pragma once
// The character on the anchor frame, from the user's box and dabs.

#include <opencv2/core.hpp>

#include "matting/appearance.h"
#include "matting/engine.h"

namespace matting {

// Refuses, with a message for the user, a selection the engine cannot
// start from whatever the frame: nothing, a text hint alone, a box without
// area, only excluding dabs. Dabs outside the frame are refused by
// segment_anchor, which knows the frame's shape.
void check_selection(const Selection& selection);

// What the dabs claimed on the anchor frame, to stand over whatever
// re-decides its mask after: the regions the adding dabs took and those
// the excluding ones removed (see DabRegions; CV_8U, empty without dabs),
// and the strokes themselves.
struct DabClaims {
  std::vector<Dab> dabs;
  cv::Mat added, removed;
  // On a mask of the anchor frame's size.
  void stand(cv::Mat& mask) const;
};

// The character's mask (CV_8U, 0 or 255) on the anchor frame: GrabCut on
// the pixels' looks (see Appearance) seeded with the box (or, without one,
// grown from the adding dabs), the dabs as definite character and
// background; what the dabs claimed in `claims` when it is given. `flow`
// (see DabRegions; may be empty): where each pixel is in a frame nearby.
cv::Mat segment_anchor(const cv::Mat& bgr, const cv::Mat& flow, const Selection& selection,
                       DabClaims* claims = nullptr);

// A mask (CV_8U, 0 or 255) corrected by dabs: what each dab takes (see
// DabRegions) is added or removed, the strokes themselves winning; `vote`
// (the appearance's, at the mask's size) keeps background-looking holes
// open. `bgr` (and `flow`) may be larger than the mask: the dabs are then
// read at that size, and only what they change comes down to the mask's.
void correct_with_dabs(const cv::Mat& bgr, const cv::Mat& flow, const std::vector<Dab>& dabs, const cv::Mat& vote,
                       cv::Mat& mask);

}  // namespace matting
