#include "matting/window_tracker.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "matting/tracker.h"

namespace matting {

namespace {
// A window reaches this many bands past where the masks differed: one for
// the band re-decided around the edge, the rest for a frame's motion.
constexpr int kReachBands = 3;
}  // namespace

WindowTracker::WindowTracker(cv::Size size, const Appearance& appearance)
    : size_(size), appearance_(appearance), band_(Tracker::band(size)) {}

bool WindowTracker::worthwhile(const cv::Mat& lastMask, const cv::Mat& lastReference) {
  cv::bitwise_xor(lastMask, lastReference, differ_);
  const int parts = cv::connectedComponentsWithStats(differ_, labels_, stats_, centroids_, 8, CV_32S);
  const cv::Rect frame({0, 0}, size_);
  const int reach = kReachBands * band_;
  windows_.clear();
  for (int k = 1; k < parts; ++k) {
    // A speck (a quarter of a band squared or less) is the seam of a
    // window, not a part the correction changed: the reference stands there.
    if (stats_.at<int>(k, cv::CC_STAT_AREA) * 4 <= band_ * band_) continue;
    const cv::Rect part(stats_.at<int>(k, cv::CC_STAT_LEFT), stats_.at<int>(k, cv::CC_STAT_TOP),
                        stats_.at<int>(k, cv::CC_STAT_WIDTH), stats_.at<int>(k, cv::CC_STAT_HEIGHT));
    windows_.push_back((part + cv::Point(-reach, -reach) + cv::Size(2 * reach, 2 * reach)) & frame);
  }
  // Windows that overlap become one, so that no pixel is cut twice.
  for (bool merged = true; merged;) {
    merged = false;
    for (size_t a = 0; a < windows_.size() && !merged; ++a)
      for (size_t b = a + 1; b < windows_.size() && !merged; ++b)
        if ((windows_[a] & windows_[b]).area() > 0) {
          windows_[a] |= windows_[b];
          windows_.erase(windows_.begin() + b);
          merged = true;
        }
  }
  double covered = 0;
  for (const cv::Rect& window : windows_) covered += window.area();
  return covered <= 0.5 * size_.area();
}

const cv::Mat& WindowTracker::step(const cv::Mat& lastBgr, const cv::Mat& lastMask, const cv::Mat& bgr,
                                   const cv::Mat& reference) {
  reference.copyTo(mask_);
  for (const cv::Rect& window : windows_) {
    Tracker tracker(window.size(), appearance_, size_);
    tracker.reset(lastBgr(window), lastMask(window));
    const cv::Mat& tracked = tracker.step(bgr(window));
    // The window's own edges are cut blind (the flow and the band see
    // nothing past them): a band in from each, save at the frame's edges,
    // the reference's mask stands.
    const int left = window.x > 0 ? band_ : 0, top = window.y > 0 ? band_ : 0;
    const int right = window.br().x < size_.width ? band_ : 0, bottom = window.br().y < size_.height ? band_ : 0;
    const cv::Rect inner(left, top, std::max(0, window.width - left - right),
                         std::max(0, window.height - top - bottom));
    tracked(inner).copyTo(mask_(inner + window.tl()));
  }
  return mask_;
}

}  // namespace matting
