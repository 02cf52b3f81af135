#include "matting/mask_cleanup.h"

#include <opencv2/imgproc.hpp>

#include "matting/side_by_side.h"

namespace matting {

namespace {
// How clearly a hole must vote background, as a mean log-likelihood
// ratio, to stay open: a highlight in an eye or on teeth votes weakly.
constexpr double kOpenHole = -1.0;
// Below this share of the mask a hole is a pin-hole whatever it votes: a
// dark eyebrow or nostril looks like a dark background.
constexpr double kPinHole = 0.001;
}  // namespace

void clean_mask(cv::Mat& mask, double islandShare, double holeShare, const cv::Mat* vote) {
  // The mask's parts and its holes, labelled at once.
  cv::Mat labels, stats, centroids, holes, holeLabels, holeStats, holeCentroids;
  int parts = 0, holeParts = 0;
  side_by_side([&] { parts = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S); },
               [&] {
                 cv::bitwise_not(mask, holes);
                 holeParts = cv::connectedComponentsWithStats(holes, holeLabels, holeStats, holeCentroids, 4, CV_32S);
               });
  if (parts <= 1) return;
  int area = 0, largest = 1;
  for (int i = 1; i < parts; ++i) {
    area += stats.at<int>(i, cv::CC_STAT_AREA);
    if (stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA)) largest = i;
  }
  std::vector<uchar> keep(parts, 0);
  for (int i = 1; i < parts; ++i) keep[i] = i == largest || stats.at<int>(i, cv::CC_STAT_AREA) >= islandShare * area;

  std::vector<double> holeVote(holeParts, 0.0);
  if (vote)
    for (int y = 0; y < mask.rows; ++y) {
      const int* h = holeLabels.ptr<int>(y);
      const float* v = vote->ptr<float>(y);
      for (int x = 0; x < mask.cols; ++x) holeVote[h[x]] += v[x];
    }
  std::vector<uchar> fill(holeParts, 0);
  for (int i = 1; i < holeParts; ++i) {
    const int x = holeStats.at<int>(i, cv::CC_STAT_LEFT), y = holeStats.at<int>(i, cv::CC_STAT_TOP);
    const int w = holeStats.at<int>(i, cv::CC_STAT_WIDTH), h = holeStats.at<int>(i, cv::CC_STAT_HEIGHT);
    const bool border = x == 0 || y == 0 || x + w == mask.cols || y + h == mask.rows;
    const int size = holeStats.at<int>(i, cv::CC_STAT_AREA);
    const bool looksOpen = holeVote[i] < kOpenHole * size;
    // A small bay where the frame's edge cuts the character is a hole the
    // frame opened: filled unless it clearly looks like the background, and
    // only on the looks' word, as a speck of background there may be real.
    // Left open, the dark jacket around a bay at the frame's bottom went out
    // a band a frame, and the bay grew into a hole over the shot.
    fill[i] = size < holeShare * area && (border ? vote && !looksOpen : size < kPinHole * area || !looksOpen);
  }
  for (int y = 0; y < mask.rows; ++y) {
    uchar* m = mask.ptr<uchar>(y);
    const int* l = labels.ptr<int>(y);
    const int* h = holeLabels.ptr<int>(y);
    for (int x = 0; x < mask.cols; ++x) m[x] = (keep[l[x]] || fill[h[x]]) ? 255 : 0;
  }
}

void keep_touching(cv::Mat& mask, const cv::Mat& touching) {
  cv::Mat labels;
  const int parts = cv::connectedComponents(mask, labels, 8, CV_32S);
  std::vector<uchar> touched(parts, 0);
  for (int y = 0; y < mask.rows; ++y) {
    const uchar* t = touching.ptr<uchar>(y);
    const uchar* m = mask.ptr<uchar>(y);
    const int* l = labels.ptr<int>(y);
    for (int x = 0; x < mask.cols; ++x)
      if (t[x] && m[x]) touched[l[x]] = 1;
  }
  for (int y = 0; y < mask.rows; ++y) {
    uchar* m = mask.ptr<uchar>(y);
    const int* l = labels.ptr<int>(y);
    for (int x = 0; x < mask.cols; ++x)
      if (!touched[l[x]]) m[x] = 0;
  }
}

}  // namespace matting
