#pragma once
// How a part of the frame moves as a whole: the median of a flow field
// over it, robust to the flow's strays on flat cloth and at edges.

#include <opencv2/core.hpp>

namespace matting {

// flow: CV_32FC2; the median over every fourth pixel each way where `mask`
// (CV_8U) is non-zero if `where` is true, zero if false; no motion where
// there is no such pixel.
cv::Point2f median_motion(const cv::Mat& flow, const cv::Mat& mask, bool where = true);

}  // namespace matting
