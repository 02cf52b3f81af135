#include "matting/anchor.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <future>
#include <opencv2/imgproc.hpp>
#include <optional>

#include "matting/colour_model.h"
#include "matting/dab_regions.h"
#include "matting/grabcut_start.h"
#include "matting/mask_cleanup.h"

namespace matting {

namespace {

bool finite(double v) { return std::isfinite(v); }

// The box's pixels inside the frame (empty when it has no area there).
cv::Rect box_pixels(const Box& b, cv::Size size) {
  const double x0 = std::clamp(b.x, 0.0, 1.0), y0 = std::clamp(b.y, 0.0, 1.0);
  const double x1 = std::clamp(b.x + b.w, 0.0, 1.0), y1 = std::clamp(b.y + b.h, 0.0, 1.0);
  const cv::Point p0(int(std::lround(x0 * size.width)), int(std::lround(y0 * size.height)));
  const cv::Point p1(int(std::lround(x1 * size.width)), int(std::lround(y1 * size.height)));
  return cv::Rect(p0, p1);
}

bool box_has_area(const Box& b) {
  if (!finite(b.x) || !finite(b.y) || !finite(b.w) || !finite(b.h) || b.w <= 0 || b.h <= 0) return false;
  const double x0 = std::max(b.x, 0.0), y0 = std::max(b.y, 0.0);
  return std::min(b.x + b.w, 1.0) > x0 && std::min(b.y + b.h, 1.0) > y0;
}

// A dab is a disc of radius |r| widths; it counts when some of it is inside
// the frame.
bool dab_in_frame(const Dab& d, double aspect /* height / width */) {
  if (!finite(d.x) || !finite(d.y) || !finite(d.r) || d.r == 0) return false;
  const double r = std::abs(d.r);
  const double dx = d.x - std::clamp(d.x, 0.0, 1.0);
  const double dy = (d.y - std::clamp(d.y, 0.0, 1.0)) * aspect;
  return dx * dx + dy * dy < r * r;
}

cv::Point dab_centre(const Dab& d, cv::Size size) {
  return {int(std::lround(d.x * size.width)), int(std::lround(d.y * size.height))};
}
int dab_radius(const Dab& d, cv::Size size) { return std::max(1, int(std::lround(std::abs(d.r) * size.width))); }

// The box's pixels, grown to take in each adding dab painted past it: a
// dab is where the user says the character is, so a box that leaves it out
// was drawn short there. Left short over a head, the hair past the box's
// top taught the background the hair's colour, the hair inside went with
// it and the dabs on it stood alone as blobs.
cv::Rect box_reaching_dabs(const Selection& s, cv::Size size) {
  cv::Rect box = box_pixels(*s.box, size);
  const double aspect = double(size.height) / size.width;
  for (const Dab& d : s.dabs) {
    if (d.r <= 0 || !dab_in_frame(d, aspect)) continue;
    const cv::Point c = dab_centre(d, size);
    const int r = dab_radius(d, size);
    box |= cv::Rect(c.x - r, c.y - r, 2 * r + 1, 2 * r + 1) & cv::Rect(cv::Point(), size);
  }
  return box;
}

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

// GrabCut from the seeds (not changed) on a 3-channel image within `area`
// (outside it, only background is possible), at most kGrabCutSide pixels
// on the long side, untidied; only the parts touching `keep` when it is
// given; `box` (in the image's pixels) when the seeds are a box's. Empty
// when `stop` was set before it was done.
cv::Mat grab_cut(const cv::Mat& image, const cv::Mat& seeds, const cv::Rect& area, const cv::Mat* keep,
                 const cv::Rect* box, const std::atomic<bool>* stop = nullptr);

// A box is drawn by hand, as often a little tight as not: the strip just
// past each side, this share of the box's size wide, is probable background
// rather than sure. Learnt as the background, hair running out past the
// box's top took the hair inside the box with it, and the character looked
// bald; GrabCut learns from probable background too, so the top's strip
// starts undecided (see cut). A strip that comes within its own width of
// the frame's border reaches it: the sliver between holds the character as
// often as not. At 4 % a box drawn tight over a character's hair on either
// side lost it all on some draws and kept it on others; wider than 6 %, a
// dark wall at the frame's edge began to come in with the character.
constexpr double kBeyond = 0.06;
cv::Rect soft_edge(const cv::Rect& box, cv::Size frame) {
  const int mx = std::max(3, int(kBeyond * box.width)), my = std::max(3, int(kBeyond * box.height));
  int x0 = box.x - mx, y0 = box.y - my, x1 = box.br().x + mx, y1 = box.br().y + my;
  if (x0 < mx) x0 = 0;
  if (y0 < my) y0 = 0;
  if (frame.width - x1 < mx) x1 = frame.width;
  if (frame.height - y1 < my) y1 = frame.height;
  return cv::Rect(cv::Point(x0, y0), cv::Point(x1, y1)) & cv::Rect(cv::Point(), frame);
}

// How far the mask stays from each side of the box (left, top, right,
// bottom) as a fraction of the box's size. A side on the frame's border
// counts too: a box drawn to the border holds a character the frame cuts.
std::array<double, 4> gaps(const cv::Mat& mask, const cv::Rect& box) {
  if (cv::countNonZero(mask(box)) == 0) return {1, 1, 1, 1};
  const cv::Rect e = cv::boundingRect(mask(box));
  return {double(e.x) / box.width, double(e.y) / box.height, 1.0 - double(e.x + e.width) / box.width,
          1.0 - double(e.y + e.height) / box.height};
}

constexpr double kShort = 0.1;
bool falls_short(const cv::Mat& mask, const cv::Rect& box) {
  const auto g = gaps(mask, box);
  return *std::max_element(g.begin(), g.end()) > kShort;
}
// The strips of the box between the mask's extent and the sides it falls
// short of and `other` reaches; empty when there are none.
cv::Mat missed_strips(const cv::Mat& other, const cv::Mat& mask, const cv::Rect& box) {
  const auto mine = gaps(other, box), theirs = gaps(mask, box);
  cv::Mat strips;
  if (cv::countNonZero(mask(box)) == 0) return strips;
  const cv::Rect e = cv::boundingRect(mask(box)) + box.tl();
  const cv::Rect side[4] = {cv::Rect(cv::Point(box.x, box.y), cv::Point(e.x, box.br().y)),
                            cv::Rect(cv::Point(box.x, box.y), cv::Point(box.br().x, e.y)),
                            cv::Rect(cv::Point(e.br().x, box.y), box.br()),
                            cv::Rect(cv::Point(box.x, e.br().y), box.br())};
  for (int k = 0; k < 4; ++k) {
    if (theirs[k] <= kShort || mine[k] >= 0.5 * theirs[k]) continue;
    if (strips.empty()) strips = cv::Mat::zeros(mask.size(), CV_8U);
    strips(side[k]).setTo(255);
  }
  return strips;
}

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

// GrabCut weighs colour differences as they are, and its edges against the
// mean difference over what it reads: in a dark scene a jacket and the wall
// behind it differ by a few levels while the face and the lamps set that
// mean, so the cut ran through the dark wherever its colour models put it
// and a box drawn a few pixels differently moved it. The colours are lifted
// first by a power curve that puts the mean lightness within `area` at
// mid-grey: never darkening, so footage exposed for its subject is left
// nearly as it is, and never steeper than a power of kLeastPower.
constexpr double kLeastPower = 0.3;
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

// GrabCut itself within `area` of `image`: its mask, untidied. `box`, in
// the image's pixels, when the seeds are a box's.
cv::Mat cut(const cv::Mat& image, const cv::Mat& seeds, const cv::Rect& area, const cv::Rect* box,
            const std::atomic<bool>* stop) {
  cv::Mat labels = seeds(area).clone(), bgModel, fgModel;
  cv::theRNG().state = kSeed;
  try {
    // The strip past a box's top starts undecided (see grabcut_start): hair
    // runs on past the top of a box drawn tight over a head. The other
    // sides' strips start as background: beside a character they held a
    // chair as often as the character.
    const cv::Rect overTop(0, 0, area.width, box ? std::clamp(box->y - area.y, 0, area.height) : 0);
    const bool started = grabcut_start(image(area), labels, bgModel, fgModel, overTop);
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

// GrabCut on the frame's looks, from the box's seeds, over the whole frame:
// red-green rather than the tracker's yellow-blue, as a jacket and a red
// chair beside it are alike in yellow-blue, and the chair came in with the
// jacket.
cv::Mat cut_by_looks(const cv::Mat& bgr, const cv::Mat& seeds, const std::atomic<bool>& stop) {
  cv::Mat looks;
  look(bgr, looks, HueAxis::RedGreen);
  cv::Mat byLook = grab_cut(looks, seeds, cv::Rect(cv::Point(), bgr.size()), nullptr, nullptr, &stop);
  if (!byLook.empty()) clean_mask(byLook);
  return byLook;
}

// A cut run beside the caller's own work, which may turn out not to need
// it: dropped, it ends after its current round rather than running on.
class SideCut {
 public:
  template <class Cut>
  explicit SideCut(Cut cut) : result_(std::async(std::launch::async, std::move(cut), std::cref(stop_))) {}
  ~SideCut() { stop_ = true; }  // then result_ waits for the round under way
  cv::Mat get() { return result_.get(); }

 private:
  std::atomic<bool> stop_{false};
  std::future<cv::Mat> result_;
};

// Paints the dabs' discs (adding ones 255, excluding ones 0): whatever
// decides the rest, the strokes themselves stand.
void paint_strokes(const std::vector<Dab>& dabs, cv::Mat& mask) {
  const double aspect = double(mask.rows) / mask.cols;
  for (const Dab& d : dabs)
    if (dab_in_frame(d, aspect))
      cv::circle(mask, dab_centre(d, mask.size()), dab_radius(d, mask.size()), d.r > 0 ? 255 : 0, cv::FILLED);
}

// Each dab's region (see DabRegions): an adding one grows through what the
// mask left out within `area`, an excluding one through the mask. The
// strokes themselves win over what the regions say. What they claimed is
// kept in `claims` when it is given.
void take_dab_regions(const cv::Mat& bgr, const cv::Mat& flow, const std::vector<Dab>& dabs, const cv::Rect& area,
                      const cv::Mat& vote, cv::Mat& mask, DabClaims* claims = nullptr) {
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

void check_selection(const Selection& s) {
  if (!s.box && s.dabs.empty()) {
    if (!s.hint.empty())
      throw Error("a text hint alone is not understood by this engine: draw a box or brush dabs around the character");
    throw Error("nothing is selected: draw a box or brush dabs around the character");
  }
  if (s.box && !box_has_area(*s.box)) throw Error("the box has no area inside the frame: draw it again");
  if (!contract::can_anchor(s.box, s.dabs))
    throw Error("only excluding dabs were painted: draw a box or add dabs on the character");
}

cv::Mat segment_anchor(const cv::Mat& bgr, const cv::Mat& flow, const Selection& s, DabClaims* claims) {
  check_selection(s);
  const cv::Size size = bgr.size();
  // Whether a dab reaches into the frame depends on the frame's shape: a
  // radius is a fraction of the width on both axes.
  const double aspect = double(size.height) / size.width;
  bool anyInside = false, anyAdding = false;
  for (const Dab& d : s.dabs) {
    if (!dab_in_frame(d, aspect)) continue;
    anyInside = true;
    anyAdding = anyAdding || d.r > 0;
  }
  if (!s.dabs.empty() && !anyInside) throw Error("the brush dabs lie outside the frame: paint them on the character");
  if (!s.box && !anyAdding) throw Error("the adding dabs lie outside the frame: paint them on the character");
  const cv::Rect box = s.box ? box_reaching_dabs(s, size) : cv::Rect();
  cv::Mat seeds(size, CV_8U);
  if (s.box) {
    seeds.setTo(cv::GC_BGD);
    cv::Rect r = box;
    // A box over the whole frame leaves no background to learn from: keep a
    // thin border as probable background.
    if (r.area() >= size.area() * 0.98) {
      const int m = std::max(2, size.width / 50);
      r = cv::Rect(m, m, size.width - 2 * m, size.height - 2 * m);
      seeds.setTo(cv::GC_PR_BGD);
    } else {
      seeds(soft_edge(r, size)).setTo(cv::GC_PR_BGD);
    }
    seeds(r).setTo(cv::GC_PR_FGD);
  } else {
    seeds.setTo(cv::GC_PR_BGD);
    cv::Rect adding;
    for (const Dab& d : s.dabs) {
      if (d.r <= 0 || !dab_in_frame(d, aspect)) continue;
      const int r = dab_radius(d, size);
      const cv::Point c = dab_centre(d, size);
      adding |= cv::Rect(c.x - r, c.y - r, 2 * r + 1, 2 * r + 1);
    }
    // The character reaches past the dabs: grow the probable region around
    // them by half their extent (at least a tenth of the frame).
    const int gx = std::max(adding.width / 2, size.width / 10), gy = std::max(adding.height / 2, size.height / 10);
    seeds(cv::Rect(adding.x - gx, adding.y - gy, adding.width + 2 * gx, adding.height + 2 * gy) &
          cv::Rect(cv::Point(), size))
        .setTo(cv::GC_PR_FGD);
  }
  cv::Mat adding = cv::Mat::zeros(size, CV_8U);
  for (const Dab& d : s.dabs) {
    if (!dab_in_frame(d, aspect)) continue;
    const cv::Point c = dab_centre(d, size);
    const int r = dab_radius(d, size);
    cv::circle(seeds, c, r, d.r > 0 ? cv::GC_FGD : cv::GC_BGD, cv::FILLED);
    cv::circle(adding, c, r, d.r > 0 ? 255 : 0, cv::FILLED);
  }
  const int sure = cv::countNonZero(seeds == cv::GC_FGD) + cv::countNonZero(seeds == cv::GC_PR_FGD);
  if (sure == 0 || sure == size.area())
    throw Error("the selection covers nothing or everything: draw a box or dabs around the character");

  // Two readings of the frame: its colours, and its looks (see Appearance),
  // which find dark hair on a dark wall but can also take in a dark wall
  // between a character's limbs. The colours are trusted; where they fall
  // well short of a side of the box that the looks reach, what the looks
  // hold between the colours' extent and that side is added.
  // With a box, the colour reading looks only at its surroundings: the
  // background nearby is what the character must be told apart from, and
  // it costs less. The looks need the whole frame's background: with only
  // the surroundings their models settle on the wall as often as on hair.
  cv::Rect area(cv::Point(), size);
  if (s.box) {
    cv::Rect around = box;
    for (const Dab& d : s.dabs) {
      if (!dab_in_frame(d, aspect)) continue;
      const int r = dab_radius(d, size);
      const cv::Point c = dab_centre(d, size);
      around |= cv::Rect(c.x - r, c.y - r, 2 * r + 1, 2 * r + 1);
    }
    const int mx = std::max(16, around.width / 4), my = std::max(16, around.height / 4);
    area &= cv::Rect(around.x - mx, around.y - my, around.width + 2 * mx, around.height + 2 * my);
  }
  // The looks' cut (below) needs nothing from the colours' and takes as
  // long, a second or more on a large frame: it runs beside it whenever it
  // may be needed, and is dropped once it is not.
  std::optional<SideCut> byLooks;
  if (s.box) byLooks.emplace([&bgr, &seeds](const std::atomic<bool>& stop) { return cut_by_looks(bgr, seeds, stop); });
  cv::Mat mask = grab_cut(lifted(bgr, area), seeds, area, s.box ? nullptr : &adding, s.box ? &box : nullptr);
  // Holes that clearly look like the background stay open, judged by the
  // colours' own result.
  cv::Mat vote;
  Appearance judge;
  judge.learn(bgr, mask);
  judge.vote(bgr, vote);
  clean_mask(mask, 0.02, 0.01, &vote);
  if (s.box && falls_short(mask, box)) {
    const cv::Mat byLook = byLooks->get();
    const cv::Mat strips = missed_strips(byLook, mask, box);
    if (!strips.empty()) {
      // Only the parts the colours missed that reach into those strips are
      // taken from the looks: elsewhere they may hold a dark wall between
      // the character's limbs.
      cv::Mat missed = byLook & ~mask;
      keep_touching(missed, strips);
      mask |= missed;
      clean_mask(mask, 0.02, 0.01, &vote);
    }
  }
  byLooks.reset();
  if (claims) *claims = {};
  if (!s.dabs.empty()) take_dab_regions(bgr, flow, s.dabs, s.box ? box : area, vote, mask, claims);
  // A character a few dozen pixels across whose colours its surroundings
  // share (a couple in dark coats by parked cars) can leave the cut empty:
  // a box drawn closer or a dab on the character gives it a start.
  if (cv::countNonZero(mask) == 0)
    throw Error("nothing was found inside the selection: draw the box closer around the character, or add dabs on it");
  return mask;
}

}  // namespace matting
