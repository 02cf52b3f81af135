#include "matting/band_alpha.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "matting/side_by_side.h"

namespace matting {

namespace {
// How far the band reaches to each side of the mask's edge: this share of
// the frame's long side, but no more than this share of the character's
// own size (the side of a square of its area), so that an arm is not all
// band.
constexpr double kOfFrame = 0.015;
constexpr double kOfCharacter = 0.05;
// Below this colour difference (8-bit BGR) between the two sides they
// cannot be told apart and the mask decides; above twice it the colours do.
// On dark footage a jacket and the wall behind it differ by little more:
// at 8 the edge there was the mask's, a pixel or two off.
constexpr float kAlike = 5.f;
// The mask stands unless the colours clearly say otherwise: a pixel it took
// in goes out only when it reads as less than this share character (and
// one it left out comes in only when it reads as more than one minus it).
constexpr float kLean = 0.5f;

// The pixel each label of DIST_LABEL_PIXEL stands for: it numbers the zero
// pixels of its source in scan order from 1.
void label_points(const cv::Mat& source, std::vector<cv::Point>& at) {
  at.assign(1, cv::Point());
  for (int y = 0; y < source.rows; ++y) {
    const uchar* s = source.ptr<uchar>(y);
    for (int x = 0; x < source.cols; ++x)
      if (!s[x]) at.emplace_back(x, y);
  }
}

// Adds a candidate colour to `list` unless it holds it already.
void add_candidate(const uchar* colour, float (*list)[3], int& count) {
  for (int i = 0; i < count; ++i)
    if (list[i][0] == colour[0] && list[i][1] == colour[1] && list[i][2] == colour[2]) return;
  for (int k = 0; k < 3; ++k) list[count][k] = colour[k];
  ++count;
}
}  // namespace

void BandAlpha::solve(const cv::Mat& mask, const cv::Mat& bgr, cv::Mat& alpha, cv::Mat& band) {
  mask.convertTo(alpha, CV_32F, 1.0 / 255);
  band.create(mask.size(), CV_8U);
  band.setTo(0);
  const int area = cv::countNonZero(mask);
  if (area == 0) return;
  const double reach = std::min(kOfFrame * std::max(mask.cols, mask.rows), kOfCharacter * std::sqrt(double(area)));
  const int side = std::max(2, int(std::lround(reach)));
  // Only the character's surroundings: no sample further than this from
  // the band is trusted.
  const int margin = 3 * side;
  const cv::Rect near = (cv::boundingRect(mask) + cv::Point(-margin, -margin) + cv::Size(2 * margin, 2 * margin)) &
                        cv::Rect(cv::Point(), mask.size());
  cv::Mat nearAlpha = alpha(near), nearBand = band(near);
  read(mask(near), bgr(near), side, nearAlpha, nearBand);
}

void BandAlpha::read(const cv::Mat& mask, const cv::Mat& bgr, int side, cv::Mat& alpha, cv::Mat& band) {
  // Sure character: further than `side` inside the edge; sure background:
  // further than `side` outside it. Each side's distances are worked out
  // at once, here and below.
  side_by_side(
      [&] {
        cv::distanceTransform(mask, innerDist_, cv::DIST_L2, 3);
        cv::compare(innerDist_, side, inner_, cv::CMP_GT);
      },
      [&] {
        cv::bitwise_not(mask, outer_);
        cv::distanceTransform(outer_, outerDist_, cv::DIST_L2, 3);
        cv::compare(outerDist_, side, outer_, cv::CMP_LE);
      });
  cv::bitwise_xor(inner_, outer_, band);
  if (cv::countNonZero(inner_) == 0 || size_t(cv::countNonZero(outer_)) == outer_.total()) return;

  // The nearest sure character pixel and the nearest sure background pixel
  // of every pixel, and how far they are.
  side_by_side(
      [&] {
        cv::bitwise_not(inner_, inner_);  // zero on the sure character
        cv::distanceTransform(inner_, innerDist_, innerLabel_, cv::DIST_L2, 3, cv::DIST_LABEL_PIXEL);
        label_points(inner_, innerAt_);
      },
      [&] {
        cv::distanceTransform(outer_, outerDist_, outerLabel_, cv::DIST_L2, 3, cv::DIST_LABEL_PIXEL);
        label_points(outer_, outerAt_);
        cv::medianBlur(bgr, smooth_, 3);
      });
  const int half = band.rows / 2;
  side_by_side([&] { read_rows(0, half, bgr, side, band, alpha); },
               [&] { read_rows(half, band.rows, bgr, side, band, alpha); });
}

void BandAlpha::read_rows(int first, int end, const cv::Mat& bgr, int side, const cv::Mat& band, cv::Mat& alpha) const {
  // Candidates for each side: the nearest sure pixel of the pixel itself
  // and of four points around it, so that the stripe or lock beside the
  // nearest can serve; the pair that explains the pixel's colour best wins.
  const cv::Point around[] = {{0, 0}, {side, 0}, {-side, 0}, {0, side}, {0, -side}};
  const cv::Rect frame(cv::Point(), band.size());
  for (int y = first; y < end; ++y) {
    const uchar* b = band.ptr<uchar>(y);
    const cv::Vec3b* c = bgr.ptr<cv::Vec3b>(y);
    const float* toCharacter = innerDist_.ptr<float>(y);
    const float* toBackground = outerDist_.ptr<float>(y);
    float* a = alpha.ptr<float>(y);
    for (int x = 0; x < band.cols; ++x) {
      if (!b[x]) continue;
      // Plain floats: this loop runs for every pixel of the band. A colour
      // two candidates share is tried once: the pair would only tie.
      float fore[5][3], back[5][3];
      int nFore = 0, nBack = 0;
      for (const cv::Point& o : around) {
        const cv::Point q(x + o.x, y + o.y);
        if (!frame.contains(q)) continue;
        const cv::Point f = innerAt_[innerLabel_.ptr<int>(q.y)[q.x]], g = outerAt_[outerLabel_.ptr<int>(q.y)[q.x]];
        add_candidate(smooth_.ptr<uchar>(f.y) + 3 * f.x, fore, nFore);
        add_candidate(smooth_.ptr<uchar>(g.y) + 3 * g.x, back, nBack);
      }
      const float colour[3] = {float(c[x][0]), float(c[x][1]), float(c[x][2])};
      float miss = 1e30f, share = 0, apart = 0;
      for (int i = 0; i < nFore; ++i)
        for (int j = 0; j < nBack; ++j) {
          float d[3], p[3], d2 = 0, pd = 0;
          for (int k = 0; k < 3; ++k) {
            d[k] = fore[i][k] - back[j][k], p[k] = colour[k] - back[j][k];
            d2 += d[k] * d[k], pd += p[k] * d[k];
          }
          if (d2 < 1) continue;
          const float t = std::clamp(pd / d2, 0.f, 1.f);
          float r2 = 0;
          for (int k = 0; k < 3; ++k) r2 += (p[k] - t * d[k]) * (p[k] - t * d[k]);
          if (r2 < miss) miss = r2, share = t, apart = std::sqrt(d2);
        }
      // Trust in the colours: the two sides apart, the samples near, the
      // pixel explained by them.
      const float far = std::max(toCharacter[x], toBackground[x]);
      const float trust = std::clamp((apart - kAlike) / kAlike, 0.f, 1.f) *
                          std::clamp((2.5f * side - far) / side, 0.f, 1.f) *
                          std::clamp(1.f - std::sqrt(miss) / (0.5f * apart + 1e-3f), 0.f, 1.f);
      if (trust <= 0) continue;
      const float read = a[x] > 0.5f ? std::min(1.f, share / kLean) : std::max(0.f, (share - (1 - kLean)) / kLean);
      a[x] = trust * read + (1 - trust) * a[x];
    }
  }
}

}  // namespace matting
