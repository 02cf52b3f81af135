#include "matting/shots.h"

#include <opencv2/imgproc.hpp>

namespace matting {

cv::Mat shot_signature(const cv::Mat& bgr) {
  cv::Mat small, hsv, hist;
  cv::resize(bgr, small, cv::Size(96, 64), 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, hsv, cv::COLOR_BGR2HSV);
  const int channels[] = {0, 1};
  const int bins[] = {16, 16};
  const float hue[] = {0, 180}, sat[] = {0, 256};
  const float* ranges[] = {hue, sat};
  cv::calcHist(&hsv, 1, channels, cv::Mat(), hist, 2, bins, ranges);
  cv::normalize(hist, hist, 1, 0, cv::NORM_L1);
  return hist;
}

bool is_cut(const cv::Mat& before, const cv::Mat& after) {
  // Within a shot the Bhattacharyya distance stays near 0.1 (noise, motion,
  // light); across a cut it rises past 0.3 even between shots of one scene.
  return cv::compareHist(before, after, cv::HISTCMP_BHATTACHARYYA) > 0.22;
}

}  // namespace matting
