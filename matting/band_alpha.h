#pragma once
// Alpha in a narrow band around a mask's edge from the colours on either
// side of it: each pixel of the band is read as a mix of a character colour
// and a background colour taken from just inside and just outside the band,
// so a strip of background the mask took in goes back out, and hair that
// mixes with what is behind it gets its share. Where the two sides look
// alike the mask decides.

#include <vector>

#include <opencv2/core.hpp>

namespace matting {

// What solve() reads around a mask: its alpha and its band.
struct EdgeRead {
  cv::Mat alpha, band;
};

class BandAlpha {
 public:
  // mask: CV_8U 0/255; bgr: the frame at the mask's size. alpha receives
  // CV_32F 0..1 (exactly the mask off the band); band: CV_8U, non-zero in
  // the band.
  void solve(const cv::Mat& mask, const cv::Mat& bgr, cv::Mat& alpha, cv::Mat& band);

 private:
  // solve() on the character's surroundings; alpha holds the mask already.
  void read(const cv::Mat& mask, const cv::Mat& bgr, int side, cv::Mat& alpha, cv::Mat& band);
  // The colours' alpha on rows first..end-1 of the band, from the sure
  // pixels read() found.
  void read_rows(int first, int end, const cv::Mat& bgr, int side, const cv::Mat& band, cv::Mat& alpha) const;

  cv::Mat smooth_, inner_, outer_, innerDist_, outerDist_, innerLabel_, outerLabel_;
  std::vector<cv::Point> innerAt_, outerAt_;
};

}  // namespace matting
