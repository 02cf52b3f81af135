#include "matting/median_motion.h"

#include <algorithm>
#include <vector>

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
  const auto middle = [](std::vector<float>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  return {middle(xs), middle(ys)};
}

}  // namespace matting
