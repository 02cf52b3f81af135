#pragma once
// Frames of footage on disk for a Source clip: a video file (OpenCV's
// FFmpeg reader), a folder of numbered images, or a printf pattern of them
// ("shot/frame.%04d.png"). Frames are decoded on demand, one at a time, so
// memory does not grow with the clip's length; a frame stays shared while
// someone holds it, and is decoded again once nobody does.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "Image.h"

namespace ofxhost {

class VideoSource {
 public:
  // Opens the clip and decodes its first frame; throws HostError saying
  // what is wrong when it cannot. depth: kOfxBitDepthByte or kOfxBitDepthFloat.
  VideoSource(const std::string& path, const std::string& depth);

  int width() const { return width_; }
  int height() const { return height_; }
  // Frames per second of a video file; 24 for images, which carry none.
  double frameRate() const { return fps_; }
  // The clip's frame numbers: from 0 for a video file, as named for images.
  int firstFrame() const { return first_; }
  int lastFrame() const { return last_; }

  // Frame `number` as the Source clip delivers it: RGBA at the clip's
  // depth, rows from the bottom up. Null when it cannot be read.
  std::shared_ptr<ImageBuffer> frame(int number);
  // How many frames were decoded so far.
  long decoded() const { return decoded_; }

 private:
  cv::Mat decode(int number);  // BGR or BGRA, 8 or 16 bits; empty when unreadable

  std::string depth_;
  int width_ = 0, height_ = 0;
  double fps_ = 24;
  int first_ = 0, last_ = 0;
  std::map<int, std::string> images_;  // frame number to file; empty for a video
  std::mutex mu_;
  cv::VideoCapture video_;
  int next_ = 0;  // the video frame the reader is at
  std::map<int, std::weak_ptr<ImageBuffer>> shared_;
  std::atomic<long> decoded_{0};
};

}  // namespace ofxhost
