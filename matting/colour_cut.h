#pragma once
// GrabCut on a frame from seeds: the cut that finds the character on a key
// frame by its colours (or its looks), repeatable, settled, and with the
// background the character encloses let go.

#include <atomic>
#include <opencv2/core.hpp>

namespace matting {

// GrabCut from the seeds (GrabCut's labels, not changed) on a 3-channel
// image within `area` (outside it, only background is possible), at most
// 540 pixels on the long side (kGrabCutSide), untidied; only the parts touching
// `keep` when it is given; `box` (in the image's pixels) when the seeds are
// a box's. Empty when `stop` was set before it was done.
cv::Mat grab_cut(const cv::Mat& image, const cv::Mat& seeds, const cv::Rect& area, const cv::Mat* keep,
                 const cv::Rect* box, const std::atomic<bool>* stop = nullptr);

// GrabCut weighs colour differences as they are, and its edges against the
// mean difference over what it reads: in a dark scene a jacket and the wall
// behind it differ by a few levels while the face and the lamps set that
// mean, so the cut ran through the dark wherever its colour models put it
// and a box drawn a few pixels differently moved it. The colours are lifted
// first by a power curve that puts the mean lightness within `area` at
// mid-grey: never darkening, so footage exposed for its subject is left
// nearly as it is, and never steeper than a power of kLeastPower.
cv::Mat lifted(const cv::Mat& bgr, const cv::Rect& area);

}  // namespace matting
