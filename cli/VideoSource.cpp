#include "VideoSource.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>

#include "HostError.h"
#include "ofxImageEffect.h"

namespace ofxhost {

namespace fs = std::filesystem;

namespace {

// Forward jumps shorter than this are read through rather than sought: a
// seek lands on a key frame and decodes from there anyway.
constexpr int kReadThrough = 48;

bool isImageFile(const fs::path& path) {
  static const std::set<std::string> kinds = {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp", ".webp", ".exr"};
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return kinds.count(ext) > 0;
}

bool allDigits(const std::string& text) {
  return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

// A folder's images by the last run of digits in their names.
std::map<int, std::string> numberedImages(const fs::path& folder) {
  std::map<int, std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (!entry.is_regular_file() || !isImageFile(entry.path())) continue;
    const std::string stem = entry.path().stem().string();
    const std::size_t end = stem.find_last_of("0123456789");
    if (end == std::string::npos) continue;
    const std::size_t begin = stem.find_last_not_of("0123456789", end) + 1;  // npos + 1 is 0
    const std::string digits = stem.substr(begin, end + 1 - begin);
    if (!allDigits(digits)) continue;
    if (!found.emplace(std::stoi(digits), entry.path().string()).second)
      throw HostError("two images in " + folder.string() + " are numbered " + digits);
  }
  return found;
}

// The images a printf pattern such as "shot/frame.%04d.png" names.
std::map<int, std::string> patternImages(const std::string& pattern) {
  const fs::path path(pattern);
  const std::string name = path.filename().string();
  const std::size_t percent = name.find('%'), d = name.find('d', percent);
  if (percent == std::string::npos || d == std::string::npos ||
      name.substr(percent + 1, d - percent - 1).find_first_not_of("0123456789") != std::string::npos)
    throw HostError("the pattern " + pattern + " must name its frame number with %d or %0Nd");
  const std::string prefix = name.substr(0, percent), suffix = name.substr(d + 1);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::map<int, std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string file = entry.path().filename().string();
    if (file.size() <= prefix.size() + suffix.size() || file.compare(0, prefix.size(), prefix) != 0 ||
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    const std::string digits = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
    if (allDigits(digits)) found.emplace(std::stoi(digits), entry.path().string());
  }
  return found;
}

}  // namespace

VideoSource::VideoSource(const std::string& path, const std::string& depth) : depth_(depth) {
  std::error_code ec;
  if (path.find('%') != std::string::npos) {
    images_ = patternImages(path);
  } else if (fs::is_directory(path, ec)) {
    images_ = numberedImages(path);
  } else if (!fs::exists(path, ec)) {
    throw HostError("no such file or folder: " + path);
  }
  if (images_.empty() && (path.find('%') != std::string::npos || fs::is_directory(path, ec)))
    throw HostError("no numbered images in " + path);

  cv::Mat first;
  if (!images_.empty()) {
    first_ = images_.begin()->first;
    last_ = images_.rbegin()->first;
    first = decode(first_);
  } else {
    video_.open(path, cv::CAP_FFMPEG);
    const double count = video_.isOpened() ? video_.get(cv::CAP_PROP_FRAME_COUNT) : 0;
    if (video_.isOpened()) first = decode(0);
    if (first.empty() || !(count >= 1))
      throw HostError("cannot decode " + path + ": not a video file that FFmpeg reads (or it holds no frames)");
    last_ = static_cast<int>(count) - 1;
    const double fps = video_.get(cv::CAP_PROP_FPS);
    if (fps > 0 && fps < 1000) fps_ = fps;
  }
  if (first.empty()) throw HostError("cannot decode " + images_.begin()->second);
  width_ = first.cols;
  height_ = first.rows;
}

cv::Mat VideoSource::decode(int number) {
  cv::Mat pixels;
  if (!images_.empty()) {
    auto it = images_.find(number);
    if (it != images_.end()) pixels = cv::imread(it->second, cv::IMREAD_UNCHANGED);
  } else if (number >= 0) {
    if (number < next_ || number > next_ + kReadThrough) {
      video_.set(cv::CAP_PROP_POS_FRAMES, number);
      next_ = number;
    }
    for (; next_ < number; ++next_) video_.grab();
    if (video_.read(pixels)) ++next_;
  }
  if (pixels.empty()) return pixels;
  ++decoded_;
  if (pixels.depth() != CV_8U && pixels.depth() != CV_16U) pixels.convertTo(pixels, CV_16U, 65535.0);
  if (pixels.channels() == 1) cv::cvtColor(pixels, pixels, cv::COLOR_GRAY2BGR);
  return pixels;
}

std::shared_ptr<ImageBuffer> VideoSource::frame(int number) {
  std::lock_guard<std::mutex> lock(mu_);
  if (auto it = shared_.find(number); it != shared_.end())
    if (auto image = it->second.lock()) return image;
  cv::Mat pixels = decode(number);
  if (pixels.empty() || pixels.cols != width_ || pixels.rows != height_) return nullptr;

  cv::cvtColor(pixels, pixels, pixels.channels() == 4 ? cv::COLOR_BGRA2RGBA : cv::COLOR_BGR2RGBA);
  const bool isFloat = depth_ == kOfxBitDepthFloat;
  const double full = pixels.depth() == CV_16U ? 65535.0 : 255.0;
  if (isFloat) pixels.convertTo(pixels, CV_32F, 1.0 / full);
  if (!isFloat && pixels.depth() == CV_16U) pixels.convertTo(pixels, CV_8U, 255.0 / full);
  auto image = ImageBuffer::allocate(OfxRectI{0, 0, width_, height_}, depth_);
  const std::size_t row = static_cast<std::size_t>(width_) * image->bytesPerPixel();
  for (int y = 0; y < height_; ++y) std::memcpy(image->pixel(0, height_ - 1 - y), pixels.ptr(y), row);

  for (auto it = shared_.begin(); it != shared_.end();) it = it->second.expired() ? shared_.erase(it) : ++it;
  shared_[number] = image;
  return image;
}

}  // namespace ofxhost
