#include "matting/grabcut_start.h"

#include <limits>
#include <opencv2/imgproc.hpp>

#include "matting/colour_model.h"

namespace matting {

namespace {

constexpr int kComponents = 5;  // GrabCut's, per side
constexpr int kStarts = 10;
// At most this many pixels a side are clustered, evenly spread: GrabCut
// learns from every pixel from its first round on.
constexpr int kMostSamples = 20000;

// One side's model: a component per cluster, with its share, mean and
// covariance, in GrabCut's 1 x 65 layout.
bool side_model(const cv::Mat& bgr, const cv::Mat& side, cv::Mat& model) {
  const int n = cv::countNonZero(side);
  if (n < 4 * kComponents) return false;
  const int step = (n + kMostSamples - 1) / kMostSamples;
  cv::Mat samples(n / step + 1, 3, CV_32F);
  int seen = 0, taken = 0;
  for (int y = 0; y < bgr.rows; ++y) {
    const cv::Vec3b* c = bgr.ptr<cv::Vec3b>(y);
    const uchar* s = side.ptr<uchar>(y);
    for (int x = 0; x < bgr.cols; ++x) {
      if (!s[x] || seen++ % step != 0) continue;
      float* row = samples.ptr<float>(taken++);
      for (int k = 0; k < 3; ++k) row[k] = c[x][k];
    }
  }
  samples = samples.rowRange(0, taken);
  cv::Mat cluster;
  cv::kmeans(samples, kComponents, cluster, cv::TermCriteria(cv::TermCriteria::MAX_ITER, 10, 0), kStarts,
             cv::KMEANS_PP_CENTERS);

  model.create(1, 13 * kComponents, CV_64F);
  model.setTo(0);
  double* share = model.ptr<double>();
  double* mean = share + kComponents;
  double* covariance = mean + 3 * kComponents;
  cv::Matx31d sum[kComponents];
  cv::Matx33d products[kComponents];
  int count[kComponents] = {};
  for (int i = 0; i < taken; ++i) {
    const int k = cluster.at<int>(i);
    const float* r = samples.ptr<float>(i);
    const cv::Matx31d c(r[0], r[1], r[2]);
    sum[k] += c;
    products[k] += c * c.t();
    ++count[k];
  }
  for (int k = 0; k < kComponents; ++k) {
    if (count[k] == 0) continue;
    const cv::Matx31d m = sum[k] * (1.0 / count[k]);
    cv::Matx33d v = products[k] * (1.0 / count[k]) - m * m.t();
    // As GrabCut does for a component of one colour.
    if (cv::determinant(v) <= std::numeric_limits<double>::epsilon())
      for (int j = 0; j < 3; ++j) v(j, j) += 0.01;
    share[k] = double(count[k]) / taken;
    for (int j = 0; j < 3; ++j) mean[3 * k + j] = m(j);
    for (int j = 0; j < 9; ++j) covariance[9 * k + j] = v.val[j];
  }
  return true;
}

}  // namespace

bool grabcut_start(const cv::Mat& bgr, cv::Mat& labels, cv::Mat& backgroundModel, cv::Mat& characterModel,
                   const cv::Mat& open) {
  const cv::Mat character = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
  cv::Mat background = ~character, undecided;
  if (!open.empty()) {
    undecided = open & (labels == cv::GC_PR_BGD);
    background.setTo(0, undecided);
  }
  // Too little background past the undecided strips: GrabCut's own reading.
  if (!side_model(bgr, background, backgroundModel))
    return !open.empty() && grabcut_start(bgr, labels, backgroundModel, characterModel);
  if (!side_model(bgr, character, characterModel)) return false;
  if (open.empty()) return true;
  const ColourModel ofBackground(backgroundModel), ofCharacter(characterModel);
  for (int y = 0; y < bgr.rows; ++y) {
    const cv::Vec3b* c = bgr.ptr<cv::Vec3b>(y);
    const uchar* u = undecided.ptr<uchar>(y);
    uchar* l = labels.ptr<uchar>(y);
    for (int x = 0; x < bgr.cols; ++x)
      if (u[x] && ofCharacter(c[x]) > ofBackground(c[x])) l[x] = cv::GC_PR_FGD;
  }
  return true;
}

}  // namespace matting
