#include "matting/colour_cut.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "matting/colour_model.h"
#include "matting/engine.h"
#include "matting/grabcut_start.h"
#include "matting/mask_cleanup.h"

namespace matting {

namespace {

// GrabCut runs until it settles: after kLeastRounds, until fewer than
// kSettled of its pixels change in a round, at most kMostRounds. From a box
// drawn loose around him, the chair beside him was still going out after
// the third round; most cuts settle by then.
constexpr int kLeastRounds = 3;
constexpr int kMostRounds = 12;
constexpr double kSettled = 0.001;
// GrabCut works on at most this many pixels on the frame's long side (three
// quarters of the anchor's size): its edge is re-decided at the anchor's
// size afterwards, and its colour models decide the same at the smaller
// size in little more than half the time.
constexpr int kGrabCutSide = 540;
// GrabCut's colour models start from k-means on random draws (see
// grabcut_start): a fixed seed makes a job repeatable.
constexpr uint64 kSeed = 0x5eed0001;
// The lift's curve is never steeper than this power (see lifted).
constexpr double kLeastPower = 0.3;

// Background the character encloses, as GrabCut's labels hold it: the
// parts of the probable character that the background's colours explain
// better than the character's, that touch neither the background nor the
// edge of the labels (the frame's, where it cuts the character) and that
// take at least kEnclosedShare of the character, past slivers along an edge
// (kEnclosedWidth pixels wide or less). CV_8U, non-zero there; empty when
// there are none. Smaller parts were left as they are: a pocket between a
// neck and a shoulder, let go there, changed what the edge's rounds then
// learnt, and a lock of hair went with it.
constexpr double kEnclosedShare = 0.01;
constexpr int kEnclosedWidth = 5;
cv::Mat enclosed_background(const cv::Mat& image, const cv::Mat& bgModel, const cv::Mat& fgModel,
                            const cv::Mat& labels) {
  const ColourModel background(bgModel), character(fgModel);
  cv::Mat candidates = cv::Mat::zeros(labels.size(), CV_8U), outside, parts;
  for (int y = 0; y < labels.rows; ++y)
    for (int x = 0; x < labels.cols; ++x)
      if (labels.at<uchar>(y, x) == cv::GC_PR_FGD) {
        const cv::Vec3b& c = image.at<cv::Vec3b>(y, x);
        if (background(c) > character(c)) candidates.at<uchar>(y, x) = 255;
      }
  cv::morphologyEx(candidates, candidates, cv::MORPH_OPEN,
                   cv::getStructuringElement(cv::MORPH_ELLIPSE, {kEnclosedWidth, kEnclosedWidth}));
  const cv::Mat held = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
  cv::dilate(~held, outside, cv::Mat());
  cv::Mat stats, centroids;
  const int n = cv::connectedComponentsWithStats(candidates, parts, stats, centroids, 8, CV_32S);
  const double least = kEnclosedShare * cv::countNonZero(held);
  std::vector<uchar> keep(n, 0);
  for (int l = 1; l < n; ++l) {
    const int x = stats.at<int>(l, cv::CC_STAT_LEFT), y = stats.at<int>(l, cv::CC_STAT_TOP);
    const bool edge = x == 0 || y == 0 || x + stats.at<int>(l, cv::CC_STAT_WIDTH) == labels.cols ||
                      y + stats.at<int>(l, cv::CC_STAT_HEIGHT) == labels.rows;
    keep[l] = !edge && stats.at<int>(l, cv::CC_STAT_AREA) >= least;
  }
  for (int y = 0; y < labels.rows; ++y)
    for (int x = 0; x < labels.cols; ++x)
      if (outside.at<uchar>(y, x)) keep[parts.at<int>(y, x)] = 0;
  for (int y = 0; y < labels.rows; ++y)
    for (int x = 0; x < labels.cols; ++x) candidates.at<uchar>(y, x) = keep[parts.at<int>(y, x)] ? 255 : 0;
  return cv::countNonZero(candidates) > 0 ? candidates : cv::Mat();
}

// Where a box's probable background starts undecided (see grabcut_start),
// within `area`: the strip past its top, as hair runs on past the top of a
// box drawn tight over a head; and the sliver under its bottom when that
// strip reaches the frame's border (no sure background below the box), as
// the frame cuts a close figure there and a box drawn a few pixels short
// of it left the jacket's colour to the background: half the jacket went.
// The sides' strips start as background: beside a character they held a
// chair as often as the character.
cv::Mat undecided(const cv::Mat& labels, const cv::Rect& area, const cv::Rect& box, int imageRows) {
  cv::Mat open = cv::Mat::zeros(labels.size(), CV_8U);
  open.rowRange(0, std::clamp(box.y - area.y, 0, area.height)).setTo(255);
  const int under = std::clamp(box.br().y - area.y, 0, area.height);
  if (area.br().y == imageRows && under < area.height) {
    const cv::Rect sliver =
        cv::Rect(box.x - area.x, under, box.width, area.height - under) & cv::Rect(cv::Point(), labels.size());
    if (!sliver.empty() && cv::countNonZero(labels(sliver) == cv::GC_BGD) == 0)
      open.rowRange(under, area.height).setTo(255);
  }
  return cv::countNonZero(open) > 0 ? open : cv::Mat();
}

// GrabCut itself within `area` of `image`: its mask, untidied. `box`, in
// the image's pixels, when the seeds are a box's.
cv::Mat cut(const cv::Mat& image, const cv::Mat& seeds, const cv::Rect& area, const cv::Rect* box,
            const std::atomic<bool>* stop) {
  cv::Mat labels = seeds(area).clone(), bgModel, fgModel;
  cv::theRNG().state = kSeed;
  try {
    const bool started = grabcut_start(image(area), labels, bgModel, fgModel,
                                       box ? undecided(labels, area, *box, image.rows) : cv::Mat());
    // A round at a time (the same cut as all at once), so that a cut no
    // longer wanted ends early. The labels' low bit tells the character.
    cv::Mat before, after;
    cv::bitwise_and(labels, 1, before);
    for (int round = 0; round < kMostRounds; ++round) {
      if (stop && *stop) return {};
      cv::grabCut(image(area), labels, cv::Rect(), bgModel, fgModel, 1,
                  started || round > 0 ? cv::GC_EVAL : cv::GC_INIT_WITH_MASK);
      cv::bitwise_and(labels, 1, after);
      if (round + 1 >= kLeastRounds && cv::countNonZero(before != after) < kSettled * labels.total()) break;
      std::swap(before, after);
    }
    // Background the character encloses (a gap between an arm and the
    // body): started from a box, GrabCut learns its colour as the
    // character's and keeps it; started with it as background, it lets it
    // go unless it is the character. So it is cut once more from there, and
    // only what it enclosed may change.
    if (box) {
      const cv::Mat enclosed = enclosed_background(image(area), bgModel, fgModel, labels);
      if (!enclosed.empty()) {
        if (stop && *stop) return {};
        cv::Mat recut = labels.clone();
        recut.setTo(cv::GC_PR_BGD, enclosed);
        cv::grabCut(image(area), recut, cv::Rect(), bgModel, fgModel, 1, cv::GC_EVAL);
        recut.copyTo(labels, enclosed);
      }
    }
  } catch (const cv::Exception& e) {
    throw Error(std::string("could not segment the anchor frame: ") + e.what());
  }
  cv::Mat mask = cv::Mat::zeros(image.size(), CV_8U);
  mask(area).setTo(255, (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD));
  return mask;
}

cv::Rect scaled(const cv::Rect& r, double f, cv::Size within) {
  const auto at = [f](int v) { return int(std::lround(v * f)); };
  return cv::Rect(cv::Point(at(r.x), at(r.y)), cv::Point(at(r.br().x), at(r.br().y))) & cv::Rect(cv::Point(), within);
}

}  // namespace

cv::Mat lifted(const cv::Mat& bgr, const cv::Rect& area) {
  const cv::Scalar m = cv::mean(bgr(area));
  const double mean = std::max((m[0] + m[1] + m[2]) / 3, 1.0);
  if (mean >= 127.5) return bgr;
  const double power = std::max(std::log(0.5) / std::log(mean / 255.0), kLeastPower);
  cv::Mat curve(1, 256, CV_8U), out;
  for (int i = 0; i < 256; ++i) curve.at<uchar>(i) = cv::saturate_cast<uchar>(255.0 * std::pow(i / 255.0, power));
  cv::LUT(bgr, curve, out);
  return out;
}

cv::Mat grab_cut(const cv::Mat& image, const cv::Mat& seeds, const cv::Rect& area, const cv::Mat* keep,
                 const cv::Rect* box, const std::atomic<bool>* stop) {
  cv::Mat mask;
  const double f = double(kGrabCutSide) / std::max(image.cols, image.rows);
  cv::Mat small, smallSeeds;
  if (f < 1) {
    const cv::Size size(int(std::lround(image.cols * f)), int(std::lround(image.rows * f)));
    cv::resize(image, small, size, 0, 0, cv::INTER_AREA);
    cv::resize(seeds, smallSeeds, size, 0, 0, cv::INTER_NEAREST);
  }
  // Unless the selection's character is lost in scaling down (a box a
  // pixel or two wide).
  if (!small.empty() && cv::countNonZero((smallSeeds == cv::GC_FGD) | (smallSeeds == cv::GC_PR_FGD)) > 0) {
    const cv::Rect smallBox = box ? scaled(*box, f, small.size()) : cv::Rect();
    mask = cut(small, smallSeeds, scaled(area, f, small.size()), box ? &smallBox : nullptr, stop);
    if (mask.empty()) return mask;
    cv::resize(mask, mask, image.size(), 0, 0, cv::INTER_LINEAR);
    cv::threshold(mask, mask, 127, 255, cv::THRESH_BINARY);
  } else {
    mask = cut(image, seeds, area, box, stop);
    if (mask.empty()) return mask;
  }
  if (keep) keep_touching(mask, *keep);
  return mask;
}

}  // namespace matting
