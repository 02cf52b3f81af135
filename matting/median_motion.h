#pragma once
// Medians: how a part of the frame moves as a whole, the median of a flow
// field over it, robust to the flow's strays on flat cloth and at edges;
// and the median of any values.

#include <opencv2/core.hpp>
#include <vector>

namespace matting {

// flow: CV_32FC2; the median over every fourth pixel each way where `mask`
// (CV_8U) is non-zero if `where` is true, zero if false; no motion where
// there is no such pixel.
cv::Point2f median_motion(const cv::Mat& flow, const cv::Mat& mask, bool where = true);

// The median of values (not empty), which it reorders.
float median(std::vector<float>& values);

}  // namespace matting
