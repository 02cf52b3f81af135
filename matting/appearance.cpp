#include "matting/appearance.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace matting {

namespace {
// The looks: lightness and yellow-blue in 16 levels each, texture in 8.
constexpr int kLookBins = 16 * 16 * 8;
// The colours: lightness in 8 levels, both hue axes in 32, texture in 4.
constexpr int kColourBins = 8 * 32 * 32 * 4;

// Texture: the mean absolute Laplacian over a small window, on a log scale
// with a fixed gain so that every frame is measured alike.
void texture_of(const cv::Mat& bgr, cv::Mat& gray, cv::Mat& energy, cv::Mat& texture) {
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  cv::Laplacian(gray, energy, CV_16S, 3);
  energy = cv::abs(energy);
  energy.convertTo(energy, CV_32F);
  cv::blur(energy, energy, cv::Size(7, 7));
  cv::log(energy + 1, energy);
  energy.convertTo(texture, CV_8U, 45.0);
}

// log p(bin | character) - log p(bin | background), clipped. Each side's
// counts are smoothed by a prior spread evenly over the bins and as heavy
// as the side's own samples, so a bin neither side has seen votes for
// neither. A fixed count per bin would, with this many bins, outweigh the
// character's samples: every look seen on the character would vote too
// weakly for it (a thin strand of the wall's colour went out), and a look
// seen nowhere would vote for it.
std::vector<float> log_ratios(const cv::Mat& bins, const cv::Mat& mask, int count) {
  std::vector<double> fg(count, 0.0), bg(count, 0.0);
  double nfg = 0, nbg = 0;
  for (int y = 0; y < bins.rows; ++y) {
    const ushort* b = bins.ptr<ushort>(y);
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < bins.cols; ++x) {
      (m[x] ? fg : bg)[b[x]] += 1;
      (m[x] ? nfg : nbg) += 1;
    }
  }
  const double priorF = std::max(nfg, 1.0) / count, priorB = std::max(nbg, 1.0) / count;
  std::vector<float> ratios(count);
  for (int i = 0; i < count; ++i) {
    const double pf = (fg[i] + priorF) / (nfg + priorF * count);
    const double pb = (bg[i] + priorB) / (nbg + priorB * count);
    ratios[i] = std::clamp(float(std::log(pf / pb)), -Appearance::kMaxVote, Appearance::kMaxVote);
  }
  return ratios;
}
}  // namespace

void look(const cv::Mat& bgr, cv::Mat& out, HueAxis axis) {
  cv::Mat lab, gray, energy, texture;
  cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab);
  texture_of(bgr, gray, energy, texture);
  cv::Mat channels[3];
  cv::split(lab, channels);
  if (axis == HueAxis::YellowBlue) channels[1] = channels[2];
  channels[2] = texture;
  cv::merge(channels, 3, out);
}

Appearance::Appearance(const Appearance& other)
    : lookVotes_(other.lookVotes_),
      colourVotes_(other.colourVotes_),
      lab_(other.lab_.clone()),
      gray_(other.gray_.clone()),
      energy_(other.energy_.clone()),
      texture_(other.texture_.clone()),
      lookBins_(other.lookBins_.clone()),
      colourBins_(other.colourBins_.clone()) {}

Appearance& Appearance::operator=(const Appearance& other) {
  if (this != &other) *this = Appearance(other);
  return *this;
}

void Appearance::bins(const cv::Mat& bgr) {
  cv::cvtColor(bgr, lab_, cv::COLOR_BGR2Lab);
  texture_of(bgr, gray_, energy_, texture_);
  lookBins_.create(bgr.size(), CV_16U);
  colourBins_.create(bgr.size(), CV_16U);
  for (int y = 0; y < bgr.rows; ++y) {
    const uchar* c = lab_.ptr<uchar>(y);
    const uchar* t = texture_.ptr<uchar>(y);
    ushort* l = lookBins_.ptr<ushort>(y);
    ushort* k = colourBins_.ptr<ushort>(y);
    for (int x = 0; x < bgr.cols; ++x, c += 3) {
      l[x] = ushort(((c[0] >> 4) * 16 + (c[2] >> 4)) * 8 + (t[x] >> 5));
      k[x] = ushort((((c[0] >> 5) * 32 + (c[1] >> 3)) * 32 + (c[2] >> 3)) * 4 + (t[x] >> 6));
    }
  }
}

void Appearance::learn(const cv::Mat& bgr, const cv::Mat& mask) {
  bins(bgr);
  learn(mask);
}

void Appearance::learn(const cv::Mat& mask) {
  lookVotes_ = log_ratios(lookBins_, mask, kLookBins);
  colourVotes_ = log_ratios(colourBins_, mask, kColourBins);
}

void Appearance::vote(const cv::Mat& bgr, cv::Mat& out) {
  bins(bgr);
  out.create(bgr.size(), CV_32F);
  for (int y = 0; y < bgr.rows; ++y) {
    const ushort* l = lookBins_.ptr<ushort>(y);
    const ushort* k = colourBins_.ptr<ushort>(y);
    float* o = out.ptr<float>(y);
    for (int x = 0; x < bgr.cols; ++x) o[x] = 0.5f * (lookVotes_[l[x]] + colourVotes_[k[x]]);
  }
}

double Appearance::agreement(const cv::Mat& mask) const {
  double inside = 0, agree = 0;
  for (int y = 0; y < lookBins_.rows; ++y) {
    const ushort* l = lookBins_.ptr<ushort>(y);
    const ushort* k = colourBins_.ptr<ushort>(y);
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < lookBins_.cols; ++x) {
      if (!m[x]) continue;
      inside += 1;
      agree += lookVotes_[l[x]] + colourVotes_[k[x]] > 0;
    }
  }
  return inside > 0 ? agree / inside : 0.0;
}

}  // namespace matting
