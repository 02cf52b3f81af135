#pragma once
// What one job computed, kept in a folder for the next job on the same
// frames: the mask of each key segmented afresh, the masks of every track
// and the finished mattes, each under a name made from everything that
// decided it. A job
// with one more correction then segments and tracks only what the
// correction changes, and its mattes are byte for byte those of a job run
// afresh. The caller empties the folder when the frames change.

#include <cstdint>
#include <set>
#include <string>

#include <opencv2/core.hpp>

namespace matting {

// A name for what `text` describes (64-bit FNV-1a, in hex).
std::string memo_name(const std::string& text);

class Memo {
 public:
  // An empty dir keeps and finds nothing.
  explicit Memo(std::string dir);

  // A key's mask of `size`, or an empty Mat when none is kept.
  cv::Mat key(const std::string& name, cv::Size size);
  void put_key(const std::string& name, const cv::Mat& mask);

  enum class Step { kNone, kMask, kLost };
  // What the track `track` found on `frame`: its mask (into `mask`), that
  // it was lost there, or nothing kept.
  Step step(const std::string& track, int frame, cv::Size size, cv::Mat& mask);
  void put_step(const std::string& track, int frame, const cv::Mat* mask);  // nullptr: lost there

  // Where the finished matte made from `mask` with `settings` (everything
  // else that decides it) is kept, whether or not it is there yet; empty
  // without a folder.
  std::string matte(const std::string& settings, const cv::Mat& mask);

  // Removes what this job did not use, so the folder holds one job's work.
  void forget_the_rest();

 private:
  std::string dir_;
  std::set<std::string> used_;
};

}  // namespace matting
