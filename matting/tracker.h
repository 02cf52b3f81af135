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

#include <future>
#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include "matting/appearance.h"
#include "matting/band_alpha.h"
#include "matting/edge_refiner.h"

namespace matting {

class Tracker {
 public:
  // The appearance is the character's and the background's looks, which
  // stay as they are through the track. A tracker of a window of a larger
  // frame is given that frame's working size as `frameSize`: the band and
  // the flow's scale are the frame's, whatever the window's size.
  Tracker(cv::Size workingSize, const Appearance& appearance, cv::Size frameSize = {});

  // Starts from a frame whose mask is known (a key, or a frame a memo
  // kept).
  void reset(const cv::Mat& bgr, const cv::Mat& mask);

  // The mask (CV_8U, 0 or 255) on the next frame, at working size. Given
  // the frame after it, what needs no mask there (the motion to it, the
  // looks' vote on it) is worked out meanwhile: the next step starts from
  // it.
  const cv::Mat& step(const cv::Mat& bgr, const cv::Mat* next = nullptr);

  // The appearance as it last voted: on the frame step() last cut.
  const Appearance& appearance() const { return observed_.appearance; }

  // The colours' read of the edge of the last mask reset() or step() had.
  const EdgeRead& read() const { return read_; }

  // The band re-decided around a mask's edge at this working size.
  static int band(cv::Size workingSize);

 private:
  // What two frames alone say, with no mask: where each pixel came from
  // (mapX, mapY), where the way there and back misses home (doubt), and
  // the appearance's vote on the later frame (looks, voted by a copy of its
  // own). `gray` and `small` are the later frame, at working size and at
  // the flow's; `back` is the backward flow, each of its pixels' offset to
  // where it was on the earlier one.
  struct Observed {
    Appearance appearance;
    cv::Mat gray, small, back, mapX, mapY, doubt, looks;
  };
  // The flow's share of the working size (of the whole frame's).
  static double flow_scale(cv::Size frameSize);
  // The frame `bgr` as `gray` and `small` in `m`.
  void take_frame(const cv::Mat& bgr, Observed& m) const;
  // What is observed from the frame `before` holds to `bgr`, into `m`; on
  // two threads unless `alone`.
  void observe(const Observed& before, const cv::Mat& bgr, Observed& m, bool alone);
  // The optical flow from one frame to another, both at `scale` of the
  // working size, in `field` at the working size; `small` holds it at
  // `scale` meanwhile.
  void flow(cv::DISOpticalFlow& solver, const cv::Mat& from, const cv::Mat& to, double scale, cv::Mat& small,
            cv::Mat& field);
  // Waits for what is observed ahead, and forgets it.
  void drop_ahead();
  // The previous mask along the backward flow, in warped_.
  void warp_previous_mask();
  // Reads the edge of the frame's mask, and carries on what it reads.
  void carry(const cv::Mat& bgr, const cv::Mat& mask);

  EdgeRefiner refiner_;
  BandAlpha edge_;
  cv::Size size_;
  double flowScale_;
  // One solver each way: the two flows are worked out at once.
  cv::Ptr<cv::DISOpticalFlow> backSolver_, foreSolver_;
  // What was observed on the last frame, and on the next one while it is
  // worked out; swapped from frame to frame.
  Observed observed_, ahead_;
  // The forward flow at working size, both flows at the flow's, and the
  // forward one where each pixel came from: observe()'s own, which runs
  // once at a time.
  cv::Mat flowFore_, smallBack_, smallFore_, foreThere_;
  const uchar* aheadFor_ = nullptr;  // the next frame's pixels, when ahead_ is its
  // Buffers reused from frame to frame.
  cv::Mat prevMask_, warpedShare_, warped_, mask_;
  cv::Mat cut_, alpha_, edgeBand_;  // the refiner's cut, and the edge read from the colours
  EdgeRead read_;
  // Last, so that it is waited for before anything it writes goes.
  std::future<void> aheadDone_;
};

}  // namespace matting
