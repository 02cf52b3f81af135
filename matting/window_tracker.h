#pragma once
// A track that corrects another one (its reference) only where the two
// differ. Each frame, windows around where the two masks differed on the
// frame before are tracked again from that frame's own mask, and the
// reference's mask stands everywhere else: a correction that brings back a
// lock of hair costs a window's tracking a frame, not a whole frame's, and
// a re-pull with one more correction redoes little more than what it
// changes.

#include <opencv2/core.hpp>
#include <vector>

#include "matting/appearance.h"

namespace matting {

class WindowTracker {
 public:
  WindowTracker(cv::Size workingSize, const Appearance& appearance);

  // Whether the windows around where `lastMask` and `lastReference` (the
  // frame before's) differ cover at most half the frame: wider, tracking
  // them and the reference costs more than tracking the whole frame.
  bool worthwhile(const cv::Mat& lastMask, const cv::Mat& lastReference);

  // The mask on `bgr` from the frame before (`lastBgr`, `lastMask`), in the
  // windows worthwhile() last found, and the reference's mask on `bgr`
  // elsewhere; all at working size.
  const cv::Mat& step(const cv::Mat& lastBgr, const cv::Mat& lastMask, const cv::Mat& bgr, const cv::Mat& reference);

 private:
  cv::Size size_;
  Appearance appearance_;
  int band_;
  std::vector<cv::Rect> windows_;
  cv::Mat differ_, labels_, stats_, centroids_, mask_;
};

}  // namespace matting
