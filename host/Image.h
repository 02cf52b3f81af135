#pragma once
// Pixel memory handed to the plug-in as images: RGBA, 8-bit or 32-bit float,
// rows going up from the bounds' bottom row, with row bytes that may be
// padded or negative (rows stored top-down), as hosts deliver them.

#include <memory>
#include <string>
#include <vector>

#include "ofxCore.h"

namespace ofxhost {

class ImageBuffer {
 public:
  // depth: kOfxBitDepthByte or kOfxBitDepthFloat. rowPadding: extra bytes at
  // the end of each row. topDown: rows stored from the top, so that row
  // bytes are negative.
  static std::shared_ptr<ImageBuffer> allocate(const OfxRectI& bounds, const std::string& depth, int rowPadding = 0,
                                               bool topDown = false);

  const OfxRectI& bounds() const { return bounds_; }
  int width() const { return bounds_.x2 - bounds_.x1; }
  int height() const { return bounds_.y2 - bounds_.y1; }
  const std::string& depth() const { return depth_; }
  bool isFloat() const;
  int bytesPerPixel() const { return isFloat() ? 16 : 4; }
  int rowBytes() const { return rowBytes_; }
  // The address of pixel (bounds.x1, bounds.y1), as kOfxImagePropData gives it.
  void* data() { return data_; }
  // The address of pixel (x, y), in the bounds' pixel coordinates.
  unsigned char* pixel(int x, int y);
  float* pixelFloat(int x, int y) { return reinterpret_cast<float*>(pixel(x, y)); }

 private:
  OfxRectI bounds_{};
  std::string depth_;
  int rowBytes_ = 0;
  std::vector<unsigned char> storage_;
  unsigned char* data_ = nullptr;
};

}  // namespace ofxhost
