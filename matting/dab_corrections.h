#pragma once
// What the user's dabs change in a mask: each dab's region (see
// DabRegions) added or removed, the strokes themselves standing over it.

#include <opencv2/core.hpp>
#include <vector>

#include "matting/engine.h"

namespace matting {

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

// Each dab's region (see DabRegions): an adding one grows through what the
// mask left out within `area`, an excluding one through the mask. The
// strokes themselves win over what the regions say. What they claimed is
// kept in `claims` when it is given.
void take_dab_regions(const cv::Mat& bgr, const cv::Mat& flow, const std::vector<Dab>& dabs, const cv::Rect& area,
                      const cv::Mat& vote, cv::Mat& mask, DabClaims* claims = nullptr);

// A mask (CV_8U, 0 or 255) corrected by dabs: what each dab takes (see
// DabRegions) is added or removed, the strokes themselves winning; `vote`
// (the appearance's, at the mask's size) keeps background-looking holes
// open. `bgr` (and `flow`) may be larger than the mask: the dabs are then
// read at that size, and only what they change comes down to the mask's.
void correct_with_dabs(const cv::Mat& bgr, const cv::Mat& flow, const std::vector<Dab>& dabs, const cv::Mat& vote,
                       cv::Mat& mask);

}  // namespace matting
