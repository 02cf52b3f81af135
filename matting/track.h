#pragma once
// One track of a job: a key's mask carried from frame to frame. What the
// memo kept of it is taken as it was, and the tracking goes on from where
// that ends. From a key that corrected a track, away from the anchor, it
// follows that track (its reference, tracked alongside) save in windows
// around where the two differ; back toward the anchor, the masks the track
// from the nearer key left. Once the two have agreed for a few frames,
// closely and differing by little of what the key changed, it is its
// reference from there on: what a correction mends stays mended, and a
// re-pull with one more correction tracks only as far as it changes
// anything. Without its reference's mask, or differing from it over most
// of the frame, it tracks whole frames alone.

#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "matting/appearance.h"
#include "matting/band_alpha.h"
#include "matting/engine.h"
#include "matting/frames.h"
#include "matting/mask_store.h"
#include "matting/memo.h"
#include "matting/pipeline.h"
#include "matting/tracker.h"
#include "matting/window_tracker.h"

namespace matting {

// Two tracks agree once their masks have overlapped this closely for this
// many frames running, a track from a correction also differing from the
// track it corrected by at most this share of what the correction changed
// on its own frame.
constexpr double kAgreedOverlap = 0.98;
constexpr int kAgreedFrames = 3;
constexpr double kRejoinedShare = 0.25;

// The share of the pixels in either mask that are in both.
double overlap(const cv::Mat& a, const cv::Mat& b);

// Whether a track's mask agrees with its reference's on a frame: closely,
// and differing by at most kRejoinedShare of `mended` (what its key
// changed on its own frame).
bool agrees(const cv::Mat& mask, const cv::Mat& reference, double mended);

// Where the track went wrong: the mask's colours no longer look like the
// character's, or its area left any plausible range around the anchor's.
struct TrackCheck {
  double area = 0, agreement = 0;
  // On the frame the appearance last voted on; the area alone without it.
  bool lost(const cv::Mat& mask, const Appearance* appearance) const;
};

// Where a track starts: a key's mask and what it learnt there.
struct Seed {
  int frame = -1;
  TrackingFrame pictures;
  cv::Mat mask;
  Appearance appearance;
  TrackCheck check;
  cv::Mat signature;
  std::string name;  // what decided it, for the memo
  // At a correction, the track it corrected as it came there: the tracks
  // from it away from the anchor follow that one save where they differ.
  std::shared_ptr<const Seed> corrects;
};

// What the tracks of a job share: the memo, the job's summary (frames
// recalled, seconds spent tracking) and the frames where a track was lost.
struct TrackLog {
  Memo& memo;
  Summary& summary;
  std::vector<int>& lostAt;
};

class Track {
 public:
  // Following `from.corrects` when it is set.
  Track(TrackLog log, const Seed& from, int direction);
  // Following the masks `store` holds, which the track named `storeName`
  // left, `storeOnFrom` on the seed's own frame.
  Track(TrackLog log, const Seed& from, int direction, const MaskStore& store, const std::string& storeName,
        const cv::Mat& storeOnFrom);

  const std::string& name() const { return name_; }

  // The mask on `frame`, the frame after the last one handed (nullptr once
  // the track is lost); `following`, the frame after it when there is one,
  // is looked at meanwhile.
  const cv::Mat* next(const DecodedFrame& frame, const DecodedFrame* following);

  // The tracker's read of the edge of the mask next() last gave, when the
  // tracker made it over the whole frame.
  const EdgeRead* read() const { return read_; }

  // The track as it is on the frame next() last gave a mask on: a seed it
  // goes on from as it would have.
  Seed here() const;

 private:
  void start(const cv::Mat& referenceOnFrom);
  // Lost on frame i: nothing more from here on.
  void lose(int i);
  WindowTracker& window();

  TrackLog log_;
  const Seed from_;
  std::unique_ptr<Track> child_;
  const MaskStore* store_ = nullptr;
  std::string name_;
  // The frame last given a mask, that mask, and the reference's there
  // (empty once the track no longer follows one).
  Seed last_{from_};
  cv::Mat lastMask_{from_.mask}, lastReference_;
  double mended_ = 0;
  int agreed_ = 0;
  bool rejoined_ = false, recalling_ = true, lost_ = false;
  std::optional<Tracker> tracker_;
  bool trackerOn_ = false;  // the tracker's last step made lastMask_
  std::optional<WindowTracker> window_;
  const EdgeRead* read_ = nullptr;
};

}  // namespace matting
