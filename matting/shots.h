#pragma once
// Cuts between shots: a hue-saturation histogram of each frame at a small
// size, compared with the previous frame's. Tracking never crosses a cut.

#include <opencv2/core.hpp>

namespace matting {

// The frame's hue-saturation signature (from the frame at any size).
cv::Mat shot_signature(const cv::Mat& bgr);

// Whether a cut stands between the frames of these two signatures.
bool is_cut(const cv::Mat& before, const cv::Mat& after);

}  // namespace matting
