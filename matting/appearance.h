#pragma once
// What the character and the background look like. A pixel's look is its
// lightness, its yellow-blue and its local texture: hair and skin lean to
// yellow where warm backgrounds lean to red, and a character in focus has
// texture where a background out of focus has none, so dark hair stands out
// against a dark wall where plain colour cannot tell them apart. Its colour
// is lightness and both hue axes, finer, with coarser texture: a brown
// jacket and a red chair behind it are alike in looks but not in colour.
// Each reading is a pair of histograms (character, background) learnt on
// the anchor frame; a pixel's vote is the mean of the two readings' votes,
// so it is strong where they agree, and where they do not, whatever weighs
// it against (the shape of the mask carried from the last frame) decides.

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
  Appearance() = default;
  // A copy has buffers of its own (cv::Mat's copy shares them), so that
  // two copies may vote at once.
  Appearance(const Appearance& other);
  Appearance& operator=(const Appearance& other);
  Appearance(Appearance&&) = default;
  Appearance& operator=(Appearance&&) = default;

  // Learns from a frame and its mask (non-zero: character).
  void learn(const cv::Mat& bgr, const cv::Mat& mask);
  // Learns again from the frame last learnt from or voted on, with a new
  // mask: its looks are read once.
  void learn(const cv::Mat& mask);

  // The mean over both readings of log p(. | character) - log p(. |
  // background) per pixel, as CV_32F within +-kMaxVote.
  void vote(const cv::Mat& bgr, cv::Mat& out);

  // The share of the masked pixels that vote for the character, on the
  // frame last learnt from or voted on.
  double agreement(const cv::Mat& mask) const;

  static constexpr float kMaxVote = 4.f;

 private:
  void bins(const cv::Mat& bgr);

  std::vector<float> lookVotes_, colourVotes_;
  // Buffers reused from frame to frame.
  cv::Mat lab_, gray_, energy_, texture_, lookBins_, colourBins_;
};

}  // namespace matting
