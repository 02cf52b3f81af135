#include "frame_pictures.h"

#include "results_folder.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

using ofxhost::ImageBuffer;

namespace {

constexpr int kSquare = 16;  // checkerboard squares, in pixels

// RGBA as BGRA, top row first, at 8 bits or (float) 16 bits.
cv::Mat topDownBgra(ImageBuffer& image) {
  const int type = image.isFloat() ? CV_32FC4 : CV_8UC4;
  cv::Mat rows(image.height(), image.width(), type, image.data(), static_cast<std::size_t>(image.rowBytes()));
  cv::Mat picture;
  cv::flip(rows, picture, 0);
  cv::cvtColor(picture, picture, cv::COLOR_RGBA2BGRA);
  if (image.isFloat()) picture.convertTo(picture, CV_16UC4, 65535.0);  // saturates outside 0..1
  return picture;
}

cv::Mat asFloat(const cv::Mat& picture) {
  cv::Mat f;
  picture.convertTo(f, CV_32FC4, picture.depth() == CV_16U ? 1.0 / 65535.0 : 1.0 / 255.0);
  return f;
}

}  // namespace

std::string writePng(ImageBuffer& image, const std::string& path) {
  std::vector<unsigned char> png;
  try {
    if (!cv::imencode(".png", topDownBgra(image), png)) return "the picture cannot be encoded as PNG";
  } catch (const cv::Exception& e) {
    return e.err;
  }
  return writeBytes(path, png);  // encoded first: the encoder says nothing on the terminal
}

cv::Mat overCheckerboard(ImageBuffer& image) {
  const cv::Mat f = asFloat(topDownBgra(image));
  cv::Mat out(f.rows, f.cols, CV_8UC3);
  for (int y = 0; y < f.rows; ++y)
    for (int x = 0; x < f.cols; ++x) {
      const cv::Vec4f p = f.at<cv::Vec4f>(y, x);
      const float checker = ((x / kSquare + y / kSquare) % 2) ? 0.8f : 0.55f;
      cv::Vec3b& o = out.at<cv::Vec3b>(y, x);
      for (int c = 0; c < 3; ++c) o[c] = cv::saturate_cast<uchar>(255 * (p[c] + (1 - p[3]) * checker));
    }
  return out;
}

cv::Mat colours(ImageBuffer& image) {
  cv::Mat picture = topDownBgra(image);
  if (picture.depth() == CV_16U) picture.convertTo(picture, CV_8UC4, 1.0 / 257.0);
  cv::cvtColor(picture, picture, cv::COLOR_BGRA2BGR);
  return picture;
}
