#include "matting/mask_store.h"

#include <cstdlib>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "matting/engine.h"

namespace matting {

MaskStore::MaskStore(const std::string& parent) {
  std::string pattern = parent + "/.stretch-XXXXXX";
  if (!mkdtemp(pattern.data())) throw Error("could not make a working folder in " + parent);
  dir_ = pattern;
}

MaskStore::~MaskStore() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string MaskStore::path(int index) const { return dir_ + "/" + std::to_string(index) + ".png"; }

void MaskStore::put(int index, const cv::Mat& mask) {
  bool written = false;
  try {
    // OpenCV's defaults are its fastest encode (see write_matte).
    written = cv::imwrite(path(index), mask);
  } catch (const cv::Exception&) {
  }
  if (!written) throw Error("could not keep the mask of frame " + std::to_string(index) + " in " + dir_);
}

cv::Mat MaskStore::get(int index) const {
  std::error_code ec;
  if (!std::filesystem::exists(path(index), ec)) return {};
  cv::Mat mask = cv::imread(path(index), cv::IMREAD_GRAYSCALE);
  if (mask.empty()) throw Error("could not read back the mask of frame " + std::to_string(index));
  return mask;
}

namespace {
cv::Mat signed_distance(const cv::Mat& mask) {
  cv::Mat inside, outside, hard = mask > 127;
  cv::distanceTransform(hard, inside, cv::DIST_L2, 3);
  cv::distanceTransform(~hard, outside, cv::DIST_L2, 3);
  return inside - outside;
}
}  // namespace

cv::Mat blend_masks(const cv::Mat& a, const cv::Mat& b, double weightA) {
  const cv::Mat mixed = weightA * signed_distance(a) + (1 - weightA) * signed_distance(b);
  return mixed > 0;
}

}  // namespace matting
