#include "matting/edge_refiner.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "matting/graph_cut.h"
#include "matting/mask_cleanup.h"
#include "matting/median_motion.h"
#include "matting/side_by_side.h"

namespace matting {

namespace {
// Appearance votes span +-Appearance::kMaxVote, the shape term
// +-kShapeClamp: off the edge the guess wins over all but the clearest look.
constexpr float kAppearanceWeight = 0.5f;
constexpr float kShapeWeight = 1.5f;
constexpr float kShapeClamp = 3.f;
constexpr float kSmoothness = 3.f;
// Where the guess is doubted, what is left of its pull.
constexpr float kDoubtedShape = 0.2f;
// Background uncovered behind a moving character lies along its edge: a
// round trip along the flow that fails further inside the guess than this
// many bands is the flow losing its way on texture (a knit, a blur), and
// the guess stands there. Doubted so, a patch of sweater went out and the
// hole was carried to the end of the shot. Outside the guess, doubt
// anywhere may be a part of the character the flow lost.
constexpr float kDoubtReach = 2.f;
// The looks are weighed over this many bands each way: wide enough to see
// both sides of the edge well past the band.
constexpr int kAlikeReach = 6;
// A vote for the background weighs in full where the character's own
// pixels nearby vote this much for the character on average, and not at all
// where they vote as much against it.
constexpr float kOwnLooksClear = 0.5f;
// The character's motion around a pixel is the mean over the guess within
// this many bands: near enough that a swinging arm moves as itself.
constexpr int kMotionReach = 2;
// It is worked out on a grid of cells this many pixels a side: the flow it
// reads is smoother than that.
constexpr int kMotionCell = 4;
// A pixel moves apart from the character once it moves further from his
// motion nearby than the background does, and than this share of a band
// (a pixel and a half at 720 pixels wide, past the flow's strays on flat
// dark cloth); the vote against it is full one such share further on.
constexpr float kMovesApart = 0.125f;
constexpr float kMotionWeight = 2.f;
}  // namespace

EdgeRefiner::EdgeRefiner(int band, float sigma, bool standWhereAlike)
    : band_(band), sigma_(sigma > 0 ? sigma : std::max(2.f, band / 2.f)), standWhereAlike_(standWhereAlike) {}

void EdgeRefiner::weigh_looks(const cv::Mat& looks) {
  // The mean votes inside the guess and outside it, around each pixel. A
  // vote for the character weighs as far as the two are a vote's unit
  // apart. A vote for the background weighs as far as the character's own
  // pixels nearby look like the character: where even they read as the
  // background (a jacket in shadow, its colour the dark wall's elsewhere in
  // the frame), such a vote tells nothing, however unlike the wall beside
  // it is, and a band of the jacket would go on every frame.
  hard_.convertTo(share_, CV_32F, 1.0 / 255);
  cv::multiply(looks, share_, votesIn_);
  cv::subtract(looks, votesIn_, votesOut_);
  const cv::Size window(2 * kAlikeReach * band_ + 1, 2 * kAlikeReach * band_ + 1);
  const float area = float(window.area());
  cv::boxFilter(votesIn_, votesIn_, CV_32F, window, cv::Point(-1, -1), false);
  cv::boxFilter(votesOut_, votesOut_, CV_32F, window, cv::Point(-1, -1), false);
  cv::boxFilter(share_, share_, CV_32F, window, cv::Point(-1, -1), false);
  weight_.create(looks.size(), CV_32F);
  for (int y = 0; y < looks.rows; ++y) {
    const float* in = votesIn_.ptr<float>(y);
    const float* out = votesOut_.ptr<float>(y);
    const float* n = share_.ptr<float>(y);
    const float* l = looks.ptr<float>(y);
    float* w = weight_.ptr<float>(y);
    for (int x = 0; x < looks.cols; ++x) {
      // Only one side in reach: nothing to compare, the looks weigh in full.
      if (n[x] < 1 || area - n[x] < 1) {
        w[x] = 1.f;
        continue;
      }
      const float inside = in[x] / n[x], outside = out[x] / (area - n[x]);
      w[x] = std::clamp(l[x] < 0 ? (inside + kOwnLooksClear) / (2 * kOwnLooksClear) : inside - outside, 0.f, 1.f);
    }
  }
}

void EdgeRefiner::weigh_motion(const cv::Mat& motion) {
  // The background's motion, the camera's where it pans, against which
  // the character's own stands out.
  still_ = median_motion(motion, hard_, false);
  // The character's motion nearby, from each cell's mean motion and share
  // of the guess.
  const cv::Size grid((motion.cols + kMotionCell - 1) / kMotionCell, (motion.rows + kMotionCell - 1) / kMotionCell);
  cv::resize(hard_, nearIn_, grid, 0, 0, cv::INTER_AREA);
  nearIn_.convertTo(nearIn_, CV_32F, 1.0 / 255);
  cv::resize(motion, movesIn_, grid, 0, 0, cv::INTER_AREA);
  const cv::Mat share[] = {nearIn_, nearIn_};
  cv::merge(share, 2, cellShare_);
  cv::multiply(movesIn_, cellShare_, movesIn_);
  const int reach = kMotionReach * band_ / kMotionCell;
  const cv::Size window(2 * reach + 1, 2 * reach + 1);
  cv::boxFilter(movesIn_, movesIn_, CV_32F, window, cv::Point(-1, -1), false);
  cv::boxFilter(nearIn_, nearIn_, CV_32F, window, cv::Point(-1, -1), false);
}

float EdgeRefiner::moves_apart(int x, int y, const cv::Point2f& f) const {
  const int cx = x / kMotionCell, cy = y / kMotionCell;
  const float n = nearIn_.at<float>(cy, cx);
  // No character nearby: nothing to move apart from.
  if (n < 1) return 0;
  const cv::Point2f his = movesIn_.at<cv::Point2f>(cy, cx) / n;
  const float unit = kMovesApart * band_;
  const float beyond = float(cv::norm(f - his)) - std::max(unit, float(cv::norm(his - still_)));
  return std::clamp(beyond / unit, 0.f, 1.f);
}

void EdgeRefiner::refine(const cv::Mat& bgr, const cv::Mat& guess, const cv::Mat& doubt, const cv::Mat& looks,
                         cv::Mat& mask, const cv::Mat* motion) {
  // Signed distance to the guess's edge, positive inside; how much the
  // looks weigh, meanwhile, or else each side's distances at once.
  cv::compare(guess, 0, hard_, cv::CMP_GT);
  const auto inside = [&] { cv::distanceTransform(hard_, inside_, cv::DIST_L2, 3); };
  const auto outside = [&] {
    cv::bitwise_not(hard_, seeds_);
    cv::distanceTransform(seeds_, outside_, cv::DIST_L2, 3);
  };
  if (standWhereAlike_)
    side_by_side(
        [&] {
          inside();
          outside();
        },
        [&] {
          weigh_looks(looks);
          if (motion) weigh_motion(*motion);
        });
  else
    side_by_side(inside, [&] {
      outside();
      if (motion) weigh_motion(*motion);
    });
  cv::subtract(inside_, outside_, signedDist_);
  vote_.create(bgr.size(), CV_32F);
  seeds_.create(bgr.size(), CV_8U);
  for (int y = 0; y < bgr.rows; ++y) {
    const float* sd = signedDist_.ptr<float>(y);
    const uchar* d = doubt.empty() ? nullptr : doubt.ptr<uchar>(y);
    const float* l = looks.ptr<float>(y);
    const float* w = standWhereAlike_ ? weight_.ptr<float>(y) : nullptr;
    const cv::Point2f* f = motion ? motion->ptr<cv::Point2f>(y) : nullptr;
    float* v = vote_.ptr<float>(y);
    uchar* s = seeds_.ptr<uchar>(y);
    for (int x = 0; x < bgr.cols; ++x) {
      const bool doubtful = d && d[x] && sd[x] <= kDoubtReach * band_;
      s[x] = doubtful || std::abs(sd[x]) <= band_ ? kFree : sd[x] > 0 ? kFixedCharacter : kFixedBackground;
      const float shape = std::clamp(sd[x] / sigma_, -kShapeClamp, kShapeClamp) * (doubtful ? kDoubtedShape : 1.f);
      v[x] = kAppearanceWeight * (w ? w[x] : 1.f) * l[x] + kShapeWeight * shape;
      // Where the flow is doubted, its motion tells nothing; inside the
      // guess, a part moving its own way is still his.
      if (f && s[x] == kFree && sd[x] < 0 && !doubtful) v[x] -= kMotionWeight * moves_apart(x, y, f[x]);
    }
  }
  graph_cut(bgr, vote_, seeds_, kSmoothness, mask);
  // The character is what the guess holds: a part of the cut that does not
  // touch it is something else that looks like it, such as another person
  // walking by, whose own motion the flow doubted.
  keep_touching(mask, guess);
  // A hole stays open on what the looks say alone: the guess's own hole
  // would otherwise keep itself open.
  clean_mask(mask, 0.02, 0.01, &looks);
}

}  // namespace matting
