#include "matting/soft_edge.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace matting {

namespace {

// The full-size rectangle covering a working-size one, with a pixel to spare.
cv::Rect enlarge(const cv::Rect& r, cv::Size work, cv::Size full) {
  const double sx = double(full.width) / work.width, sy = double(full.height) / work.height;
  const cv::Point p0(int(std::floor(r.x * sx)) - 1, int(std::floor(r.y * sy)) - 1);
  const cv::Point p1(int(std::ceil(r.br().x * sx)) + 1, int(std::ceil(r.br().y * sy)) + 1);
  return cv::Rect(p0, p1) & cv::Rect(cv::Point(), full);
}

}  // namespace

void SoftEdge::render(const cv::Mat& mask, const cv::Mat& workBgr, const cv::Mat& fullGray, cv::Mat& matte,
                      const EdgeRead* read) {
  const cv::Size full = fullGray.size();
  matte.create(full, CV_8U);
  matte.setTo(0);
  if (cv::countNonZero(mask) == 0) return;
  // Where the edge lies is the colours' to say near it, whatever the
  // softness; the softness says only how gradual it is.
  if (!read) {
    bandAlpha_.solve(mask, workBgr, read_.alpha, read_.band);
    read = &read_;
  }
  const cv::Mat& p = read->alpha;
  cv::compare(p, 0.5, decided_, cv::CMP_GT);
  if (softness_ <= 0) {
    band_.create(mask.size(), CV_8U);
    band_.setTo(0);
    enlarge_into(enlarge(cv::boundingRect(decided_), mask.size(), full), fullGray, matte);
    return;
  }
  // Radius and regularisation grow with the softness: a wider window and a
  // larger eps let alpha follow the picture less sharply.
  const int longSide = std::max(mask.cols, mask.rows);
  const int r = std::max(1, int(std::lround(softness_ * longSide / 80.0)));
  const double eps = std::pow(0.01 + 0.05 * softness_, 2);
  const cv::Size win(2 * r + 1, 2 * r + 1);

  cv::cvtColor(workBgr, guide_, cv::COLOR_BGR2GRAY);
  guide_.convertTo(guide_, CV_32F, 1.0 / 255);
  cv::boxFilter(guide_, meanI_, CV_32F, win);
  cv::boxFilter(p, meanP_, CV_32F, win);
  cv::boxFilter(guide_.mul(p), corrIP_, CV_32F, win);
  cv::boxFilter(guide_.mul(guide_), varI_, CV_32F, win);
  varI_ -= meanI_.mul(meanI_);
  a_ = (corrIP_ - meanI_.mul(meanP_)) / (varI_ + eps);
  b_ = meanP_ - a_.mul(meanI_);
  cv::boxFilter(a_, a_, CV_32F, win);
  cv::boxFilter(b_, b_, CV_32F, win);

  // The band where alpha may be fractional: within the window of the edge,
  // and where the colours read it.
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * r + 3, 2 * r + 3));
  cv::Mat grown, shrunk;
  cv::dilate(mask, grown, kernel);
  cv::erode(mask, shrunk, kernel);
  cv::bitwise_xor(grown, shrunk, band_);
  band_ |= read->band;
  grown |= read->band;

  enlarge_into(enlarge(cv::boundingRect(grown), mask.size(), full), fullGray, matte);
}

// Where each full-size column (or row) from `start` falls in a working-size
// line of `length` pixels, as a resize of the whole picture places it.
void SoftEdge::place(int start, int count, double scale, int length, std::vector<Tap>& taps) {
  taps.resize(count);
  for (int i = 0; i < count; ++i) {
    const double at = (start + i + 0.5) * scale - 0.5;
    const int lo = int(std::floor(at));
    taps[i] = {std::clamp(lo, 0, length - 1), std::clamp(lo + 1, 0, length - 1),
               std::clamp(int(std::lround(at)), 0, length - 1), float(at - lo)};
  }
}

// Only the band's pixels need the filter's coefficients, and only the rest
// the decided edge: each full-size pixel of `area` reads the working-size
// values it needs, interpolated as a resize would, and nothing is enlarged
// whole.
void SoftEdge::enlarge_into(const cv::Rect& area, const cv::Mat& fullGray, cv::Mat& matte) {
  const cv::Size work = band_.size(), full = fullGray.size();
  place(area.x, area.width, double(work.width) / full.width, work.width, columns_);
  place(area.y, area.height, double(work.height) / full.height, work.height, rows_);
  const bool soft = softness_ > 0;
  for (int y = 0; y < area.height; ++y) {
    const Tap& row = rows_[y];
    const uchar* band = band_.ptr<uchar>(row.nearest);
    const uchar* hard0 = decided_.ptr<uchar>(row.lo);
    const uchar* hard1 = decided_.ptr<uchar>(row.hi);
    const float* a0 = soft ? a_.ptr<float>(row.lo) : nullptr;
    const float* a1 = soft ? a_.ptr<float>(row.hi) : nullptr;
    const float* b0 = soft ? b_.ptr<float>(row.lo) : nullptr;
    const float* b1 = soft ? b_.ptr<float>(row.hi) : nullptr;
    const uchar* g = fullGray.ptr<uchar>(area.y + y) + area.x;
    uchar* out = matte.ptr<uchar>(area.y + y) + area.x;
    const float wy = row.w;
    const auto lerp = [wy](const Tap& c, auto p0, auto p1) {
      const float top = p0[c.lo] + c.w * (p0[c.hi] - p0[c.lo]);
      const float bottom = p1[c.lo] + c.w * (p1[c.hi] - p1[c.lo]);
      return top + wy * (bottom - top);
    };
    for (int x = 0; x < area.width; ++x) {
      const Tap& c = columns_[x];
      if (band[c.nearest]) {
        out[x] = cv::saturate_cast<uchar>((lerp(c, a0, a1) * (g[x] * (1.f / 255)) + lerp(c, b0, b1)) * 255.f);
      } else if (const uchar corner = hard0[c.lo];
                 corner == hard0[c.hi] && corner == hard1[c.lo] && corner == hard1[c.hi]) {
        out[x] = corner;  // away from the edge the four taps agree: no need to weigh them
      } else {
        out[x] = lerp(c, hard0, hard1) > 127.5f ? 255 : 0;
      }
    }
  }
}

}  // namespace matting
