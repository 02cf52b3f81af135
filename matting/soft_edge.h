#pragma once
// The matte at full size from the working-size mask: alpha read from the
// colours in a band along the edge (BandAlpha), then a guided filter whose
// coefficients are computed at working size and applied to the full-size
// frame inside the edge band only, so hair and motion blur get soft alpha
// while the inside and outside stay exactly 1 and 0.

#include <vector>

#include <opencv2/core.hpp>

#include "matting/band_alpha.h"

namespace matting {

class SoftEdge {
 public:
  // softness 0 gives a hard edge, 1 the widest, smoothest one.
  explicit SoftEdge(double softness) : softness_(softness) {}

  // mask: CV_8U 0/255 at working size; workBgr: the frame at working size;
  // fullGray: the frame's grey at full size. matte: CV_8U at full size.
  // `read`, when given, is BandAlpha's read of this mask on this frame,
  // already made elsewhere.
  void render(const cv::Mat& mask, const cv::Mat& workBgr, const cv::Mat& fullGray, cv::Mat& matte,
              const EdgeRead* read = nullptr);

 private:
  // Where a full-size column or row reads the working size: the two
  // neighbours of linear interpolation, the second's weight, and the nearest.
  struct Tap {
    int lo, hi, nearest;
    float w;
  };
  static void place(int start, int count, double scale, int length, std::vector<Tap>& taps);
  // The matte over `area` of the full size from the working-size decided
  // edge, and within band_ from the filter's coefficients a_ and b_.
  void enlarge_into(const cv::Rect& area, const cv::Mat& fullGray, cv::Mat& matte);

  double softness_;
  BandAlpha bandAlpha_;
  cv::Mat guide_, meanI_, meanP_, corrIP_, varI_, a_, b_, band_;
  EdgeRead read_;   // the colours' alpha and band, where none is given
  cv::Mat decided_;  // the edge the colours decided
  std::vector<Tap> columns_, rows_;
};

}  // namespace matting
