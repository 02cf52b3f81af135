#pragma once
// The two threads beside the tracker: one decodes the next frames ahead of
// it, one turns tracked masks into full-size mattes and writes them. Each
// holds at most two frames, so memory does not grow with the clip.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "matting/bounded_queue.h"
#include "matting/engine.h"
#include "matting/frames.h"
#include "matting/soft_edge.h"

namespace matting {

struct DecodedFrame {
  int index = 0;
  TrackingFrame pictures;
  cv::Mat signature;  // for cut detection
  std::string error;  // set instead of the pictures when it could not be read
};

// Decodes the frames of `order` one after another on its own thread.
class FrameReader {
 public:
  FrameReader(const Job& job, Quality quality, std::vector<int> order);
  ~FrameReader();
  // The next frame in order; nothing after the last.
  std::optional<DecodedFrame> next() { return queue_.pop(); }
  // Seconds spent so far decoding and finding cuts.
  double decodeSeconds() const { return decodeSeconds_; }
  double cutSeconds() const { return cutSeconds_; }

 private:
  BoundedQueue<DecodedFrame> queue_{2};
  std::atomic<double> decodeSeconds_{0}, cutSeconds_{0};
  std::thread thread_;
};

// Writes mattes on its own thread: soft edges for tracked frames, empty
// ones for frames without the character. A failed write is reported by the
// next call, or by finish(). A tracked frame's matte given a place in the
// memo is copied from there when an earlier job kept it, and kept there
// when it is made. `read` is BandAlpha's read of the mask on this frame,
// when the caller has it; empty, the writer makes it.
class MatteWriter {
 public:
  MatteWriter(const Job& job);
  ~MatteWriter();
  void tracked(int index, cv::Mat mask, TrackingFrame pictures, std::string kept = {}, EdgeRead read = {});
  void empty(int index, cv::Size size);
  // Waits for every matte; throws the first write error.
  void finish();
  double alphaSeconds() const { return alpha_; }
  double encodeSeconds() const { return encode_; }

 private:
  struct Item {
    int index;
    cv::Mat mask;  // empty for an empty matte
    TrackingFrame pictures;
    cv::Size size;
    std::string kept;  // the matte's place in the memo, or empty
    EdgeRead read;
  };
  void rethrow();

  const Job& job_;
  SoftEdge edge_;
  BoundedQueue<Item> queue_{2};
  std::mutex errorMutex_;
  std::string error_;
  double alpha_ = 0, encode_ = 0;
  std::thread thread_;
};

}  // namespace matting
