#include "backend/jpeg.h"

#include <opencv2/imgcodecs.hpp>

namespace backend {

namespace {

int be16(const std::string& b, std::size_t at) {
  return (static_cast<unsigned char>(b[at]) << 8) | static_cast<unsigned char>(b[at + 1]);
}

bool is_frame_header(unsigned char marker) {
  // SOF0 to SOF15, less DHT (C4), JPG (C8) and DAC (CC).
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

}  // namespace

std::optional<ImageSize> jpeg_size(const std::string& b) {
  if (b.size() < 4 || be16(b, 0) != 0xFFD8) return std::nullopt;
  std::size_t at = 2;
  while (at + 4 <= b.size()) {
    if (static_cast<unsigned char>(b[at]) != 0xFF) return std::nullopt;
    const unsigned char marker = static_cast<unsigned char>(b[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const std::size_t length = be16(b, at + 2);
    if (length < 2) return std::nullopt;
    if (is_frame_header(marker)) {
      if (at + 9 > b.size()) return std::nullopt;
      return ImageSize{be16(b, at + 7), be16(b, at + 5)};
    }
    if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // image data or end before any frame header
    at += 2 + length;
  }
  return std::nullopt;
}

bool jpeg_decodes(const std::string& bytes, ImageSize size) {
  // Decoders pad a cut-off image with grey instead of failing: the end
  // marker shows that nothing was cut off.
  const std::size_t end = bytes.rfind("\xFF\xD9");
  if (end == std::string::npos || bytes.size() - end > 64) return false;
  // An eighth of the size still reads every coefficient, at a fraction of the cost.
  const cv::Mat data(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data()));
  cv::Mat image;
  try {
    image = cv::imdecode(data, cv::IMREAD_REDUCED_GRAYSCALE_8);
  } catch (const cv::Exception&) {
    return false;
  }
  return !image.empty() && image.cols == (size.width + 7) / 8 && image.rows == (size.height + 7) / 8;
}

}  // namespace backend
