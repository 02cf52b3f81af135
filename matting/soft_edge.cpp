#include "matting/soft_edge.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace matting {

void SoftEdge::render(const cv::Mat& mask, const cv::Mat& workBgr, const cv::Mat& fullBgr, cv::Mat& matte) {
  const cv::Size full = fullBgr.size();
  if (softness_ <= 0) {
    cv::resize(mask, fullMask_, full, 0, 0, cv::INTER_LINEAR);
    cv::threshold(fullMask_, matte, 127, 255, cv::THRESH_BINARY);
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
  mask.convertTo(p_, CV_32F, 1.0 / 255);
  cv::boxFilter(guide_, meanI_, CV_32F, win);
  cv::boxFilter(p_, meanP_, CV_32F, win);
  cv::boxFilter(guide_.mul(p_), corrIP_, CV_32F, win);
  cv::boxFilter(guide_.mul(guide_), varI_, CV_32F, win);
  varI_ -= meanI_.mul(meanI_);
  a_ = (corrIP_ - meanI_.mul(meanP_)) / (varI_ + eps);
  b_ = meanP_ - a_.mul(meanI_);
  cv::boxFilter(a_, a_, CV_32F, win);
  cv::boxFilter(b_, b_, CV_32F, win);

  // The band where alpha may be fractional: within the window of the edge.
  cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * r + 3, 2 * r + 3));
  cv::Mat grown, shrunk;
  cv::dilate(mask, grown, kernel);
  cv::erode(mask, shrunk, kernel);
  cv::bitwise_xor(grown, shrunk, band_);

  cv::resize(mask, fullMask_, full, 0, 0, cv::INTER_LINEAR);
  cv::resize(band_, fullBand_, full, 0, 0, cv::INTER_NEAREST);
  cv::resize(a_, fullA_, full, 0, 0, cv::INTER_LINEAR);
  cv::resize(b_, fullB_, full, 0, 0, cv::INTER_LINEAR);
  cv::cvtColor(fullBgr, fullGray_, cv::COLOR_BGR2GRAY);

  matte.create(full, CV_8U);
  for (int y = 0; y < full.height; ++y) {
    const uchar* band = fullBand_.ptr<uchar>(y);
    const uchar* hard = fullMask_.ptr<uchar>(y);
    const uchar* g = fullGray_.ptr<uchar>(y);
    const float* a = fullA_.ptr<float>(y);
    const float* b = fullB_.ptr<float>(y);
    uchar* out = matte.ptr<uchar>(y);
    for (int x = 0; x < full.width; ++x) {
      if (band[x]) {
        const float q = a[x] * (g[x] * (1.f / 255)) + b[x];
        out[x] = cv::saturate_cast<uchar>(q * 255.f);
      } else {
        out[x] = hard[x] > 127 ? 255 : 0;
      }
    }
  }
}

}  // namespace matting
