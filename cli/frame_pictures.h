#pragma once
// Rendered images (RGBA, rows from the bottom up, 8-bit or float) as
// pictures: PNG files, and the character over a checkerboard.

#include <opencv2/core.hpp>
#include <string>

#include "Image.h"

// Writes an RGBA PNG, top row first: 8-bit from 8-bit images, 16-bit from
// float ones (clamped to 0..1). "" when written, else why not.
std::string writePng(ofxhost::ImageBuffer& image, const std::string& path);

// A premultiplied RGBA image over a grey checkerboard, as 8-bit BGR.
cv::Mat overCheckerboard(ofxhost::ImageBuffer& image);

// The colours of an image as 8-bit BGR, top row first (alpha dropped).
cv::Mat colours(ofxhost::ImageBuffer& image);
