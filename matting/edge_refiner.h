#pragma once
// Re-decides a narrow band around a mask's edge with a graph cut that weighs
// the character's appearance against agreement with the mask: the rest of
// the mask is kept. Used after warping a mask to a new frame and after
// enlarging the anchor's mask to working size.

#include <opencv2/core.hpp>

namespace matting {

class EdgeRefiner {
 public:
  // The band reaches `band` pixels to each side of the edge; the guess's
  // pull grows over `sigma` pixels off its edge (half a band unless told).
  // With `standWhereAlike`, the looks weigh only as much as they tell the
  // guess's two sides apart around each pixel: where the two look alike
  // (a shoulder in shadow against a dark wall), the guess stands rather
  // than being eaten into a little more on every frame.
  explicit EdgeRefiner(int band, float sigma = 0, bool standWhereAlike = false);

  // guess: CV_8U, non-zero for the character; doubt (CV_8U, or empty):
  // non-zero where the guess is not to be trusted, which there is re-decided
  // by appearance alone; looks: the appearance's vote on bgr
  // (Appearance::vote). mask receives the result (CV_8U, 0 or 255).
  // motion (CV_32FC2, or none): each pixel's offset to where it was on the
  // frame the guess was carried from. Outside the guess, what moves apart from
  // the character nearby, further than the background does, is something
  // else moving by, however like him it looks: a man in a dark jacket
  // walking behind another.
  void refine(const cv::Mat& bgr, const cv::Mat& guess, const cv::Mat& doubt, const cv::Mat& looks, cv::Mat& mask,
              const cv::Mat* motion = nullptr);

 private:
  // How much the looks weigh at each pixel, from how well they tell the
  // guess's inside from its outside nearby.
  void weigh_looks(const cv::Mat& looks);
  // The background's motion and the character's nearby, for moves_apart().
  void weigh_motion(const cv::Mat& motion);
  // How far a pixel at (x, y) moving by f moves apart from the character's
  // motion nearby, past the background's own difference from it: 0 to 1.
  float moves_apart(int x, int y, const cv::Point2f& f) const;

  const int band_;
  const float sigma_;  // how fast trust in the guess grows off its edge
  const bool standWhereAlike_;
  cv::Mat hard_, inside_, outside_, signedDist_, seeds_, vote_;
  cv::Mat share_, votesIn_, votesOut_, weight_;  // for weigh_looks()
  cv::Mat movesIn_, nearIn_, cellShare_;         // for weigh_motion(), on its grid
  cv::Point2f still_;
};

}  // namespace matting
