#include "matting/frames.h"

#include <cstdio>
#include <vector>

#include "contract/files.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace matting {

namespace {

[[noreturn]] void unreadable(const std::string& path, int index) {
  throw Error("could not read frame " + std::to_string(index) + " (" + path + ")");
}

cv::Mat decode(const std::string& path, int index, int flags) {
  cv::Mat frame;
  try {
    frame = cv::imread(path, flags);
  } catch (const cv::Exception&) {
    unreadable(path, index);
  }
  if (frame.empty()) unreadable(path, index);
  return frame;
}

}  // namespace

cv::Mat read_frame(const std::string& path, int index) { return decode(path, index, cv::IMREAD_COLOR); }

TrackingFrame read_for_tracking(const std::string& path, int index, Quality quality) {
  const std::vector<uchar> bytes = contract::read_file<std::vector<uchar>>(path).value_or(std::vector<uchar>());
  if (bytes.empty()) unreadable(path, index);
  TrackingFrame frame;
  try {
    frame.gray = cv::imdecode(bytes, cv::IMREAD_GRAYSCALE);
    if (frame.gray.empty()) unreadable(path, index);
    const cv::Size size = frame.gray.size(), work = working_size(size, quality);
    int flag = cv::IMREAD_COLOR;
    for (const auto& [factor, reduced] : {std::pair{8, cv::IMREAD_REDUCED_COLOR_8}, std::pair{4, cv::IMREAD_REDUCED_COLOR_4},
                                          std::pair{2, cv::IMREAD_REDUCED_COLOR_2}}) {
      if (size.width / factor >= work.width && size.height / factor >= work.height) {
        flag = reduced;
        break;
      }
    }
    frame.work = cv::imdecode(bytes, flag);
    if (frame.work.empty()) unreadable(path, index);
    if (frame.work.size() != work) cv::resize(frame.work, frame.work, work, 0, 0, cv::INTER_AREA);
  } catch (const cv::Exception&) {
    unreadable(path, index);
  }
  return frame;
}

void settle_colour(cv::Mat& bgr) {
  cv::Mat ycc, channels[3];
  cv::cvtColor(bgr, ycc, cv::COLOR_BGR2YCrCb);
  cv::split(ycc, channels);
  for (int k = 1; k < 3; ++k) cv::blur(channels[k], channels[k], cv::Size(3, 3));
  cv::merge(channels, 3, ycc);
  cv::cvtColor(ycc, bgr, cv::COLOR_YCrCb2BGR);
}

cv::Size read_frame_size(const std::string& path, int index) {
  // A grey decode is the cheapest whole decode OpenCV offers.
  return decode(path, index, cv::IMREAD_GRAYSCALE).size();
}

void write_matte(const std::string& path, const cv::Mat& matte, int index) {
  // OpenCV's own defaults, on purpose: naming a compression level also turns
  // on libpng's per-row filter search, which costs three times the encode
  // for a file of the same size (mattes are mostly flat).
  const std::string partial = path + ".partial";
  bool written = false;
  try {
    std::vector<uchar> bytes;
    if (cv::imencode(".png", matte, bytes)) {
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

std::string matte_path(const Job& job, int index) { return job.outputDir + "/" + contract::frame_name(index, ".png"); }

cv::Size fit_within(cv::Size frame, int longSide) {
  const int have = std::max(frame.width, frame.height);
  if (have <= longSide) return frame;
  const double s = double(longSide) / have;
  return {std::max(2, int(frame.width * s + 0.5)), std::max(2, int(frame.height * s + 0.5))};
}

}  // namespace matting
