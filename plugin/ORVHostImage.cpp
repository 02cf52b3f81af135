#include "ORVHostImage.h"

#include <cstring>

HostImage readHostImage(OfxPropertySetHandle image) {
  HostImage h;
  void* data = nullptr;
  gProp->propGetPointer(image, kOfxImagePropData, 0, &data);
  h.data = static_cast<unsigned char*>(data);
  gProp->propGetInt(image, kOfxImagePropRowBytes, 0, &h.rowBytes);
  int b[4] = {0, 0, 0, 0};
  gProp->propGetIntN(image, kOfxImagePropBounds, 4, b);
  h.bounds = OfxRectI{b[0], b[1], b[2], b[3]};
  char* depth = nullptr;
  gProp->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &depth);
  h.isFloat = depth && std::strcmp(depth, kOfxBitDepthFloat) == 0;
  return h;
}
