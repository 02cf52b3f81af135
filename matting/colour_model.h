#pragma once
// GrabCut's colour models read back: the density of a colour under one.

#include <opencv2/core.hpp>

namespace matting {

// The density of a colour under one of GrabCut's colour models (1 x 65
// doubles): five Gaussians, their weights, then their means, then their
// covariances. Without the constant factor every component shares.
class ColourModel {
 public:
  explicit ColourModel(const cv::Mat& model);
  double operator()(const cv::Vec3b& colour) const;

 private:
  static constexpr int kParts = 5;
  double scale_[kParts];
  cv::Vec3d mean_[kParts];
  cv::Matx33d inverse_[kParts];
};

}  // namespace matting
