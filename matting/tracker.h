#pragma once
// Carries the character's mask from one frame to the next: the previous
// mask is warped along dense optical flow, then only a narrow band around
// the warped edge is re-decided by a graph cut that weighs the anchor's
// appearance against agreement with the warped mask.

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include "matting/appearance.h"
#include "matting/engine.h"

namespace matting {

class Tracker {
 public:
  Tracker(cv::Size workingSize, Appearance& appearance);

  // Starts from a frame whose mask is known (the anchor).
  void reset(const cv::Mat& bgr, const cv::Mat& mask);

  // The mask (CV_8U, 0 or 255) on the next frame, at working size.
  const cv::Mat& step(const cv::Mat& bgr);

 private:
  void warp_previous();

  Appearance& appearance_;
  const int band_;     // half-width of the re-decided band, pixels
  const float sigma_;  // how fast trust in the warped mask grows off its edge
  cv::Ptr<cv::DISOpticalFlow> flow_;
  // Buffers reused from frame to frame.
  cv::Mat prevGray_, gray_, prevMask_, flowBack_, mapX_, mapY_, warped_, hard_, inside_, outside_;
  cv::Mat signedDist_, seeds_, vote_, mask_;
};

}  // namespace matting
