#include "matting/dab_regions.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "matting/median_motion.h"

namespace matting {

namespace {
// The largest colour step between neighbours inside a region, in 8-bit
// CIELab units: grain and shading step less, a silhouette's edge more.
constexpr float kStep = 7.f;
// How far from the disc's mean colour a region reaches: this many times
// the disc's own spread, and at least kNear.
constexpr float kSpreads = 3.f;
constexpr float kNear = 22.f;
// Where a region may grow only if its colour is rare near the dab: within
// this many radii, no more than this share of where it may grow alike.
// A dab on hair against a background of its colour grows no further than
// its disc, rather than over the background.
constexpr int kNearby = 4;
constexpr double kRare = 0.5;

// A median absolute deviation times this is a spread.
constexpr float kMadToSpread = 1.4826f;
// Pixels further than this from the disc's own motion move apart from it
// (further, when the character moves further from it).
constexpr float kMovesApart = 1.5f;
// A region that would run on past its bound with the reach this much
// wider, or grow to more than kHeldGrowth times itself, is held by no
// edge, only by the reach: its colours meet the character's through small
// steps, and it keeps to kLeaking of the reach. An exclude dab on a dark
// red wall beside a man holding still took his dark jacket and hair with
// the wall, just short of half the mask; one on the dark chair behind his
// shoulder took his jacket and the hair above it, a third of him, and a
// fifth more again with the wider reach. Held by the edge of his hair, the
// regions of dabs on that wall grew by a ninth at most.
constexpr float kLeakTest = 1.5f;
constexpr float kHeldGrowth = 1.15f;
constexpr float kLeaking = 0.5f;

float distance(const cv::Vec3b& a, const cv::Vec3b& b) {
  const float d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
  return std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
}
// Shading changes lightness most: it counts half in how far a colour is
// from the disc's.
float shaded_distance(const cv::Vec3f& a, const cv::Vec3f& b) {
  const float d0 = 0.5f * (a[0] - b[0]), d1 = a[1] - b[1], d2 = a[2] - b[2];
  return std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
}
}  // namespace

DabRegions::DabRegions(const cv::Mat& bgr, const cv::Mat& flow) : flow_(flow) {
  cv::medianBlur(bgr, lab_, 5);
  cv::cvtColor(lab_, lab_, cv::COLOR_BGR2Lab);
}

void DabRegions::grow(cv::Point centre, int radius, const cv::Mat& domain, bool onlyWhereRare, int most,
                      cv::Mat& out) const {
  const cv::Rect frame(cv::Point(), lab_.size());
  // The disc's typical colour and spread, robustly: a dab wider than a
  // lock of hair holds some of what is behind it too. And how it moves, for
  // an exclude dab's region to keep to what moves with it.
  const bool byMotion = !onlyWhereRare && !flow_.empty();
  std::vector<float> channel[3], motion[2];
  for (int y = std::max(0, centre.y - radius); y <= std::min(lab_.rows - 1, centre.y + radius); ++y)
    for (int x = std::max(0, centre.x - radius); x <= std::min(lab_.cols - 1, centre.x + radius); ++x) {
      if ((x - centre.x) * (x - centre.x) + (y - centre.y) * (y - centre.y) > radius * radius) continue;
      const cv::Vec3b& c = lab_.at<cv::Vec3b>(y, x);
      for (int k = 0; k < 3; ++k) channel[k].push_back(c[k]);
      if (byMotion) {
        const cv::Point2f& f = flow_.at<cv::Point2f>(y, x);
        motion[0].push_back(f.x), motion[1].push_back(f.y);
      }
    }
  if (channel[0].empty()) return;
  const cv::Point2f moves = byMotion ? cv::Point2f(median(motion[0]), median(motion[1])) : cv::Point2f();
  // And how the rest of the domain (the character the dab corrects)
  // moves: a pixel moves with the disc when its motion is within half the
  // way to that, or kMovesApart if more. The flow on a flat dark chair is
  // dragged by the shoulder beside it and varies across the chair; half
  // the way keeps the chair whole while the shoulder still moves apart.
  float apart = kMovesApart;
  if (byMotion) apart = std::max(kMovesApart, 0.5f * float(cv::norm(median_motion(flow_, domain) - moves)));
  const auto with_disc = [&](cv::Point q) {
    if (!byMotion) return true;
    const cv::Point2f d = flow_.at<cv::Point2f>(q) - moves;
    return d.dot(d) <= apart * apart;
  };
  cv::Vec3f m, spread;
  for (int k = 0; k < 3; ++k) {
    m[k] = median(channel[k]);
    for (float& v : channel[k]) v = std::abs(v - m[k]);
    spread[k] = kMadToSpread * median(channel[k]);
  }
  const float reach = std::max(kNear, kSpreads * shaded_distance(spread, cv::Vec3f()));
  const auto like = [&](int x, int y) { return shaded_distance(cv::Vec3f(lab_.at<cv::Vec3b>(y, x)), m) <= reach; };
  bool grows = true;
  if (onlyWhereRare) {
    const int side = kNearby * radius;
    const cv::Rect nearby = cv::Rect(centre.x - side, centre.y - side, 2 * side + 1, 2 * side + 1) & frame;
    int open = 0, alike = 0;
    for (int y = nearby.y; y < nearby.br().y; ++y)
      for (int x = nearby.x; x < nearby.br().x; ++x)
        if (domain.at<uchar>(y, x)) ++open, alike += like(x, y);
    grows = alike <= kRare * open;
  }
  // The disc's pixels that look like it start the region; breadth first
  // from them, `out` marking what is taken.
  std::vector<cv::Point> queue;
  const cv::Rect bounds = cv::Rect(centre.x - radius, centre.y - radius, 2 * radius + 1, 2 * radius + 1) & frame;
  for (int y = bounds.y; y < bounds.br().y; ++y)
    for (int x = bounds.x; x < bounds.br().x; ++x)
      if ((x - centre.x) * (x - centre.x) + (y - centre.y) * (y - centre.y) <= radius * radius && like(x, y)) {
        out.at<uchar>(y, x) = 255;
        queue.push_back({x, y});
      }
  const size_t disc = queue.size();
  static const int dx[] = {1, -1, 0, 0}, dy[] = {0, 0, 1, -1};
  const size_t limit = disc + size_t(std::max(0, most));
  const auto flood = [&](float within) {
    for (size_t i = 0; grows && i < queue.size() && queue.size() <= limit; ++i) {
      const cv::Point p = queue[i];
      const cv::Vec3b& c = lab_.at<cv::Vec3b>(p);
      for (int k = 0; k < 4; ++k) {
        const cv::Point q(p.x + dx[k], p.y + dy[k]);
        if (!frame.contains(q) || out.at<uchar>(q) || !domain.at<uchar>(q)) continue;
        const cv::Vec3b& n = lab_.at<cv::Vec3b>(q);
        if (distance(n, c) > kStep || shaded_distance(cv::Vec3f(n), m) > within || !with_disc(q)) continue;
        out.at<uchar>(q) = 255;
        queue.push_back(q);
      }
    }
  };
  // Gives back all the region took after its first `keep` pixels.
  const auto undo = [&](size_t keep) {
    for (size_t k = keep; k < queue.size(); ++k) out.at<uchar>(queue[k]) = 0;
    queue.resize(keep);
  };
  flood(reach);
  // Only a bound short of the whole domain (an exclude dab's) can be run
  // past. The region at the wider reach is the one at the reach grown on:
  // the flood goes on from it, and what it added goes again if it holds.
  if (limit < domain.total()) {
    const size_t held = queue.size();
    flood(kLeakTest * reach);
    if (queue.size() > limit || queue.size() > kHeldGrowth * held) {
      undo(disc);
      flood(kLeaking * reach);
    } else {
      undo(held);
    }
  }
  if (queue.size() > limit) undo(disc);
}

}  // namespace matting
