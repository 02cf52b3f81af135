#include "matting/engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <utility>

#include "matting/anchor.h"
#include "matting/appearance.h"
#include "matting/dab_corrections.h"
#include "matting/edge_refiner.h"
#include "matting/frames.h"
#include "matting/mask_store.h"
#include "matting/memo.h"
#include "matting/pipeline.h"
#include "matting/shots.h"
#include "matting/stopwatch.h"
#include "matting/track.h"
#include "matting/tracker.h"

namespace matting {

namespace {

constexpr int kSmallestSide = 16;
// Frames between a key and the frame that tells what moves there (for an
// excluding dab): over two, a character sitting nearly still moved half a
// pixel.
constexpr int kMotionSpan = 4;
// Part of every name the memo keeps work under: a change to what decides a
// key's mask, a track's masks or a matte must change it, so that older work
// is not taken for new.
constexpr const char* kMemoVersion = "21";
// GrabCut's mask is a first guess: its edge is re-decided, this many bands
// each way a round, by the appearance learnt from the last round, until
// fewer than this share of the mask's pixels change (at most this many
// rounds). The guess pulls weakly there, its pull growing over this many
// bands (a mask the flow carried grows over half a band): where GrabCut
// took a dark wall for the jacket beside it, the rounds walk the wall out
// a band at a time.
constexpr int kAnchorBands = 2;
constexpr float kAnchorPull = 4.f;
constexpr double kAnchorSettled = 0.005;
constexpr int kAnchorRounds = 12;

void check_job(const Job& job) {
  const int n = int(job.frames.size());
  if (n == 0) throw Error("the clip has no frames");
  if (job.anchor < 0 || job.anchor >= n)
    throw Error("the anchor frame " + std::to_string(job.anchor) + " is outside the clip's " + std::to_string(n) +
                " frames");
  if (!(job.edgeSoftness >= 0 && job.edgeSoftness <= 1)) throw Error("the edge softness must lie between 0 and 1");
  check_selection(job.selection);
  std::vector<int> corrected;
  for (const Correction& c : job.corrections) {
    const std::string where = "the correction on frame " + std::to_string(c.frame);
    if (c.frame < 0 || c.frame >= n) throw Error(where + " is outside the clip's " + std::to_string(n) + " frames");
    if (std::find(corrected.begin(), corrected.end(), c.frame) != corrected.end())
      throw Error(where + " comes twice: give each frame one correction");
    if (!c.selection.box && c.selection.dabs.empty()) throw Error(where + " marks nothing");
    corrected.push_back(c.frame);
  }
  std::error_code ec;
  std::filesystem::create_directories(job.outputDir, ec);
  if (!std::filesystem::is_directory(job.outputDir, ec))
    throw Error("could not create the matte folder " + job.outputDir);
}

// "5", "5-9", or "" for an empty range.
std::string frame_range(int first, int last) {
  if (first > last) return "";
  return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

// Everything of a selection that decides a mask, as text.
std::string selection_text(const Selection& selection) {
  std::string text;
  char number[32];
  const auto put = [&](double value) {
    std::snprintf(number, sizeof number, " %.17g", value);
    text += number;
  };
  if (selection.box) {
    text += " box";
    for (double v : {selection.box->x, selection.box->y, selection.box->w, selection.box->h}) put(v);
  }
  for (const Dab& dab : selection.dabs) {
    text += " dab";
    for (double v : {dab.x, dab.y, dab.r}) put(v);
  }
  return text;
}

// A frame the user marked: the anchor, or a correction.
struct Key {
  int frame = 0;
  Selection selection;
};

// The keys in frame order: the anchor's selection, with a correction on the
// anchor's own frame added to it, and each correction.
std::vector<Key> keys_of(const Job& job) {
  std::vector<Key> keys{{job.anchor, job.selection}};
  for (const Correction& c : job.corrections) {
    if (c.frame == job.anchor) {
      if (c.selection.box) keys[0].selection.box = c.selection.box;
      keys[0].selection.dabs.insert(keys[0].selection.dabs.end(), c.selection.dabs.begin(), c.selection.dabs.end());
    } else {
      keys.push_back({c.frame, c.selection});
    }
  }
  std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.frame < b.frame; });
  return keys;
}

class Run {
 public:
  Run(const Job& job, const ProgressFn& progress, const CancelFn& cancelled)
      : job_(job), progress_(progress), cancelled_(cancelled), writer_(job), memo_(job.memoDir) {}

  Summary matte_every_frame() {
    const int n = int(job_.frames.size());
    state_.assign(n, kUnreached);
    units_.assign(n, 0);
    const std::vector<Key> keys = keys_of(job_);
    const int a = int(std::find_if(keys.begin(), keys.end(), [&](const Key& k) { return k.frame == job_.anchor; }) -
                      keys.begin());
    summary_.shotFirst = 0;
    summary_.shotLast = n - 1;
    const Seed anchor = fresh(keys[a], "finding the character on frame ");
    for (const int direction : {+1, -1}) {
      Seed near = anchor;
      for (int k = a + direction; k >= 0 && k < int(keys.size()); k += direction)
        near = between(near, keys[k], direction);
      tail(near, direction);
    }
    mend_the_anchor(anchor);
    leave_the_rest_empty();
    // The anchor's shot: between the cuts around it.
    for (int cut : summary_.cuts) {
      if (cut <= job_.anchor)
        summary_.shotFirst = std::max(summary_.shotFirst, cut);
      else
        summary_.shotLast = std::min(summary_.shotLast, cut - 1);
    }
    writer_.finish();
    memo_.forget_the_rest();
    summary_.seconds.alpha = writer_.alphaSeconds();
    summary_.seconds.encode = writer_.encodeSeconds();
    summary_.frames = n;
    summary_.note = note();
    return summary_;
  }

 private:
  enum State : char { kUnreached, kMatted, kLost };

  void report(const std::string& stage, int frame, int frames) {
    if (progress_) progress_({stage, frame, frames, double(unitsDone_) / (2.0 * double(units_.size()))});
  }
  // Each frame is two units of the job's work: one when a track first
  // reaches it (a stretch between keys holds its frames until the track
  // back decides them), both once its matte is decided.
  void advance(int i, char to) {
    if (units_[i] >= to) return;
    unitsDone_ += to - units_[i];
    units_[i] = to;
  }
  TrackLog log() { return {memo_, summary_, lostAt_}; }
  void check_cancelled() {
    if (cancelled_ && cancelled_()) throw Cancelled();
  }

  // A key segmented afresh from its box or adding dabs; its matte written.
  Seed fresh(const Key& key, const std::string& stagePrefix) {
    const int f = key.frame;
    const std::string stage = stagePrefix + std::to_string(f);
    report(stage, 0, 1);
    Stopwatch watch;
    Seed seed;
    seed.frame = f;
    seed.pictures = read_for_tracking(job_.frames[f], f, job_.quality);
    // Optical flow needs a few patches across the picture.
    if (std::min(seed.pictures.gray.cols, seed.pictures.gray.rows) < kSmallestSide)
      throw Error("frame " + std::to_string(f) + " is " + std::to_string(seed.pictures.gray.cols) + " x " +
                  std::to_string(seed.pictures.gray.rows) + " pixels: frames smaller than " +
                  std::to_string(kSmallestSide) + " pixels on a side cannot be matted");
    const cv::Size work = seed.pictures.work.size(), segmented = anchor_size(seed.pictures.gray.size());
    seed.name = memo_name(std::string(kMemoVersion) + " fresh " + std::to_string(f) +
                          (job_.quality == Quality::Fast ? " fast" : " fine") + selection_text(key.selection));
    seed.mask = memo_.key(seed.name, work);
    if (!seed.mask.empty()) {
      summary_.seconds.decode += watch.lap();
    } else {
      cv::Mat picture = segmented != work ? frame_at(f, segmented) : seed.pictures.work.clone();
      if (picture.size() == seed.pictures.gray.size()) settle_colour(picture);  // JPEG's colour noise
      summary_.seconds.decode += watch.lap();

      // Segmented at its own size whatever the quality, and its edge
      // re-decided there by the appearance, which tells dark hair in focus
      // from a dark wall where GrabCut's colour models saw one colour:
      // rounds until it settles, each learning from the last, what the
      // dabs claimed standing. At that size rather than the working size:
      // texture read on footage scaled up is finer than on the footage
      // itself, and a shoulder went out with the chair behind it.
      DabClaims claims;
      seed.mask = segment_anchor(picture, motion_near(f, picture, key.selection), key.selection, &claims);
      Appearance anchorLooks;
      anchorLooks.learn(picture, seed.mask);
      const int band = Tracker::band(segmented);
      EdgeRefiner wide(kAnchorBands * band, kAnchorPull * band);
      cv::Mat looks;
      for (int round = 0; round < kAnchorRounds; ++round) {
        const cv::Mat before = seed.mask.clone();
        anchorLooks.vote(picture, looks);
        wide.refine(picture, before, cv::Mat(), looks, seed.mask);
        claims.stand(seed.mask);
        // Never rounded away to nothing: a character whose looks the
        // background shares keeps the last round's mask.
        if (cv::countNonZero(seed.mask) == 0) {
          seed.mask = before;
          break;
        }
        anchorLooks.learn(seed.mask);  // the frame the refiner just voted on
        if (cv::countNonZero(before != seed.mask) < kAnchorSettled * cv::countNonZero(seed.mask)) break;
      }
      if (segmented != work) {
        cv::resize(seed.mask, seed.mask, work, 0, 0, cv::INTER_LINEAR);
        cv::threshold(seed.mask, seed.mask, 127, 255, cv::THRESH_BINARY);
      }
      memo_.put_key(seed.name, seed.mask);
    }
    // Learnt on the working picture as it is, which the tracking votes on.
    seed.appearance.learn(seed.pictures.work, seed.mask);
    seed.check.area = cv::countNonZero(seed.mask);
    seed.check.agreement = seed.appearance.agreement(seed.mask);
    seed.signature = shot_signature(seed.pictures.work);
    summary_.seconds.anchor += watch.lap();
    put(f, seed.mask, seed.pictures);
    report(stage, 1, 1);
    return seed;
  }

  // Frame i decoded again and scaled to `size` as the working pictures are.
  cv::Mat frame_at(int i, cv::Size size) const {
    cv::Mat out;
    cv::resize(read_frame(job_.frames[i], i), out, size, 0, 0, cv::INTER_AREA);
    return out;
  }

  // Where each pixel of `picture` (frame f, at any size) is up to a few
  // frames before (after, on the clip's first) in the same shot, for what
  // an excluding dab takes to keep to what moves with it; empty without
  // such a dab or such a frame.
  cv::Mat motion_near(int f, const cv::Mat& picture, const Selection& selection) {
    if (std::none_of(selection.dabs.begin(), selection.dabs.end(), [](const Dab& d) { return d.r < 0; })) return {};
    const int n = int(job_.frames.size());
    const int j = f > 0 ? f - std::min(f, kMotionSpan) : std::min(n - 1, f + kMotionSpan);
    if (j == f) return {};
    cv::Mat other = frame_at(j, picture.size()), gray, otherGray, flow;
    if (is_cut(shot_signature(picture), shot_signature(other))) return {};
    cv::cvtColor(picture, gray, cv::COLOR_BGR2GRAY);
    cv::cvtColor(other, otherGray, cv::COLOR_BGR2GRAY);
    cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)->calc(gray, otherGray, flow);
    return flow;
  }

  // The stretch from `near` (a seed nearer the anchor) to the key `far`,
  // tracked from both ends: the seed at `far`, its matte and the stretch's
  // written. Dabs alone at `far` correct the mask the track brought there.
  // The seed at `far` keeps that track as it came there (`corrects`).
  Seed between(const Seed& near, const Key& far, int direction) {
    MaskStore store(job_.outputDir);
    std::vector<int> order;
    for (int i = near.frame + direction; i != far.frame + direction; i += direction) order.push_back(i);
    cv::Mat arriving;
    std::vector<int> stored, nearLost;
    const std::string toFar = std::string(direction > 0 ? "tracking forward" : "tracking backward") +
                              " to the correction on frame " + std::to_string(far.frame) + " ";
    Track forth(log(), near, direction);
    drive(
        forth, near, order, direction,
        [&](int i, const cv::Mat* mask, const EdgeRead*, const DecodedFrame&) {
          if (i == far.frame) {
            if (mask) arriving = mask->clone();
          } else if (mask) {
            store.put(i, *mask);
            stored.push_back(i);
          } else {
            nearLost.push_back(i);
          }
          advance(i, 1);
          return true;
        },
        toFar);

    std::shared_ptr<const Seed> corrected;
    if (!arriving.empty()) corrected = std::make_shared<const Seed>(forth.here());

    Seed seed;
    if (far.selection.box || arriving.empty()) {
      const bool adds =
          std::any_of(far.selection.dabs.begin(), far.selection.dabs.end(), [](const Dab& d) { return d.r > 0; });
      if (!far.selection.box && !adds)
        throw Error("the correction on frame " + std::to_string(far.frame) +
                    " has only excluding dabs and the track does not reach it: add a box or adding dabs there");
      seed = fresh(far, "correcting frame ");
    } else {
      report("correcting frame " + std::to_string(far.frame), 0, 1);
      Stopwatch watch;
      seed = near;
      seed.frame = far.frame;
      seed.name = memo_name(near.name + (direction > 0 ? " forward to " : " backward to ") + std::to_string(far.frame) +
                            selection_text(far.selection));
      seed.pictures = corrected->pictures;
      seed.signature = corrected->signature;
      seed.mask = arriving.clone();  // `corrected` keeps it as it came
      cv::Mat vote;
      seed.appearance.vote(seed.pictures.work, vote);
      // The dabs are read at the anchor's size where that is the larger, as
      // on the anchor: at 480 pixels a jacket and the dark chair behind it
      // meet without an edge, and an exclude dab on the chair took his
      // shoulder too.
      const cv::Size segmented = anchor_size(seed.pictures.gray.size());
      const cv::Mat picture =
          segmented.width > seed.pictures.work.cols ? frame_at(far.frame, segmented) : seed.pictures.work;
      correct_with_dabs(picture, motion_near(far.frame, picture, far.selection), far.selection.dabs, vote, seed.mask);
      summary_.seconds.anchor += watch.lap();
      put(far.frame, seed.mask, seed.pictures);
      report("correcting frame " + std::to_string(far.frame), 1, 1);
    }
    seed.corrects = corrected;

    // Back from `far`, the track from there follows the one from `near`
    // save where the correction changed it, until the two agree again.
    // Dabs alone change the track that came to `far`, and that change is
    // the user's word: it stands over the whole stretch back to `near`,
    // which keeps its own matte (the anchor's, see mend_the_anchor).
    // Faded toward `near`, a wall an exclude dab took out was half there
    // again half-way back. A new box reads the character afresh, as
    // `near` did: each frame between agrees with both ends, the nearer end
    // weighing more.
    const bool reseeds = far.selection.box || arriving.empty();
    const double mended = arriving.empty() ? 0.0 : cv::countNonZero(seed.mask != arriving);
    if (!reseeds && far.frame == near.frame + direction) beside_the_anchor(near, far.frame, arriving, seed.mask);
    order.pop_back();
    std::reverse(order.begin(), order.end());
    const double length = std::abs(far.frame - near.frame);
    std::vector<char> back(job_.frames.size(), 0);  // reached by the track from `far`
    int agreed = 0;
    Track hither(log(), seed, -direction, store, forth.name(), arriving);
    drive(
        hither, seed, order, -direction,
        [&](int i, const cv::Mat* mask, const EdgeRead* read, const DecodedFrame& frame) {
          back[i] = 1;
          const cv::Mat fromNear = store.get(i);
          if (!reseeds && mask && !fromNear.empty() && i == near.frame + direction)
            beside_the_anchor(near, i, fromNear, *mask);
          agreed = mask && !fromNear.empty() && agrees(*mask, fromNear, mended) ? agreed + 1 : 0;
          if (mask && !fromNear.empty() && reseeds)
            put(i, blend_masks(fromNear, *mask, std::abs(far.frame - i) / length), frame.pictures);
          else if (mask)
            put(i, *mask, frame.pictures, read);
          else if (!fromNear.empty())
            put(i, fromNear, frame.pictures);
          else
            lose(i, frame.pictures.gray.size());
          return agreed < kAgreedFrames;
        },
        direction > 0 ? "tracking backward " : "tracking forward ");
    // What the track from `far` did not reach (a cut between, or it agreed
    // with the track from `near` before) keeps what the track from `near`
    // found.
    const auto reached = [&](int i) { return back[i] != 0; };
    for (int i : stored) {
      if (reached(i)) continue;
      check_cancelled();
      put(i, store.get(i), read_for_tracking(job_.frames[i], i, job_.quality));
    }
    for (int i : nearLost)
      if (!reached(i)) lose(i, read_frame_size(job_.frames[i], i));
    return seed;
  }

  // Kept when `near` is the anchor and `changed` is a correction's track
  // on the anchor's neighbour, `tracked` the anchor's own track there.
  void beside_the_anchor(const Seed& near, int frame, const cv::Mat& tracked, const cv::Mat& changed) {
    if (near.frame == job_.anchor)
      besideTheAnchor_[frame > near.frame] = {changed.clone(), changed & ~tracked, tracked & ~changed};
  }

  // Where dabs on both sides of the anchor changed its two neighbours
  // alike, the anchor takes the change too: left as it was, the anchor
  // alone showed the wall that corrections before and after it took out.
  // What both changed, past slivers thinner than half a band where their
  // edges merely cross, and a band around it, is drawn between the two
  // neighbours' masks (a frame away on either side), whose edges there
  // are the corrections'.
  void mend_the_anchor(const Seed& anchor) {
    const Change &before = besideTheAnchor_[0], &after = besideTheAnchor_[1];
    if (before.mask.empty() || after.mask.empty()) return;
    const int band = Tracker::band(anchor.mask.size());
    const cv::Mat sliver = cv::getStructuringElement(cv::MORPH_ELLIPSE, {band / 2 | 1, band / 2 | 1});
    cv::Mat added = before.added & after.added, removed = before.removed & after.removed, around;
    cv::morphologyEx(added, added, cv::MORPH_OPEN, sliver);
    cv::morphologyEx(removed, removed, cv::MORPH_OPEN, sliver);
    if (cv::countNonZero(added | removed) == 0) return;
    cv::dilate(added | removed, around, cv::getStructuringElement(cv::MORPH_ELLIPSE, {2 * band + 1, 2 * band + 1}));
    cv::Mat mask = anchor.mask.clone();
    blend_masks(before.mask, after.mask, 0.5).copyTo(mask, around);
    put(anchor.frame, mask, anchor.pictures);
  }

  // From `from` to the end of its shot in one direction, or up to a key.
  void tail(const Seed& from, int direction) {
    Track track(log(), from, direction);
    drive(
        track, from, all_to_the_end(from.frame, direction), direction,
        [&](int i, const cv::Mat* mask, const EdgeRead* read, const DecodedFrame& frame) {
          put_or_lose(i, mask, read, frame);
          return true;
        },
        direction > 0 ? "tracking forward " : "tracking backward ");
  }

  std::vector<int> all_to_the_end(int from, int direction) const {
    std::vector<int> order;
    for (int i = from + direction; i >= 0 && i < int(job_.frames.size()); i += direction) order.push_back(i);
    return order;
  }

  // Drives `track` from `from` over `order` (frames one after another in
  // `direction`) until a cut, handing each frame's mask (nothing once the
  // track is lost), with the tracker's read of its edge when the tracker
  // made it, to `take` until it answers false, reporting under `stage`.
  void drive(Track& track, const Seed& from, const std::vector<int>& order, int direction,
             const std::function<bool(int, const cv::Mat*, const EdgeRead*, const DecodedFrame&)>& take,
             const std::string& stage) {
    if (order.empty()) return;
    cv::Mat previous = from.signature;
    int done = 0;
    FrameReader reader(job_, job_.quality, order);
    // A frame ahead, so that the tracker works out what needs no mask
    // there while it cuts this one.
    for (std::optional<DecodedFrame> frame = reader.next(), next; frame; frame = std::move(next)) {
      next = frame->error.empty() ? reader.next() : std::nullopt;
      check_cancelled();
      if (!frame->error.empty()) throw Error(frame->error);
      const int i = frame->index;
      if (frame->pictures.gray.size() != from.pictures.gray.size() || is_cut(previous, frame->signature)) {
        const int cut = direction > 0 ? i : i + 1;
        if (std::find(summary_.cuts.begin(), summary_.cuts.end(), cut) == summary_.cuts.end())
          summary_.cuts.push_back(cut);
        break;
      }
      previous = frame->signature;
      const bool followed = next && next->error.empty() && next->pictures.work.size() == frame->pictures.work.size();
      const cv::Mat* mask = track.next(*frame, followed ? &*next : nullptr);
      const bool more = take(i, mask, track.read(), *frame);
      ++done;
      report(stage + std::to_string(done) + "/" + std::to_string(order.size()), done, int(order.size()));
      if (!more) break;
    }
    summary_.seconds.decode += reader.decodeSeconds();
    summary_.seconds.cuts += reader.cutSeconds();
  }

  // The writer keeps the mask (and the read): the tracker's own buffers are
  // reused. A matte is named by its frame, its mask and what else decides
  // it, so that a later job on the same frames copies what did not change
  // instead of making it again; `read`, the colours' read of the mask's
  // edge that the matte starts from, is the tracker's when it has it, and
  // the same as the writer would make.
  void put(int i, const cv::Mat& mask, TrackingFrame pictures, const EdgeRead* read = nullptr) {
    char settings[64];
    std::snprintf(settings, sizeof settings, " %d %d %d %.17g", i, mask.cols, mask.rows, job_.edgeSoftness);
    const std::string kept = memo_.matte(
        std::string(kMemoVersion) + " matte" + (job_.quality == Quality::Fast ? " fast" : " fine") + settings, mask);
    writer_.tracked(i, mask.clone(), std::move(pictures), kept,
                    read ? EdgeRead{read->alpha.clone(), read->band.clone()} : EdgeRead{});
    state_[i] = kMatted;
    advance(i, 2);
  }
  // A tracked frame's mask, or nothing where the track was lost.
  void put_or_lose(int i, const cv::Mat* mask, const EdgeRead* read, const DecodedFrame& frame) {
    if (mask)
      put(i, *mask, frame.pictures, read);
    else
      lose(i, frame.pictures.gray.size());
  }
  void lose(int i, cv::Size size) {
    writer_.empty(i, size);
    state_[i] = kLost;
    advance(i, 2);
    ++summary_.lostFrames;
    ++summary_.emptyFrames;
  }

  void leave_the_rest_empty() {
    const int n = int(job_.frames.size());
    const int others = int(std::count(state_.begin(), state_.end(), kUnreached));
    int done = 0;
    for (int i = 0; i < n; ++i) {
      if (state_[i] != kUnreached) continue;
      check_cancelled();
      Stopwatch watch;
      const cv::Size size = read_frame_size(job_.frames[i], i);
      summary_.seconds.decode += watch.lap();
      writer_.empty(i, size);
      advance(i, 2);
      ++summary_.emptyFrames;
      ++done;
      report("leaving other shots empty " + std::to_string(done) + "/" + std::to_string(others), done, others);
    }
    std::sort(summary_.cuts.begin(), summary_.cuts.end());
  }

  // Runs of frames in `state`, as "5-9, 12".
  std::string ranges(State state) const {
    std::string text;
    const int n = int(state_.size());
    for (int i = 0; i < n; ++i) {
      if (state_[i] != state) continue;
      int j = i;
      while (j + 1 < n && state_[j + 1] == state) ++j;
      text += (text.empty() ? "" : ", ") + frame_range(i, j);
      i = j;
    }
    return text;
  }

  std::string note() const {
    std::vector<std::string> parts;
    const int unreached = int(std::count(state_.begin(), state_.end(), kUnreached));
    if (unreached > 0)
      parts.push_back(unreached == 1 ? "frame " + ranges(kUnreached) + " is in another shot and was left empty"
                                     : "frames " + ranges(kUnreached) + " are in other shots and were left empty");
    if (summary_.lostFrames > 0) {
      std::string at;
      for (int i : lostAt_)
        if (state_[i] == kLost) at += (at.empty() ? "" : ", ") + std::to_string(i);
      parts.push_back(
          "the character was lost at frame " + at + " (its look no longer matches the anchor's): " +
          (summary_.lostFrames == 1 ? "frame " + ranges(kLost) + " was" : "frames " + ranges(kLost) + " were") +
          " left empty");
    }
    if (parts.empty()) return "every frame is in the anchor's shot and was matted";
    std::string text = parts[0];
    for (size_t k = 1; k < parts.size(); ++k) text += "; " + parts[k];
    return text;
  }

  const Job& job_;
  const ProgressFn& progress_;
  const CancelFn& cancelled_;
  MatteWriter writer_;
  Memo memo_;
  Summary summary_;
  std::vector<State> state_;
  std::vector<char> units_;  // per frame, of two (advance)
  long unitsDone_ = 0;
  std::vector<int> lostAt_;
  // What the track back from a correction made of the anchor's neighbour
  // before it and after it, and what it added and removed against the
  // anchor's own track there.
  struct Change {
    cv::Mat mask, added, removed;
  };
  Change besideTheAnchor_[2];
};

// OpenCV fills its Lab (and HSV) tables on the first conversion, without a
// lock: threads converting at once for the first time (a job's two anchor
// cuts, or two jobs of one backend) each fill them, and one can read tables
// another is still filling. Filled once here, before any job has threads.
void fill_colour_tables() {
  static std::once_flag once;
  std::call_once(once, [] {
    const cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar::all(128));
    cv::Mat converted;
    cv::cvtColor(pixel, converted, cv::COLOR_BGR2Lab);
    cv::cvtColor(pixel, converted, cv::COLOR_BGR2HSV);
  });
}

}  // namespace

Summary run(const Job& job, const ProgressFn& progress, const CancelFn& cancelled) {
  check_job(job);
  try {
    fill_colour_tables();
    return Run(job, progress, cancelled).matte_every_frame();
  } catch (const cv::Exception& e) {
    // A picture OpenCV cannot work on: the job fails with its reason rather
    // than with an exception the caller does not expect.
    throw Error(std::string("the matting failed: ") + e.err);
  }
}

}  // namespace matting
