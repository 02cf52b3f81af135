#pragma once
// Tidying a binary mask (CV_8U, 0 or 255): specks and pin-holes are
// segmentation noise, not parts of a character.

#include <opencv2/core.hpp>

namespace matting {

// Drops the parts smaller than islandShare of the mask's area (the largest
// part always stays) and fills the holes smaller than holeShare of it,
// except, when `vote` (CV_32F, positive: character) is given, holes that
// clearly vote background: a gap between an arm and the body is not a
// pin-hole. With `vote`, such small bays at the frame's edge are filled too.
void clean_mask(cv::Mat& mask, double islandShare = 0.02, double holeShare = 0.01, const cv::Mat* vote = nullptr);

// Keeps the parts of the mask (8-connected) that share a pixel with
// `touching` (CV_8U, non-zero).
void keep_touching(cv::Mat& mask, const cv::Mat& touching);

}  // namespace matting
