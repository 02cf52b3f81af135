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

// `gray` at the size the flow is worked out at.
const cv::Mat& at_flow_size(const cv::Mat& gray, double scale, cv::Mat& small) {
  if (scale >= 1) return gray;
  cv::resize(gray, small, cv::Size(), scale, scale, cv::INTER_LINEAR);
  return small;
}
}  // namespace

int Tracker::band(cv::Size size) { return std::max(4, std::max(size.width, size.height) / 60); }

Tracker::Tracker(cv::Size size, Appearance& appearance)
    : appearance_(appearance),
      // A carried edge holds where the looks cannot place it: otherwise a
      // little of what looks like the background nearby goes each frame.
      refiner_(band(size), 0, true),
      // The finer presets cost four times as much for little change in a
      // mask's warp at these sizes.
      backSolver_(cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_FAST)),
      foreSolver_(cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_FAST)) {
  mapX_.create(size, CV_32F);
  mapY_.create(size, CV_32F);
}

void Tracker::reset(const cv::Mat& bgr, const cv::Mat& mask) {
  cv::cvtColor(bgr, prevGray_, cv::COLOR_BGR2GRAY);
  carry(bgr, mask);
}

void Tracker::carry(const cv::Mat& bgr, const cv::Mat& mask) {
  edge_.solve(mask, bgr, read_.alpha, read_.band);
  cv::compare(read_.alpha, 0.5, warped_, cv::CMP_GT);  // warped_ is free until the next step
  warped_.convertTo(prevMask_, CV_32F, 1.0 / 255);
}

void Tracker::flow(cv::DISOpticalFlow& solver, const cv::Mat& from, const cv::Mat& to, double scale, cv::Mat& small,
                   cv::Mat& field) {
  if (scale >= 1) return solver.calc(from, to, field);
  small.release();
  solver.calc(from, to, small);
  cv::resize(small, field, gray_.size(), 0, 0, cv::INTER_LINEAR);
  field *= 1 / scale;
}

void Tracker::warp_previous_mask() {
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
  cv::compare(warped_, 0.5, warped_, cv::CMP_GT);
}

const cv::Mat& Tracker::step(const cv::Mat& bgr) {
  cv::cvtColor(bgr, gray_, cv::COLOR_BGR2GRAY);
  // The flow starts from nothing: given a field of the right size, the
  // solver would start from the last step's, and a step would then depend
  // on more than the previous frame and its mask, which is all reset()
  // gives a track resumed from what a memo kept.
  flowBack_.release(), flowFore_.release();
  const double scale = double(kFlowSide) / std::max(gray_.cols, gray_.rows);
  const cv::Mat& now = at_flow_size(gray_, scale, smallNow_);
  const cv::Mat& before = at_flow_size(prevGray_, scale, smallBefore_);
  // Backward flow: where each pixel of this frame was in the previous one;
  // the mask warped along it. The forward flow, for the check below, is
  // worked out meanwhile.
  side_by_side([&] { flow(*foreSolver_, before, now, scale, smallFore_, flowFore_); },
               [&] {
                 flow(*backSolver_, now, before, scale, smallBack_, flowBack_);
                 warp_previous_mask();
               });

  // There and back: the forward flow where each pixel came from should
  // bring it home.
  cv::remap(flowFore_, foreThere_, mapX_, mapY_, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  doubt_.create(bgr.size(), CV_8U);
  for (int y = 0; y < bgr.rows; ++y) {
    const cv::Point2f* back = flowBack_.ptr<cv::Point2f>(y);
    const cv::Point2f* fore = foreThere_.ptr<cv::Point2f>(y);
    uchar* d = doubt_.ptr<uchar>(y);
    for (int x = 0; x < bgr.cols; ++x) {
      const cv::Point2f miss = back[x] + fore[x];
      // Where a pixel came from outside the frame, the way home is not
      // known: the replicated border is the best guess, not a doubtful one.
      const float fromX = x + back[x].x, fromY = y + back[x].y;
      const bool fromOutside = fromX < 1 || fromY < 1 || fromX > bgr.cols - 2 || fromY > bgr.rows - 2;
      d[x] = !fromOutside && miss.dot(miss) > kHomeMiss * kHomeMiss + 0.01f * back[x].dot(back[x]) ? 255 : 0;
    }
  }
  refiner_.refine(bgr, warped_, doubt_, appearance_, cut_);
  edge_.solve(cut_, bgr, alpha_, edgeBand_);
  cv::compare(alpha_, 0.5, mask_, cv::CMP_GT);

  carry(bgr, mask_);
  std::swap(prevGray_, gray_);
  return mask_;
}

}  // namespace matting
