#include "matting/colour_model.h"

#include <cmath>

namespace matting {

ColourModel::ColourModel(const cv::Mat& model) {
  const double* weights = model.ptr<double>(0);
  const double* means = weights + kParts;
  const double* covariances = means + 3 * kParts;
  for (int k = 0; k < kParts; ++k) {
    const cv::Matx33d covariance(covariances + 9 * k);
    const double det = cv::determinant(covariance);
    scale_[k] = det > 0 ? weights[k] / std::sqrt(det) : 0;
    mean_[k] = cv::Vec3d(means + 3 * k);
    inverse_[k] = det > 0 ? covariance.inv() : cv::Matx33d::zeros();
  }
}

double ColourModel::operator()(const cv::Vec3b& colour) const {
  double p = 0;
  for (int k = 0; k < kParts; ++k) {
    if (scale_[k] <= 0) continue;
    const cv::Vec3d d = cv::Vec3d(colour) - mean_[k];
    p += scale_[k] * std::exp(-0.5 * d.dot(inverse_[k] * d));
  }
  return p;
}

}  // namespace matting
