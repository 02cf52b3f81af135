#pragma once
// Reading the clip's frames and writing mattes, with the messages a user
// sees when a file is at fault.

#include <string>

#include <opencv2/core.hpp>

#include "matting/engine.h"

namespace matting {

// The frame as 8-bit BGR; Error "could not read frame i (path)" otherwise.
cv::Mat read_frame(const std::string& path, int index);

// A frame as the tracking needs it: its grey at full size (the guide of the
// soft edges) and its colours at working size, each decoded directly at its
// size (JPEG decodes at a half, a quarter or an eighth for little cost).
struct TrackingFrame {
  cv::Mat gray;  // 8-bit, full size
  cv::Mat work;  // 8-bit BGR, working size
};
TrackingFrame read_for_tracking(const std::string& path, int index, Quality quality);

// A key's picture where it is segmented at the frame's own size: the colour,
// not the lightness, smoothed over 3 x 3 pixels. Frames are staged as JPEG
// with the colour at full resolution, whose blocks' noise in the colour
// channels is as fine as the picture's own detail, and the anchor took in a
// dark wall speckled toward the jacket beside it. A picture shrunk to its
// size has been averaged so already. The tracking reads the colour as it
// is: a strand of hair a few pixels wide needs all of it.
void settle_colour(cv::Mat& bgr);

// Only the frame's size, for mattes of frames that are not tracked.
cv::Size read_frame_size(const std::string& path, int index);

// An 8-bit grey PNG; Error "could not write matte i (path)" otherwise. The
// file appears whole or not at all.
void write_matte(const std::string& path, const cv::Mat& matte, int index);

// Where matte i of a job goes.
std::string matte_path(const Job& job, int index);

// The frame's size with its long side at most longSide, never enlarged.
cv::Size fit_within(cv::Size frame, int longSide);

// The size the tracking works at: the long side at most 480 ("fast") or
// 960 ("fine").
inline cv::Size working_size(cv::Size frame, Quality quality) {
  return fit_within(frame, quality == Quality::Fast ? 480 : 960);
}

// The size the anchor is segmented at: GrabCut costs too much above it and
// loses hair below it.
inline cv::Size anchor_size(cv::Size frame) { return fit_within(frame, 720); }

}  // namespace matting
