#include "matting/appearance.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace matting {

namespace {
// Lightness and yellow-blue in 16 levels each, texture in 8.
constexpr int kBins = 16 * 16 * 8;
}  // namespace

void look(const cv::Mat& bgr, cv::Mat& out, HueAxis axis) {
  cv::Mat lab, gray, energy, texture;
  cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab);
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  // Texture: the mean absolute Laplacian over a small window, on a log
  // scale with a fixed gain so that every frame is measured alike.
  cv::Laplacian(gray, energy, CV_16S, 3);
  energy = cv::abs(energy);
  energy.convertTo(energy, CV_32F);
  cv::blur(energy, energy, cv::Size(7, 7));
  cv::log(energy + 1, energy);
  energy.convertTo(texture, CV_8U, 45.0);
  cv::Mat channels[3];
  cv::split(lab, channels);
  if (axis == HueAxis::YellowBlue) channels[1] = channels[2];
  channels[2] = texture;
  cv::merge(channels, 3, out);
}

void Appearance::bins(const cv::Mat& bgr) {
  look(bgr, look_);
  bins_.create(bgr.size(), CV_16U);
  for (int y = 0; y < bgr.rows; ++y) {
    const uchar* p = look_.ptr<uchar>(y);
    ushort* o = bins_.ptr<ushort>(y);
    for (int x = 0; x < bgr.cols; ++x, p += 3) o[x] = ushort(((p[0] >> 4) * 16 + (p[1] >> 4)) * 8 + (p[2] >> 5));
  }
}

void Appearance::learn(const cv::Mat& bgr, const cv::Mat& mask) {
  bins(bgr);
  std::vector<double> fg(kBins, 0.0), bg(kBins, 0.0);
  double nfg = 0, nbg = 0;
  for (int y = 0; y < bins_.rows; ++y) {
    const ushort* b = bins_.ptr<ushort>(y);
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < bins_.cols; ++x) {
      (m[x] ? fg : bg)[b[x]] += 1;
      (m[x] ? nfg : nbg) += 1;
    }
  }
  // A look neither side has seen votes for neither: the same small prior
  // mass on both sides.
  const double prior = 1.0;
  vote_.assign(kBins, 0.f);
  for (int i = 0; i < kBins; ++i) {
    const double pf = (fg[i] + prior) / (nfg + prior * kBins);
    const double pb = (bg[i] + prior) / (nbg + prior * kBins);
    vote_[i] = std::clamp(float(std::log(pf / pb)), -kMaxVote, kMaxVote);
  }
}

void Appearance::vote(const cv::Mat& bgr, cv::Mat& out) {
  bins(bgr);
  out.create(bgr.size(), CV_32F);
  for (int y = 0; y < bgr.rows; ++y) {
    const ushort* b = bins_.ptr<ushort>(y);
    float* o = out.ptr<float>(y);
    for (int x = 0; x < bgr.cols; ++x) o[x] = vote_[b[x]];
  }
}

double Appearance::agreement(const cv::Mat& mask) const {
  double inside = 0, agree = 0;
  for (int y = 0; y < bins_.rows; ++y) {
    const ushort* b = bins_.ptr<ushort>(y);
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < bins_.cols; ++x) {
      if (!m[x]) continue;
      inside += 1;
      agree += vote_[b[x]] > 0;
    }
  }
  return inside > 0 ? agree / inside : 0.0;
}

}  // namespace matting
