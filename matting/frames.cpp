#include "matting/frames.h"

#include <cstdio>
#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace matting {

cv::Mat read_frame(const std::string& path, int index) {
  cv::Mat frame;
  try {
    frame = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    frame.release();
  }
  if (frame.empty()) throw Error("could not read frame " + std::to_string(index) + " (" + path + ")");
  return frame;
}

cv::Size read_frame_size(const std::string& path, int index) {
  // A grey decode is the cheapest whole decode OpenCV offers.
  cv::Mat frame;
  try {
    frame = cv::imread(path, cv::IMREAD_GRAYSCALE);
  } catch (const cv::Exception&) {
    frame.release();
  }
  if (frame.empty()) throw Error("could not read frame " + std::to_string(index) + " (" + path + ")");
  return frame.size();
}

void write_matte(const std::string& path, const cv::Mat& matte, int index) {
  // Fast deflate: mattes are mostly flat, so level 1 is nearly as small.
  static const std::vector<int> params{cv::IMWRITE_PNG_COMPRESSION, 1};
  const std::string partial = path + ".partial";
  bool written = false;
  try {
    std::vector<uchar> bytes;
    if (cv::imencode(".png", matte, bytes, params)) {
      if (std::FILE* f = std::fopen(partial.c_str(), "wb")) {
        written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        written = (std::fclose(f) == 0) && written;
      }
    }
  } catch (const cv::Exception&) {
    written = false;
  }
  if (!written || std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    throw Error("could not write matte " + std::to_string(index) + " (" + path + ")");
  }
}

std::string matte_path(const Job& job, int index) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.png", index);
  return job.outputDir + "/" + name;
}

cv::Size fit_within(cv::Size frame, int longSide) {
  const int have = std::max(frame.width, frame.height);
  if (have <= longSide) return frame;
  const double s = double(longSide) / have;
  return {std::max(2, int(frame.width * s + 0.5)), std::max(2, int(frame.height * s + 0.5))};
}

}  // namespace matting
