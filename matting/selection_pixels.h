#pragma once
// Where a selection's box and dabs fall on a frame's pixels. They are
// fractions of the frame: x, and a dab's radius on both axes, of its
// width; y of its height.

#include <opencv2/core.hpp>
#include <vector>

#include "matting/engine.h"

namespace matting {

// The box's pixels inside the frame (empty when it has no area there).
cv::Rect box_pixels(const Box& box, cv::Size size);
bool box_has_area(const Box& box);

// A dab is a disc of radius |r| widths; it counts when some of it is inside
// the frame.
bool dab_in_frame(const Dab& dab, double aspect /* height / width */);
cv::Point dab_centre(const Dab& dab, cv::Size size);
int dab_radius(const Dab& dab, cv::Size size);

// Paints the dabs' discs (adding ones 255, excluding ones 0): whatever
// decides the rest, the strokes themselves stand.
void paint_strokes(const std::vector<Dab>& dabs, cv::Mat& mask);

}  // namespace matting
