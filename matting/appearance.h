#pragma once
// What the character and the background look like. A pixel's look is its
// lightness, its yellow-blue and its local texture: hair and skin lean to
// yellow where warm backgrounds lean to red, and a character in focus has
// texture where a background out of focus has none, so dark hair stands out
// against a dark wall where plain colour cannot tell them apart. The model
// is two smoothed histograms of looks, learnt on the anchor frame.

#include <vector>

#include <opencv2/core.hpp>

namespace matting {

// Which hue axis a look keeps besides lightness and texture.
enum class HueAxis { YellowBlue, RedGreen };

// The look of each pixel of an 8-bit BGR frame as CV_8UC3: lightness,
// the hue axis (yellow-blue unless told), texture.
void look(const cv::Mat& bgr, cv::Mat& out, HueAxis axis = HueAxis::YellowBlue);

class Appearance {
 public:
  // Learns from a frame and its mask (non-zero: character).
  void learn(const cv::Mat& bgr, const cv::Mat& mask);

  // log p(look | character) - log p(look | background) per pixel, as
  // CV_32F clipped to +-kMaxVote.
  void vote(const cv::Mat& bgr, cv::Mat& out);

  // The share of the masked pixels that vote for the character, on the
  // frame last learnt from or voted on.
  double agreement(const cv::Mat& mask) const;

  static constexpr float kMaxVote = 4.f;

 private:
  void bins(const cv::Mat& bgr);

  std::vector<float> vote_;
  cv::Mat look_, bins_;
};

}  // namespace matting
