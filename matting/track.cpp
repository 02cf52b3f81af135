#include "matting/track.h"

#include "matting/stopwatch.h"

namespace matting {

double overlap(const cv::Mat& a, const cv::Mat& b) {
  const int either = cv::countNonZero(a | b);
  return either == 0 ? 1.0 : double(cv::countNonZero(a & b)) / either;
}

bool agrees(const cv::Mat& mask, const cv::Mat& reference, double mended) {
  return overlap(reference, mask) >= kAgreedOverlap && cv::countNonZero(reference != mask) <= kRejoinedShare * mended;
}

bool TrackCheck::lost(const cv::Mat& mask, const Appearance* appearance) const {
  const double a = cv::countNonZero(mask);
  if (a < 0.02 * area || a > 4 * area) return true;
  return appearance && appearance->agreement(mask) < 0.5 * agreement;
}

Track::Track(TrackLog log, const Seed& from, int direction)
    : log_(log),
      from_(from),
      child_(from.corrects ? std::make_unique<Track>(log, *from.corrects, direction) : nullptr) {
  if (child_) start(from.corrects->mask);
  name_ = memo_name(from.name + (direction > 0 ? " forward" : " backward") + (child_ ? " over " + child_->name_ : ""));
}

Track::Track(TrackLog log, const Seed& from, int direction, const MaskStore& store, const std::string& storeName,
             const cv::Mat& storeOnFrom)
    : log_(log), from_(from), store_(&store) {
  start(storeOnFrom);
  name_ = memo_name(from.name + (direction > 0 ? " forward" : " backward") + " over " + storeName);
}

const cv::Mat* Track::next(const DecodedFrame& frame, const DecodedFrame* following) {
  const int i = frame.index;
  read_ = nullptr;
  if (lost_) return nullptr;
  cv::Mat reference;
  if (child_ && !lastReference_.empty()) {
    if (const cv::Mat* m = child_->next(frame, following)) reference = *m;
  } else if (store_ && !lastReference_.empty()) {
    reference = store_->get(i);
  }
  // Without the reference's mask here, or differing from it so widely
  // that tracking the whole frame costs less than windows and the
  // reference, it goes on alone: decided alike whether the frame is
  // recalled or tracked, so that a track resumed from the memo goes on
  // as it would have.
  if (reference.empty() || (!rejoined_ && !window().worthwhile(lastMask_, lastReference_))) lastReference_.release();
  const cv::Size size = frame.pictures.work.size();
  cv::Mat kept;
  const Memo::Step step = recalling_ ? log_.memo.step(name_, i, size, kept) : Memo::Step::kNone;
  if (step != Memo::Step::kNone) {
    ++log_.summary.recalledFrames;
    if (step == Memo::Step::kLost) {
      lose(i);
      return nullptr;
    }
    lastMask_ = kept;
    trackerOn_ = false;
  } else {
    recalling_ = false;
    Stopwatch watch;
    cv::Mat mask;
    if (!lastReference_.empty()) {
      mask = rejoined_ ? reference : window().step(last_.pictures.work, lastMask_, frame.pictures.work, reference);
      trackerOn_ = false;
    } else {
      if (!tracker_) tracker_.emplace(size, from_.appearance);
      if (!trackerOn_) tracker_->reset(last_.pictures.work, lastMask_);
      trackerOn_ = true;
      mask = tracker_->step(frame.pictures.work, following ? &following->pictures.work : nullptr);
      read_ = &tracker_->read();
    }
    const bool lost = from_.check.lost(mask, trackerOn_ ? &tracker_->appearance() : nullptr);
    log_.summary.seconds.track += watch.lap();
    log_.memo.put_step(name_, i, lost ? nullptr : &mask);
    if (lost) {
      lose(i);
      return nullptr;
    }
    lastMask_ = mask.clone();
  }
  last_.frame = i;
  last_.pictures = frame.pictures;
  last_.signature = frame.signature;
  if (!lastReference_.empty()) {
    agreed_ = agrees(lastMask_, reference, mended_) ? agreed_ + 1 : 0;
    rejoined_ = rejoined_ || agreed_ >= kAgreedFrames;
    lastReference_ = reference.clone();
  }
  return &lastMask_;
}

Seed Track::here() const {
  Seed seed = from_;
  seed.frame = last_.frame;
  seed.pictures = last_.pictures;
  seed.signature = last_.signature;
  seed.mask = lastMask_;
  seed.corrects = child_ && !lastReference_.empty() ? std::make_shared<const Seed>(child_->here()) : nullptr;
  return seed;
}

void Track::lose(int i) {
  log_.lostAt.push_back(i);
  lost_ = true;
  lastReference_.release();  // nothing more to follow: the reference is no longer tracked
}

void Track::start(const cv::Mat& referenceOnFrom) {
  if (referenceOnFrom.empty()) return;
  lastReference_ = referenceOnFrom;
  mended_ = cv::countNonZero(from_.mask != referenceOnFrom);
}

WindowTracker& Track::window() {
  if (!window_) window_.emplace(last_.pictures.work.size(), from_.appearance);
  return *window_;
}

}  // namespace matting
