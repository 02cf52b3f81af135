#include "preview_video.h"

PreviewVideo::PreviewVideo(const std::string& path, double fps, cv::Size size) {
  // H.264 plays everywhere; MPEG-4 part 2 where FFmpeg was built without it.
  for (const char* codec : {"avc1", "mp4v"}) {
    if (writer_.open(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc(codec[0], codec[1], codec[2], codec[3]), fps, size))
      break;
  }
}

bool PreviewVideo::put(int index, const cv::Mat& picture) {
  std::unique_lock<std::mutex> lock(mu_);
  turn_.wait(lock, [&] { return next_ == index || aborted_; });
  if (aborted_) return false;
  if (writer_.isOpened()) writer_.write(picture);
  ++next_;
  turn_.notify_all();
  return true;
}

void PreviewVideo::abort() {
  std::lock_guard<std::mutex> lock(mu_);
  aborted_ = true;
  turn_.notify_all();
}
