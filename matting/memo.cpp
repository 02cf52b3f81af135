#include "matting/memo.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "contract/files.h"

namespace fs = std::filesystem;

namespace matting {

namespace {

// Whole or not at all: a job stopped mid-write leaves nothing half-kept.
// The memo only saves time, so a mask that cannot be kept is not an error.
void keep(const fs::path& path, const cv::Mat* mask) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  const fs::path part = path.string() + ".part";
  std::vector<unsigned char> png;
  try {
    // OpenCV's defaults are its fastest encode (see write_matte).
    if (mask && !cv::imencode(".png", *mask, png)) return;
  } catch (const cv::Exception&) {
    return;
  }
  std::ofstream out(part, std::ios::binary);
  out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  out.close();
  const bool written = bool(out);
  if (written) fs::rename(part, path, ec);
  if (!written || ec) fs::remove(part, ec);
}

cv::Mat kept_mask(const fs::path& path, cv::Size size) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return {};
  cv::Mat mask = cv::imread(path.string(), cv::IMREAD_GRAYSCALE);
  return mask.size() == size ? mask : cv::Mat();
}

constexpr std::uint64_t kFnvStart = 14695981039346656037ull;
std::uint64_t fnv(std::uint64_t h, const unsigned char* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) h = (h ^ bytes[i]) * 1099511628211ull;
  return h;
}
std::string hex_of(std::uint64_t h) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return hex;
}

}  // namespace

std::string memo_name(const std::string& text) {
  return hex_of(fnv(kFnvStart, reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

Memo::Memo(std::string dir) : dir_(std::move(dir)) {}

cv::Mat Memo::key(const std::string& name, cv::Size size) {
  if (dir_.empty()) return {};
  used_.insert("key-" + name + ".png");
  return kept_mask(fs::path(dir_) / ("key-" + name + ".png"), size);
}

void Memo::put_key(const std::string& name, const cv::Mat& mask) {
  if (dir_.empty()) return;
  used_.insert("key-" + name + ".png");
  keep(fs::path(dir_) / ("key-" + name + ".png"), &mask);
}

Memo::Step Memo::step(const std::string& track, int frame, cv::Size size, cv::Mat& mask) {
  if (dir_.empty()) return Step::kNone;
  used_.insert("track-" + track);
  const fs::path folder = fs::path(dir_) / ("track-" + track);
  std::error_code ec;
  if (fs::exists(folder / (contract::frame_name(frame, ".lost")), ec)) return Step::kLost;
  mask = kept_mask(folder / (contract::frame_name(frame, ".png")), size);
  return mask.empty() ? Step::kNone : Step::kMask;
}

void Memo::put_step(const std::string& track, int frame, const cv::Mat* mask) {
  if (dir_.empty()) return;
  used_.insert("track-" + track);
  keep(fs::path(dir_) / ("track-" + track) / (contract::frame_name(frame, mask ? ".png" : ".lost")), mask);
}

std::string Memo::matte(const std::string& settings, const cv::Mat& mask) {
  if (dir_.empty()) return {};
  std::uint64_t h = fnv(kFnvStart, reinterpret_cast<const unsigned char*>(settings.data()), settings.size());
  for (int y = 0; y < mask.rows; ++y) h = fnv(h, mask.ptr<unsigned char>(y), mask.cols * mask.elemSize());
  const std::string name = hex_of(h);
  used_.insert("matte-" + name + ".png");
  return (fs::path(dir_) / ("matte-" + name + ".png")).string();
}

void Memo::forget_the_rest() {
  if (dir_.empty()) return;
  std::error_code ec;
  std::vector<fs::path> unused;
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec))
    if (!used_.count(it->path().filename().string())) unused.push_back(it->path());
  for (const fs::path& path : unused) fs::remove_all(path, ec);
}

}  // namespace matting
