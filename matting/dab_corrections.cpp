#include "matting/dab_corrections.h"

#include <opencv2/imgproc.hpp>

#include "matting/anchor.h"
#include "matting/dab_regions.h"
#include "matting/mask_cleanup.h"
#include "matting/selection_pixels.h"

namespace matting {

namespace {

// What the mask left out that a cut of the frame, from a box around the
// mask and the dabs, finds connected to an adding dab: added to `mask` (of
// `bgr`'s size). Where the lock a dab touches has the colour of the wall
// beside it, the dab's colour alone cannot say how far the lock goes, and
// the dab stood alone as a blob. A cut that fails leaves the dab's own
// region to decide.
void add_what_adding_dabs_touch(const cv::Mat& bgr, const cv::Mat& flow, const std::vector<Dab>& dabs, cv::Mat& mask) {
  cv::Mat discs = cv::Mat::zeros(mask.size(), CV_8U);
  paint_strokes(dabs, discs);
  if (cv::countNonZero(discs & ~mask) == 0 || cv::countNonZero(mask) == 0) return;
  const cv::Rect around = cv::boundingRect(mask);
  const double w = mask.cols, h = mask.rows;
  const Selection s{Box{around.x / w, around.y / h, around.width / w, around.height / h}, dabs, ""};
  cv::Mat added;
  try {
    added = segment_anchor(bgr, flow, s) & ~mask;
  } catch (const Error&) {
    return;
  }
  keep_touching(added, discs);
  mask |= added;
}

}  // namespace

void take_dab_regions(const cv::Mat& bgr, const cv::Mat& flow, const std::vector<Dab>& dabs, const cv::Rect& area,
                      const cv::Mat& vote, cv::Mat& mask, DabClaims* claims) {
  const cv::Size size = mask.size();
  const double aspect = double(size.height) / size.width;
  const DabRegions regions(bgr, flow);
  cv::Mat outside = cv::Mat::zeros(size, CV_8U);
  outside(area).setTo(255);
  outside &= ~mask;
  cv::Mat adding = cv::Mat::zeros(size, CV_8U), excluding = adding.clone();
  const int most = cv::countNonZero(mask) / 2;
  for (const Dab& d : dabs) {
    if (!dab_in_frame(d, aspect)) continue;
    const cv::Point c = dab_centre(d, size);
    const int r = dab_radius(d, size);
    // What the mask left out is the background, but for an add dab: growing
    // there is a claim against it, made only where the dab's colour is rare.
    // An exclude dab may take at most half of the mask: more, and it has
    // run into the character.
    regions.grow(c, r, d.r > 0 ? outside : mask, d.r > 0, d.r > 0 ? size.area() : most, d.r > 0 ? adding : excluding);
  }
  mask |= adding;
  mask &= ~excluding;
  clean_mask(mask, 0.02, 0.01, &vote);
  paint_strokes(dabs, mask);
  mask |= adding & ~excluding;
  if (claims) *claims = {dabs, adding & ~excluding, excluding};
}

void DabClaims::stand(cv::Mat& mask) const {
  if (!added.empty()) {
    mask &= ~removed;
    mask |= added;
  }
  paint_strokes(dabs, mask);
}

void correct_with_dabs(const cv::Mat& bgr, const cv::Mat& flow, const std::vector<Dab>& dabs, const cv::Mat& vote,
                       cv::Mat& mask) {
  if (bgr.size() == mask.size()) {
    add_what_adding_dabs_touch(bgr, flow, dabs, mask);
    take_dab_regions(bgr, flow, dabs, cv::Rect(cv::Point(), mask.size()), vote, mask);
    return;
  }
  cv::Mat before, larger, largeVote;
  cv::resize(mask, before, bgr.size(), 0, 0, cv::INTER_LINEAR);
  cv::threshold(before, before, 127, 255, cv::THRESH_BINARY);
  cv::resize(vote, largeVote, bgr.size(), 0, 0, cv::INTER_LINEAR);
  larger = before.clone();
  add_what_adding_dabs_touch(bgr, flow, dabs, larger);
  take_dab_regions(bgr, flow, dabs, cv::Rect(cv::Point(), bgr.size()), largeVote, larger);
  // A removed prop's soft rim, a blend its region did not grow into, goes
  // with it: left, it would grow back along the track.
  cv::Mat rim = before & ~larger;
  cv::dilate(rim, rim, cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5}));
  larger &= ~rim;
  // Wherever the dabs changed any of a pixel, it follows what they made of
  // it; elsewhere the mask stays as it was.
  cv::Mat changed = larger != before;
  cv::resize(changed, changed, mask.size(), 0, 0, cv::INTER_AREA);
  cv::resize(larger, larger, mask.size(), 0, 0, cv::INTER_AREA);
  larger.copyTo(mask, changed > 0);
  cv::threshold(mask, mask, 127, 255, cv::THRESH_BINARY);
}

}  // namespace matting
