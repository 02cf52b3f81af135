#include "matting/median_motion.h"

#include <algorithm>

namespace matting {

cv::Point2f median_motion(const cv::Mat& flow, const cv::Mat& mask, bool where) {
  std::vector<float> xs, ys;
  for (int y = 0; y < flow.rows; y += 4) {
    const cv::Point2f* f = flow.ptr<cv::Point2f>(y);
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < flow.cols; x += 4)
      if ((m[x] != 0) == where) xs.push_back(f[x].x), ys.push_back(f[x].y);
  }
  if (xs.empty()) return {};
  return {median(xs), median(ys)};
}

float median(std::vector<float>& values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

}  // namespace matting
