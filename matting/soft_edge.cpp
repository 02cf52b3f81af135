#include "matting/soft_edge.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace matting {

namespace {

// The part `area` of src resized to `full`, exactly as that part of a
// resize of the whole of src would be, so that only the character's
// surroundings are enlarged.
void resize_part(const cv::Mat& src, cv::Size full, const cv::Rect& area, int interpolation, cv::Mat& dst) {
  const double sx = double(src.cols) / full.width, sy = double(src.rows) / full.height;
  const cv::Matx23d toSource(sx, 0, (area.x + 0.5) * sx - 0.5, 0, sy, (area.y + 0.5) * sy - 0.5);
  cv::warpAffine(src, dst, toSource, area.size(), interpolation | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
}

// The full-size rectangle covering a working-size one, with a pixel to spare.
cv::Rect enlarge(const cv::Rect& r, cv::Size work, cv::Size full) {
  const double sx = double(full.width) / work.width, sy = double(full.height) / work.height;
  const cv::Point p0(int(std::floor(r.x * sx)) - 1, int(std::floor(r.y * sy)) - 1);
  const cv::Point p1(int(std::ceil(r.br().x * sx)) + 1, int(std::ceil(r.br().y * sy)) + 1);
  return cv::Rect(p0, p1) & cv::Rect(cv::Point(), full);
}

}  // namespace

void SoftEdge::render(const cv::Mat& mask, const cv::Mat& workBgr, const cv::Mat& fullGray, cv::Mat& matte) {
  const cv::Size full = fullGray.size();
  matte.create(full, CV_8U);
  matte.setTo(0);
  if (cv::countNonZero(mask) == 0) return;
  // Where the edge lies is the colours' to say near it, whatever the
  // softness; the softness says only how gradual it is.
  bandAlpha_.solve(mask, workBgr, p_, alphaBand_);
  cv::compare(p_, 0.5, decided_, cv::CMP_GT);
  if (softness_ <= 0) {
    const cv::Rect area = enlarge(cv::boundingRect(decided_), mask.size(), full);
    resize_part(decided_, full, area, cv::INTER_LINEAR, fullMask_);
    cv::threshold(fullMask_, matte(area), 127, 255, cv::THRESH_BINARY);
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
  cv::boxFilter(p_, meanP_, CV_32F, win);
  cv::boxFilter(guide_.mul(p_), corrIP_, CV_32F, win);
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
  band_ |= alphaBand_;
  grown |= alphaBand_;

  const cv::Rect area = enlarge(cv::boundingRect(grown), mask.size(), full);
  resize_part(decided_, full, area, cv::INTER_LINEAR, fullMask_);
  resize_part(band_, full, area, cv::INTER_NEAREST, fullBand_);
  resize_part(a_, full, area, cv::INTER_LINEAR, fullA_);
  resize_part(b_, full, area, cv::INTER_LINEAR, fullB_);
  for (int y = 0; y < area.height; ++y) {
    const uchar* band = fullBand_.ptr<uchar>(y);
    const uchar* hard = fullMask_.ptr<uchar>(y);
    const uchar* g = fullGray.ptr<uchar>(area.y + y) + area.x;
    const float* a = fullA_.ptr<float>(y);
    const float* b = fullB_.ptr<float>(y);
    uchar* out = matte.ptr<uchar>(area.y + y) + area.x;
    for (int x = 0; x < area.width; ++x) {
      if (band[x]) {
        out[x] = cv::saturate_cast<uchar>((a[x] * (g[x] * (1.f / 255)) + b[x]) * 255.f);
      } else {
        out[x] = hard[x] > 127 ? 255 : 0;
      }
    }
  }
}

}  // namespace matting
