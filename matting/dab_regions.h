#pragma once
// What a dab means: the stroke, and what is connected to it and looks like
// it. From a dab's disc a region grows to neighbours whose colour steps
// little from the pixel it came from and stays near the disc's own
// colours: an exclude dab on a prop takes the prop, an add dab on a lock of
// hair takes the lock, and neither crosses a clear edge. Given how the
// frame moves, an exclude dab's region takes only what moves with its
// disc: a dark chair and the dark jacket in front of it may meet without a
// clear edge, but the chair keeps still while he moves.

#include <opencv2/core.hpp>

namespace matting {

class DabRegions {
 public:
  // flow: CV_32FC2 of the frame's size, how far each pixel moves to a
  // frame nearby of the same shot; empty when that is not known.
  explicit DabRegions(const cv::Mat& bgr, const cv::Mat& flow = cv::Mat());

  // The region of the disc (centre, radius in pixels) within `domain`
  // (non-zero: where it may grow), added to `out` (CV_8U, 0 or 255). With
  // onlyWhereRare, only the disc when its colour is common in `domain`
  // around it: there, looking like the dab tells nothing. A region that
  // would take more than `most` pixels has found no edge to stop at: then
  // only the disc. One that would with a wider reach is held by its reach
  // alone, and keeps closer to the disc's colours.
  void grow(cv::Point centre, int radius, const cv::Mat& domain, bool onlyWhereRare, int most, cv::Mat& out) const;

 private:
  cv::Mat lab_;  // smoothed, CV_8UC3
  cv::Mat flow_;
};

}  // namespace matting
