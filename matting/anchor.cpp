#include "matting/anchor.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "matting/mask_cleanup.h"

namespace matting {

namespace {

bool finite(double v) { return std::isfinite(v); }

// The box's pixels inside the frame (empty when it has no area there).
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

// A dab is a disc of radius |r| widths; it counts when some of it is inside
// the frame.
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

constexpr int kRounds = 5;

// Keeps the parts of mask that touch the adding dabs.
void keep_touching(cv::Mat& mask, const cv::Mat& adding) {
  cv::Mat labels;
  const int parts = cv::connectedComponents(mask, labels, 8, CV_32S);
  std::vector<uchar> touched(parts, 0);
  for (int y = 0; y < mask.rows; ++y)
    for (int x = 0; x < mask.cols; ++x)
      if (adding.at<uchar>(y, x) && mask.at<uchar>(y, x)) touched[labels.at<int>(y, x)] = 1;
  for (int y = 0; y < mask.rows; ++y)
    for (int x = 0; x < mask.cols; ++x) mask.at<uchar>(y, x) = touched[labels.at<int>(y, x)] ? mask.at<uchar>(y, x) : 0;
}

}  // namespace

void check_selection(const Selection& s) {
  if (!s.box && s.dabs.empty()) {
    if (!s.hint.empty())
      throw Error("a text hint alone is not understood by this engine: draw a box or brush dabs around the character");
    throw Error("nothing is selected: draw a box or brush dabs around the character");
  }
  if (s.box && !box_has_area(*s.box)) throw Error("the box has no area inside the frame: draw it again");
  // The aspect is unknown here; a square frame is the most forgiving test
  // for a dab's vertical reach and the exact test follows at segmentation.
  bool anyInside = false, anyAdding = false;
  for (const Dab& d : s.dabs) {
    if (!dab_in_frame(d, 1.0)) continue;
    anyInside = true;
    anyAdding = anyAdding || d.r > 0;
  }
  if (!s.dabs.empty() && !anyInside) throw Error("the brush dabs lie outside the frame: paint them on the character");
  if (!s.box && !anyAdding)
    throw Error("only excluding dabs were painted: draw a box or add dabs on the character");
}

cv::Mat segment_anchor(const cv::Mat& bgr, const Selection& s) {
  check_selection(s);
  const cv::Size size = bgr.size();
  const double aspect = double(size.height) / size.width;
  cv::Mat seeds(size, CV_8U);
  if (s.box) {
    seeds.setTo(cv::GC_BGD);
    cv::Rect r = box_pixels(*s.box, size);
    // A box over the whole frame leaves no background to learn from: keep a
    // thin border as probable background.
    if (r.area() >= size.area() * 0.98) {
      const int m = std::max(2, size.width / 50);
      r = cv::Rect(m, m, size.width - 2 * m, size.height - 2 * m);
      seeds.setTo(cv::GC_PR_BGD);
    }
    seeds(r).setTo(cv::GC_PR_FGD);
  } else {
    seeds.setTo(cv::GC_PR_BGD);
    cv::Rect adding;
    for (const Dab& d : s.dabs) {
      if (d.r <= 0 || !dab_in_frame(d, aspect)) continue;
      const int r = dab_radius(d, size);
      const cv::Point c = dab_centre(d, size);
      adding |= cv::Rect(c.x - r, c.y - r, 2 * r + 1, 2 * r + 1);
    }
    // The character reaches past the dabs: grow the probable region around
    // them by half their extent (at least a tenth of the frame).
    const int gx = std::max(adding.width / 2, size.width / 10), gy = std::max(adding.height / 2, size.height / 10);
    seeds(cv::Rect(adding.x - gx, adding.y - gy, adding.width + 2 * gx, adding.height + 2 * gy) &
          cv::Rect(cv::Point(), size))
        .setTo(cv::GC_PR_FGD);
  }
  cv::Mat adding = cv::Mat::zeros(size, CV_8U);
  for (const Dab& d : s.dabs) {
    if (!dab_in_frame(d, aspect)) continue;
    const cv::Point c = dab_centre(d, size);
    const int r = dab_radius(d, size);
    cv::circle(seeds, c, r, d.r > 0 ? cv::GC_FGD : cv::GC_BGD, cv::FILLED);
    cv::circle(adding, c, r, d.r > 0 ? 255 : 0, cv::FILLED);
  }
  const int sure = cv::countNonZero(seeds == cv::GC_FGD) + cv::countNonZero(seeds == cv::GC_PR_FGD);
  if (sure == 0 || sure == size.area())
    throw Error("the selection covers nothing or everything: draw a box or dabs around the character");

  // GrabCut on looks rather than colours (see Appearance).
  cv::Mat looks, bgModel, fgModel;
  look(bgr, looks);
  try {
    cv::grabCut(looks, seeds, cv::Rect(), bgModel, fgModel, kRounds, cv::GC_INIT_WITH_MASK);
  } catch (const cv::Exception& e) {
    throw Error(std::string("could not segment the anchor frame: ") + e.what());
  }
  cv::Mat mask = (seeds == cv::GC_FGD) | (seeds == cv::GC_PR_FGD);
  if (!s.box) keep_touching(mask, adding);
  clean_mask(mask);
  if (cv::countNonZero(mask) == 0) throw Error("nothing was found inside the selection on the anchor frame");
  return mask;
}

}  // namespace matting
