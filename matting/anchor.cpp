#include "matting/anchor.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <future>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <vector>

#include "matting/appearance.h"
#include "matting/colour_cut.h"
#include "matting/mask_cleanup.h"
#include "matting/selection_pixels.h"

namespace matting {

namespace {

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

// A box is drawn by hand, as often a little tight as not: the strip just
// past each side, this share of the box's size wide, is probable background
// rather than sure. Learnt as the background, hair running out past the
// box's top took the hair inside the box with it, and the character looked
// bald; GrabCut learns from probable background too, so the top's strip
// starts undecided in the colour cut. A strip that comes within its own width of
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

// A box at least this share of the frame's height is drawn around a figure
// close to the camera.
constexpr double kCloseFigure = 0.5;
// Whether the mask comes within the strip's width of the box's side (in
// gaps' order). At a hundredth of the box, a head whose hair the cut had
// already lost stopped at the forehead a few pixels short of the top, and
// was never read as cut by the box.
bool reaches(const cv::Mat& mask, const cv::Rect& box, int side) { return gaps(mask, box)[side] <= kBeyond; }
// Read so, a box may take in past its side at most this share of what the
// mask held within it.
constexpr double kPastDrawn = 0.75;

// The colours fall short of a side of the box when the mask stays more
// than this share of the box's size from it. At a tenth, a box drawn 4 px
// narrower round a dark jacket on a dark wall (the colours 9.9 % short of
// its side rather than 11 %) never asked the looks, and the jacket's far
// side went on every frame.
constexpr double kShort = 0.05;
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

// A part of the mask apart from the largest with more than this share of
// it outside the box (in the strip past it) is something beside the
// character that the box was drawn through, not a part of him: the box is
// drawn around the character, and a blurred figure at a table behind him,
// half past the box's side, came in and was carried through the shot.
constexpr double kPastTheBox = 0.25;
void drop_parts_past(cv::Mat& mask, const cv::Rect& box) {
  cv::Mat labels, stats, centroids;
  const int parts = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  if (parts <= 2) return;
  int largest = 1;
  for (int i = 2; i < parts; ++i)
    if (stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA)) largest = i;
  std::vector<int> inside(parts, 0);
  for (int y = box.y; y < box.br().y; ++y) {
    const int* l = labels.ptr<int>(y);
    for (int x = box.x; x < box.br().x; ++x) ++inside[l[x]];
  }
  std::vector<uchar> drop(parts, 0);
  for (int i = 1; i < parts; ++i) {
    const int area = stats.at<int>(i, cv::CC_STAT_AREA);
    drop[i] = i != largest && area - inside[i] > kPastTheBox * area;
  }
  for (int y = 0; y < mask.rows; ++y) {
    uchar* m = mask.ptr<uchar>(y);
    const int* l = labels.ptr<int>(y);
    for (int x = 0; x < mask.cols; ++x)
      if (drop[l[x]]) m[x] = 0;
  }
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

}  // namespace

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
  cv::Rect box = s.box ? box_reaching_dabs(s, size) : cv::Rect();
  cv::Mat seeds(size, CV_8U);
  // The dabs are sure, whatever the box says.
  const auto seed_dabs = [&] {
    for (const Dab& d : s.dabs)
      if (dab_in_frame(d, aspect))
        cv::circle(seeds, dab_centre(d, size), dab_radius(d, size), d.r > 0 ? cv::GC_FGD : cv::GC_BGD, cv::FILLED);
  };
  const auto seed_box = [&] {
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
  };
  if (s.box) {
    seed_box();
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
  seed_dabs();
  cv::Mat adding = cv::Mat::zeros(size, CV_8U);
  paint_strokes(s.dabs, adding);  // an exclude dab over an add dab takes its part back
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
  // may be needed, and is dropped once it is not. It keeps the seeds it
  // started from.
  std::optional<SideCut> byLooks;
  if (s.box)
    byLooks.emplace(
        [&bgr, boxSeeds = seeds.clone()](const std::atomic<bool>& stop) { return cut_by_looks(bgr, boxSeeds, stop); });
  cv::Mat mask = grab_cut(lifted(bgr, area), seeds, area, s.box ? nullptr : &adding, s.box ? &box : nullptr);
  // A close figure's box that the character reaches the top or the bottom
  // of was drawn through him: he goes on past it, and the box is read as
  // drawn to the frame's border there. Drawn low over his head, the hair
  // above it taught the background the hair's colour, the hair inside went
  // with it, and he came out bald (left unread, the hair above still went
  // on some frames: too little was left inside to teach the character's
  // colours); drawn short of his waist, the jacket below took the jacket
  // inside with it. A strip that already reaches the frame's border is read
  // as it is. Past a small figure's box, or a box drawn clear of the head,
  // lies the background nearby, which the cut needs: without it, people on
  // a pavement were not found at all. Past a side it is the same: read as
  // more of him, a jacket cut by the side took the wall beside it.
  if (s.box && box.height >= kCloseFigure * size.height) {
    const cv::Rect withStrips = soft_edge(box, size);
    const bool above = withStrips.y > 0 && reaches(mask, box, 1);
    const bool below = withStrips.br().y < size.height && reaches(mask, box, 3);
    const cv::Rect drawn = box, drawnArea = area;
    if (above) box |= cv::Rect(box.x, 0, box.width, box.y);
    if (below) box |= cv::Rect(box.x, box.br().y, box.width, size.height - box.br().y);
    if (above || below) {
      area |= box;
      seed_box();
      seed_dabs();
      cv::Mat reread = grab_cut(lifted(bgr, area), seeds, area, nullptr, &box);
      // What the re-read took past the drawn box is more of him, less than
      // he was already. Much more is something else: a footballer's foot
      // and raised hand came near his box's sides, and the table and lamps
      // below him came in, half as large again as he was (his jacket past a
      // box drawn short of his waist: two fifths of him at most).
      cv::Mat past = reread & ~mask;
      past(drawn).setTo(0);
      if (cv::countNonZero(past) <= kPastDrawn * cv::countNonZero(mask)) {
        mask = reread;
      } else {
        box = drawn;
        area = drawnArea;
      }
    }
  }
  // Holes that clearly look like the background stay open, judged by the
  // colours' own result.
  cv::Mat vote;
  Appearance judge;
  judge.learn(bgr, mask);
  judge.vote(bgr, vote);
  clean_mask(mask, 0.02, 0.01, &vote);
  if (s.box) drop_parts_past(mask, box);
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
      drop_parts_past(mask, box);
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
