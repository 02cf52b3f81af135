#include "matting/selection_pixels.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace matting {

namespace {
bool finite(double v) { return std::isfinite(v); }
}  // namespace

cv::Rect box_pixels(const Box& b, cv::Size size) {
  const double x0 = std::clamp(b.x, 0.0, 1.0), y0 = std::clamp(b.y, 0.0, 1.0);
  const double x1 = std::clamp(b.x + b.w, 0.0, 1.0), y1 = std::clamp(b.y + b.h, 0.0, 1.0);
  const cv::Point p0(int(std::lround(x0 * size.width)), int(std::lround(y0 * size.height)));
  const cv::Point p1(int(std::lround(x1 * size.width)), int(std::lround(y1 * size.height)));
  return cv::Rect(p0, p1);
}

bool box_has_area(const Box& b) {
  if (!finite(b.x) || !finite(b.y) || !finite(b.w) || !finite(b.h) || b.w <= 0 || b.h <= 0) return false;
  const double x0 = std::max(b.x, 0.0), y0 = std::max(b.y, 0.0);
  return std::min(b.x + b.w, 1.0) > x0 && std::min(b.y + b.h, 1.0) > y0;
}

bool dab_in_frame(const Dab& d, double aspect /* height / width */) {
  if (!finite(d.x) || !finite(d.y) || !finite(d.r) || d.r == 0) return false;
  const double r = std::abs(d.r);
  const double dx = d.x - std::clamp(d.x, 0.0, 1.0);
  const double dy = (d.y - std::clamp(d.y, 0.0, 1.0)) * aspect;
  return dx * dx + dy * dy < r * r;
}

cv::Point dab_centre(const Dab& d, cv::Size size) {
  return {int(std::lround(d.x * size.width)), int(std::lround(d.y * size.height))};
}
int dab_radius(const Dab& d, cv::Size size) { return std::max(1, int(std::lround(std::abs(d.r) * size.width))); }

void paint_strokes(const std::vector<Dab>& dabs, cv::Mat& mask) {
  const double aspect = double(mask.rows) / mask.cols;
  for (const Dab& d : dabs)
    if (dab_in_frame(d, aspect))
      cv::circle(mask, dab_centre(d, mask.size()), dab_radius(d, mask.size()), d.r > 0 ? 255 : 0, cv::FILLED);
}

}  // namespace matting
