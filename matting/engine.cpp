#include "matting/engine.h"

#include <cmath>
#include <filesystem>

#include <opencv2/imgproc.hpp>

#include "matting/anchor.h"
#include "matting/edge_refiner.h"
#include "matting/appearance.h"
#include "matting/frames.h"
#include "matting/pipeline.h"
#include "matting/shots.h"
#include "matting/stopwatch.h"
#include "matting/tracker.h"

namespace matting {

namespace {

constexpr int kSmallestSide = 16;

void check_job(const Job& job) {
  const int n = int(job.frames.size());
  if (n == 0) throw Error("the clip has no frames");
  if (job.anchor < 0 || job.anchor >= n)
    throw Error("the anchor frame " + std::to_string(job.anchor) + " is outside the clip's " + std::to_string(n) +
                " frames");
  if (!(job.edgeSoftness >= 0 && job.edgeSoftness <= 1)) throw Error("the edge softness must lie between 0 and 1");
  check_selection(job.selection);
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

// Where the track went wrong: the mask's colours no longer look like the
// character's, or its area left any plausible range around the anchor's.
struct TrackCheck {
  double area = 0, agreement = 0;
  // On the frame the appearance last voted on.
  bool lost(const cv::Mat& mask, const Appearance& appearance) const {
    const double a = cv::countNonZero(mask);
    if (a < 0.02 * area || a > 4 * area) return true;
    return appearance.agreement(mask) < 0.5 * agreement;
  }
};

class Run {
 public:
  Run(const Job& job, const ProgressFn& progress, const CancelFn& cancelled)
      : job_(job), progress_(progress), cancelled_(cancelled), writer_(job) {}

  Summary go() {
    const int n = int(job_.frames.size());
    summary_.shotFirst = 0;
    summary_.shotLast = n - 1;
    anchor();
    track(+1);
    track(-1);
    leave_other_shots_empty();
    writer_.finish();
    summary_.seconds.alpha = writer_.alphaSeconds();
    summary_.seconds.encode = writer_.encodeSeconds();
    summary_.frames = n;
    summary_.note = note();
    return summary_;
  }

 private:
  void report(const std::string& stage, int frame, int frames) {
    if (progress_) progress_({stage, frame, frames});
  }
  void check_cancelled() {
    if (cancelled_ && cancelled_()) throw Cancelled();
  }

  void anchor() {
    const int a = job_.anchor;
    const std::string stage = "finding the character on frame " + std::to_string(a);
    report(stage, 0, 1);
    Stopwatch watch;
    anchor_ = read_for_tracking(job_.frames[a], a, job_.quality);
    // Optical flow needs a few patches across the picture.
    if (std::min(anchor_.gray.cols, anchor_.gray.rows) < kSmallestSide)
      throw Error("frame " + std::to_string(a) + " is " + std::to_string(anchor_.gray.cols) + " x " +
                  std::to_string(anchor_.gray.rows) + " pixels: frames smaller than " + std::to_string(kSmallestSide) +
                  " pixels on a side cannot be matted");
    const cv::Size work = anchor_.work.size(), segmented = anchor_size(anchor_.gray.size());
    cv::Mat picture = anchor_.work;
    if (segmented != work) cv::resize(read_frame(job_.frames[a], a), picture, segmented, 0, 0, cv::INTER_AREA);
    summary_.seconds.decode += watch.lap();

    // The anchor is segmented at its own size whatever the quality, then
    // brought to working size, its edge re-decided there when enlarged.
    anchorMask_ = segment_anchor(picture, job_.selection);
    if (segmented != work) {
      cv::resize(anchorMask_, anchorMask_, work, 0, 0, cv::INTER_LINEAR);
      cv::threshold(anchorMask_, anchorMask_, 127, 255, cv::THRESH_BINARY);
    }
    appearance_.learn(anchor_.work, anchorMask_);
    if (segmented.width < work.width) {
      const cv::Mat enlarged = anchorMask_.clone();
      EdgeRefiner(Tracker::band(work)).refine(anchor_.work, enlarged, cv::Mat(), appearance_, anchorMask_);
      appearance_.learn(anchor_.work, anchorMask_);
    }
    check_.area = cv::countNonZero(anchorMask_);
    check_.agreement = appearance_.agreement(anchorMask_);
    summary_.seconds.anchor += watch.lap();
    writer_.tracked(a, anchorMask_, anchor_);
    report(stage, 1, 1);
  }

  // From the anchor to the end of its shot in one direction.
  void track(int direction) {
    const int n = int(job_.frames.size());
    std::vector<int> order;
    for (int i = job_.anchor + direction; i >= 0 && i < n; i += direction) order.push_back(i);
    if (order.empty()) return;
    const std::string stage = direction > 0 ? "tracking forward " : "tracking backward ";
    Tracker tracker(anchor_.work.size(), appearance_);
    tracker.reset(anchor_.work, anchorMask_);
    cv::Mat previous = shot_signature(anchor_.work);
    int lostAt = -1, done = 0;
    FrameReader reader(job_, job_.quality, order);
    while (auto frame = reader.next()) {
      check_cancelled();
      if (!frame->error.empty()) throw Error(frame->error);
      const int i = frame->index;
      if (frame->pictures.gray.size() != anchor_.gray.size() || is_cut(previous, frame->signature)) {
        // The anchor's shot ends here.
        if (direction > 0) summary_.shotLast = i - 1;
        else summary_.shotFirst = i + 1;
        summary_.cuts.push_back(direction > 0 ? i : i + 1);
        break;
      }
      previous = frame->signature;
      if (lostAt < 0) {
        Stopwatch watch;
        const cv::Mat& mask = tracker.step(frame->pictures.work);
        if (check_.lost(mask, appearance_)) {
          lostAt = i;
        } else {
          writer_.tracked(i, mask.clone(), frame->pictures);
        }
        summary_.seconds.track += watch.lap();
      }
      if (lostAt >= 0) {
        writer_.empty(i, frame->pictures.gray.size());
        ++summary_.lostFrames;
        ++summary_.emptyFrames;
      }
      ++done;
      report(stage + std::to_string(done) + "/" + std::to_string(order.size()), done, int(order.size()));
    }
    summary_.seconds.decode += reader.decodeSeconds();
    summary_.seconds.cuts += reader.cutSeconds();
    if (lostAt >= 0) (direction > 0 ? lostForward_ : lostBackward_) = lostAt;
  }

  void leave_other_shots_empty() {
    const int n = int(job_.frames.size());
    const int others = n - (summary_.shotLast - summary_.shotFirst + 1);
    int done = 0;
    for (int i = 0; i < n; ++i) {
      if (i >= summary_.shotFirst && i <= summary_.shotLast) continue;
      check_cancelled();
      Stopwatch watch;
      const cv::Size size = read_frame_size(job_.frames[i], i);
      summary_.seconds.decode += watch.lap();
      writer_.empty(i, size);
      ++summary_.emptyFrames;
      ++done;
      report("leaving other shots empty " + std::to_string(done) + "/" + std::to_string(others), done, others);
    }
    std::sort(summary_.cuts.begin(), summary_.cuts.end());
  }

  std::string note() const {
    std::vector<std::string> parts;
    const int n = int(job_.frames.size());
    const int before = summary_.shotFirst, after = n - 1 - summary_.shotLast;
    if (before + after > 0) {
      std::string others = frame_range(0, summary_.shotFirst - 1);
      if (after > 0) others += (others.empty() ? "" : ", ") + frame_range(summary_.shotLast + 1, n - 1);
      parts.push_back(before + after == 1 ? "frame " + others + " is in another shot and was left empty"
                                          : "frames " + others + " are in other shots and were left empty");
    }
    auto lost = [&](int at, int first, int last) {
      const std::string range = frame_range(first, last);
      parts.push_back("the character was lost at frame " + std::to_string(at) + " (its look no longer matches the anchor's): " +
                      (first == last ? "frame " + range + " was" : "frames " + range + " were") + " left empty");
    };
    if (lostForward_ >= 0) lost(lostForward_, lostForward_, summary_.shotLast);
    if (lostBackward_ >= 0) lost(lostBackward_, summary_.shotFirst, lostBackward_);
    if (parts.empty()) return "every frame is in the anchor's shot and was matted";
    std::string text = parts[0];
    for (size_t k = 1; k < parts.size(); ++k) text += "; " + parts[k];
    return text;
  }

  const Job& job_;
  const ProgressFn& progress_;
  const CancelFn& cancelled_;
  MatteWriter writer_;
  Summary summary_;
  TrackingFrame anchor_;
  cv::Mat anchorMask_;
  Appearance appearance_;
  TrackCheck check_;
  int lostForward_ = -1, lostBackward_ = -1;
};

}  // namespace

Summary run(const Job& job, const ProgressFn& progress, const CancelFn& cancelled) {
  check_job(job);
  try {
    return Run(job, progress, cancelled).go();
  } catch (const cv::Exception& e) {
    // A picture OpenCV cannot work on: the job fails with its reason rather
    // than with an exception the caller does not expect.
    throw Error(std::string("the matting failed: ") + e.err);
  }
}

}  // namespace matting
