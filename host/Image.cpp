#include "Image.h"

#include <climits>

#include "HostError.h"
#include "ofxImageEffect.h"

namespace ofxhost {

bool ImageBuffer::isFloat() const { return depth_ == kOfxBitDepthFloat; }

std::shared_ptr<ImageBuffer> ImageBuffer::allocate(const OfxRectI& bounds, const std::string& depth, int rowPadding,
                                                   bool topDown) {
  if (depth != kOfxBitDepthByte && depth != kOfxBitDepthFloat)
    throw HostError("images are 8-bit or float, not " + depth);
  long long w = static_cast<long long>(bounds.x2) - bounds.x1;
  long long h = static_cast<long long>(bounds.y2) - bounds.y1;
  if (w < 0 || h < 0 || rowPadding < 0) throw HostError("image bounds or padding are negative");
  auto image = std::make_shared<ImageBuffer>();
  image->bounds_ = bounds;
  image->depth_ = depth;
  long long row = w * image->bytesPerPixel() + rowPadding;
  if (row > INT_MAX) throw HostError("image rows are too long");
  image->storage_.assign(static_cast<std::size_t>(row * h), 0);
  unsigned char* base = image->storage_.data();
  image->rowBytes_ = static_cast<int>(topDown ? -row : row);
  image->data_ = topDown && h > 0 ? base + (h - 1) * row : base;
  return image;
}

unsigned char* ImageBuffer::pixel(int x, int y) {
  if (x < bounds_.x1 || x >= bounds_.x2 || y < bounds_.y1 || y >= bounds_.y2)
    throw HostError("pixel outside the image bounds");
  return data_ + static_cast<long long>(y - bounds_.y1) * rowBytes_ +
         static_cast<long long>(x - bounds_.x1) * bytesPerPixel();
}

}  // namespace ofxhost
