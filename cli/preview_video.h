#pragma once
// The character over a checkerboard as an H.264 MP4 file (OpenCV's FFmpeg
// writer), fed frame by frame from several render threads and written in
// the clip's order.

#include <condition_variable>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

class PreviewVideo {
 public:
  PreviewVideo(const std::string& path, double fps, cv::Size size);
  bool isOpened() const { return writer_.isOpened(); }
  // Waits until every frame before `index` (from 0) is in, then writes this
  // one. False once abort() was called.
  bool put(int index, const cv::Mat& picture);
  // Releases every waiting put(): a frame before theirs will never come.
  void abort();
  void close() { writer_.release(); }

 private:
  cv::VideoWriter writer_;
  std::mutex mu_;
  std::condition_variable turn_;
  int next_ = 0;
  bool aborted_ = false;
};
