#pragma once
// Working-size masks of one stretch of frames kept on disk until the track
// from the other end of the stretch comes back for them: memory stays flat
// however long the stretch.

#include <opencv2/core.hpp>
#include <string>

namespace matting {

class MaskStore {
 public:
  // In a fresh folder inside `parent`, removed with the store.
  explicit MaskStore(const std::string& parent);
  ~MaskStore();
  MaskStore(const MaskStore&) = delete;
  MaskStore& operator=(const MaskStore&) = delete;

  void put(int index, const cv::Mat& mask);
  // The mask put for `index`, or an empty Mat when none was.
  cv::Mat get(int index) const;

 private:
  std::string path(int index) const;
  std::string dir_;
};

// The mask between two masks of the same size: their signed distances to
// their edges mixed, `weightA` of a's, so that the edge moves smoothly from
// one to the other across the frames between.
cv::Mat blend_masks(const cv::Mat& a, const cv::Mat& b, double weightA);

}  // namespace matting
