#pragma once
// A binary graph cut over the free pixels of a frame: each pixel's vote for
// the character against smoothness between neighbours of similar colour.

#include <opencv2/core.hpp>

namespace matting {

enum Seed : uchar { kFree = 0, kFixedBackground = 1, kFixedCharacter = 2 };

// vote: CV_32F, > 0 favours the character. seeds: CV_8U of Seed; fixed
// pixels keep their label and pull their free neighbours toward it.
// mask (CV_8U, 0 or 255) receives the labels of every pixel.
void graph_cut(const cv::Mat& bgr, const cv::Mat& vote, const cv::Mat& seeds, float smoothness, cv::Mat& mask);

}  // namespace matting
