#include "matting/tracker.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "matting/side_by_side.h"

namespace matting {

namespace {
// Pixels a round trip along the flow may miss home by and still be trusted.
constexpr float kHomeMiss = 1.5f;
// The flow is worked out on frames no larger than this on their long side:
// a larger working size costs more for no better warp, as the band is
// re-decided after it anyway.
constexpr int kFlowSide = 720;
}  // namespace

int Tracker::band(cv::Size size) { return std::max(4, std::max(size.width, size.height) / 60); }

// A carried edge holds where the looks cannot place it: otherwise a little
// of what looks like the background nearby goes each frame.
Tracker::Tracker(cv::Size size, const Appearance& appearance, cv::Size frameSize)
    : refiner_(band(frameSize.empty() ? size : frameSize), 0, true),
      size_(size),
      flowScale_(flow_scale(frameSize.empty() ? size : frameSize)),
      // The finer presets cost four times as much for little change in a
      // mask's warp at these sizes.
      backSolver_(cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_FAST)),
      foreSolver_(cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_FAST)) {
  observed_.appearance = ahead_.appearance = appearance;
}

void Tracker::reset(const cv::Mat& bgr, const cv::Mat& mask) {
  drop_ahead();
  take_frame(bgr, observed_);
  carry(bgr, mask);
}

double Tracker::flow_scale(cv::Size frameSize) {
  return double(kFlowSide) / std::max(frameSize.width, frameSize.height);
}

void Tracker::take_frame(const cv::Mat& bgr, Observed& m) const {
  cv::cvtColor(bgr, m.gray, cv::COLOR_BGR2GRAY);
  if (flowScale_ < 1) cv::resize(m.gray, m.small, cv::Size(), flowScale_, flowScale_, cv::INTER_LINEAR);
}

void Tracker::drop_ahead() {
  if (aheadDone_.valid()) aheadDone_.get();
  aheadFor_ = nullptr;
}

void Tracker::carry(const cv::Mat& bgr, const cv::Mat& mask) {
  edge_.solve(mask, bgr, read_.alpha, read_.band);
  cv::compare(read_.alpha, 0.5, warped_, cv::CMP_GT);  // warped_ is free until the next step
  warped_.convertTo(prevMask_, CV_32F, 1.0 / 255);
}

void Tracker::flow(cv::DISOpticalFlow& solver, const cv::Mat& from, const cv::Mat& to, double scale, cv::Mat& small,
                   cv::Mat& field) {
  // The flow starts from nothing: given a field of the right size, the
  // solver would start from it, and a step would then depend on more than
  // the previous frame and its mask, which is all reset() gives a track
  // resumed from what a memo kept.
  if (scale >= 1) {
    field.release();
    return solver.calc(from, to, field);
  }
  small.release();
  solver.calc(from, to, small);
  cv::resize(small, field, size_, 0, 0, cv::INTER_LINEAR);
  field *= 1 / scale;
}

void Tracker::observe(const Observed& before, const cv::Mat& bgr, Observed& m, bool alone) {
  take_frame(bgr, m);
  const double scale = flowScale_;
  const cv::Mat& now = scale < 1 ? m.small : m.gray;
  const cv::Mat& then = scale < 1 ? before.small : before.gray;
  // Backward flow: where each pixel of this frame was in the previous one,
  // which the mask is warped along. The forward flow is for the check
  // below.
  const auto fore = [&] {
    flow(*foreSolver_, then, now, scale, smallFore_, flowFore_);
    m.appearance.vote(bgr, m.looks);
  };
  const auto back = [&] {
    flow(*backSolver_, now, then, scale, smallBack_, m.back);
    m.mapX.create(size_, CV_32F);
    m.mapY.create(size_, CV_32F);
    for (int y = 0; y < size_.height; ++y) {
      const cv::Point2f* f = m.back.ptr<cv::Point2f>(y);
      float* mx = m.mapX.ptr<float>(y);
      float* my = m.mapY.ptr<float>(y);
      for (int x = 0; x < size_.width; ++x) {
        mx[x] = x + f[x].x;
        my[x] = y + f[x].y;
      }
    }
  };
  if (alone) {
    fore();
    back();
  } else {
    side_by_side(fore, back);
  }

  // There and back: the forward flow where each pixel came from should
  // bring it home.
  cv::remap(flowFore_, foreThere_, m.mapX, m.mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  m.doubt.create(size_, CV_8U);
  for (int y = 0; y < size_.height; ++y) {
    const cv::Point2f* back = m.back.ptr<cv::Point2f>(y);
    const cv::Point2f* fore = foreThere_.ptr<cv::Point2f>(y);
    uchar* d = m.doubt.ptr<uchar>(y);
    for (int x = 0; x < size_.width; ++x) {
      const cv::Point2f miss = back[x] + fore[x];
      // Where a pixel came from outside the frame, the way home is not
      // known: the replicated border is the best guess, not a doubtful one.
      const float fromX = x + back[x].x, fromY = y + back[x].y;
      const bool fromOutside = fromX < 1 || fromY < 1 || fromX > size_.width - 2 || fromY > size_.height - 2;
      d[x] = !fromOutside && miss.dot(miss) > kHomeMiss * kHomeMiss + 0.01f * back[x].dot(back[x]) ? 255 : 0;
    }
  }
}

void Tracker::warp_previous_mask() {
  // Replicated borders: a character cut by the frame's edge stays cut there.
  cv::remap(prevMask_, warpedShare_, observed_.mapX, observed_.mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::compare(warpedShare_, 0.5, warped_, cv::CMP_GT);
}

const cv::Mat& Tracker::step(const cv::Mat& bgr, const cv::Mat* next) {
  if (aheadFor_ && aheadFor_ == bgr.data) {
    aheadDone_.get();
    aheadFor_ = nullptr;
  } else {
    drop_ahead();
    observe(observed_, bgr, ahead_, false);
  }
  std::swap(observed_, ahead_);
  // ahead_ now holds what was observed on the previous frame, which nothing reads.
  if (next) {
    aheadFor_ = next->data;
    aheadDone_ = std::async(std::launch::async, [this, next = *next] { observe(observed_, next, ahead_, true); });
  }

  warp_previous_mask();
  refiner_.refine(bgr, warped_, observed_.doubt, observed_.looks, cut_, &observed_.back);
  edge_.solve(cut_, bgr, alpha_, edgeBand_);
  cv::compare(alpha_, 0.5, mask_, cv::CMP_GT);

  carry(bgr, mask_);
  return mask_;
}

}  // namespace matting
