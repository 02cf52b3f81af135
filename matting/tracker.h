#pragma once
// Carries the character's mask from one frame to the next: the previous
// mask is warped along dense optical flow, then the band around the warped
// edge is re-decided (EdgeRefiner), and so is wherever the flow there and
// back disagrees: background uncovered behind a moving character has no
// place in the previous frame, and the flow drags the character over it.
// Last, the edge is put where the colours on either side of it say
// (BandAlpha), so that a strip of background the cut took in is not
// carried to the next frame and grown there: that is the frame's mask, and
// what is carried on is the colours' read of that mask's edge in turn,
// which is also where its matte starts (SoftEdge).

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include "matting/appearance.h"
#include "matting/band_alpha.h"
#include "matting/edge_refiner.h"

namespace matting {

class Tracker {
 public:
  Tracker(cv::Size workingSize, Appearance& appearance);

  // Starts from a frame whose mask is known (a key, or a frame a memo
  // kept).
  void reset(const cv::Mat& bgr, const cv::Mat& mask);

  // The mask (CV_8U, 0 or 255) on the next frame, at working size.
  const cv::Mat& step(const cv::Mat& bgr);

  // The colours' read of the edge of the last mask reset() or step() had.
  const EdgeRead& read() const { return read_; }

  // The band re-decided around a mask's edge at this working size.
  static int band(cv::Size workingSize);

 private:
  // The optical flow from one frame to another, both at `scale` of the
  // working size, in `field` at the working size; `small` holds it at
  // `scale` meanwhile.
  void flow(cv::DISOpticalFlow& solver, const cv::Mat& from, const cv::Mat& to, double scale, cv::Mat& small,
            cv::Mat& field);
  // The previous mask along the backward flow, in warped_; mapX_ and mapY_
  // say where each pixel came from.
  void warp_previous_mask();
  // Reads the edge of the frame's mask, and carries on what it reads.
  void carry(const cv::Mat& bgr, const cv::Mat& mask);

  Appearance& appearance_;
  EdgeRefiner refiner_;
  BandAlpha edge_;
  // One solver each way: the two flows are worked out at once.
  cv::Ptr<cv::DISOpticalFlow> backSolver_, foreSolver_;
  // Buffers reused from frame to frame.
  cv::Mat prevGray_, gray_, prevMask_, flowBack_, flowFore_, foreThere_, mapX_, mapY_, warped_, doubt_, mask_;
  // The flow's frames and fields, where the working size is larger.
  cv::Mat smallNow_, smallBefore_, smallBack_, smallFore_;
  cv::Mat cut_, alpha_, edgeBand_;  // the refiner's cut, and the edge read from the colours
  EdgeRead read_;
};

}  // namespace matting
