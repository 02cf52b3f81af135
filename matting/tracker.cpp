#include "matting/tracker.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "matting/graph_cut.h"
#include "matting/mask_cleanup.h"

namespace matting {

namespace {
// Weights of the banded cut: appearance votes span +-Appearance::kMaxVote,
// the shape term +-kShapeClamp.
constexpr float kAppearanceWeight = 0.5f;
constexpr float kShapeWeight = 1.5f;
constexpr float kShapeClamp = 3.f;
constexpr float kSmoothness = 3.f;
}  // namespace

Tracker::Tracker(cv::Size size, Appearance& appearance)
    : appearance_(appearance),
      band_(std::max(4, std::max(size.width, size.height) / 60)),
      sigma_(std::max(2.f, band_ / 2.f)),
      // The finer presets cost four times as much for little change in a
      // mask's warp at these sizes.
      flow_(cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_FAST)) {
  mapX_.create(size, CV_32F);
  mapY_.create(size, CV_32F);
}

void Tracker::reset(const cv::Mat& bgr, const cv::Mat& mask) {
  cv::cvtColor(bgr, prevGray_, cv::COLOR_BGR2GRAY);
  mask.convertTo(prevMask_, CV_32F, 1.0 / 255);
}

void Tracker::warp_previous() {
  // Backward flow: where each pixel of this frame was in the previous one.
  flow_->calc(gray_, prevGray_, flowBack_);
  for (int y = 0; y < flowBack_.rows; ++y) {
    const cv::Point2f* f = flowBack_.ptr<cv::Point2f>(y);
    float* mx = mapX_.ptr<float>(y);
    float* my = mapY_.ptr<float>(y);
    for (int x = 0; x < flowBack_.cols; ++x) {
      mx[x] = x + f[x].x;
      my[x] = y + f[x].y;
    }
  }
  // Replicated borders: a character cut by the frame's edge stays cut there.
  cv::remap(prevMask_, warped_, mapX_, mapY_, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::compare(warped_, 0.5, hard_, cv::CMP_GT);
}

const cv::Mat& Tracker::step(const cv::Mat& bgr) {
  cv::cvtColor(bgr, gray_, cv::COLOR_BGR2GRAY);
  warp_previous();

  // Signed distance to the warped edge, positive inside; the band within
  // band_ of it is free, the rest keeps its warped label.
  cv::distanceTransform(hard_, inside_, cv::DIST_L2, 3);
  cv::bitwise_not(hard_, seeds_);
  cv::distanceTransform(seeds_, outside_, cv::DIST_L2, 3);
  cv::subtract(inside_, outside_, signedDist_);
  seeds_.create(bgr.size(), CV_8U);
  appearance_.vote(bgr, vote_);
  for (int y = 0; y < bgr.rows; ++y) {
    const float* sd = signedDist_.ptr<float>(y);
    float* v = vote_.ptr<float>(y);
    uchar* s = seeds_.ptr<uchar>(y);
    for (int x = 0; x < bgr.cols; ++x) {
      s[x] = std::abs(sd[x]) <= band_ ? kFree : sd[x] > 0 ? kFixedCharacter : kFixedBackground;
      v[x] = kAppearanceWeight * v[x] + kShapeWeight * std::clamp(sd[x] / sigma_, -kShapeClamp, kShapeClamp);
    }
  }
  graph_cut(bgr, vote_, seeds_, kSmoothness, mask_);
  clean_mask(mask_);

  mask_.convertTo(prevMask_, CV_32F, 1.0 / 255);
  std::swap(prevGray_, gray_);
  return mask_;
}

}  // namespace matting
