#pragma once
// Where GrabCut's colour models start. Its own start is one k-means from
// one random draw, and the minimum it settles in decides the cut: on a dark
// scene one draw kept the jacket, the next lost it or took the chairs. This
// start is the tightest of several k-means, which lands in the same place
// whatever the draw.

#include <opencv2/core.hpp>

namespace matting {

// Both sides' models in GrabCut's layout, from an 8-bit BGR image and its
// GrabCut labels (definite and probable character against the rest); false
// when a side has too few pixels to cluster (GrabCut's own start then
// serves). Where `open` (CV_8U, the image's size) is set, the probable
// background starts undecided: it is not learnt as background, and where
// the character's model explains it better it is relabelled probable
// character. Learnt as background, hair in the strip past the top of a box
// drawn tight over a head took the hair inside the box with it.
bool grabcut_start(const cv::Mat& bgr, cv::Mat& labels, cv::Mat& backgroundModel, cv::Mat& characterModel,
                   const cv::Mat& open = cv::Mat());

}  // namespace matting
