#include "orv/selection.h"

#include <algorithm>

namespace orv {

Space make_space(double size_x, double size_y, double offset_x, double offset_y) {
  Space space;
  space.offset_x = offset_x;
  space.offset_y = offset_y;
  if (size_x > 0 && size_y > 0) {
    space.width = size_x;
    space.height = size_y;
  }
  return space;
}

void to_canonical(const Space& s, double x, double y, double* cx, double* cy) {
  *cx = s.offset_x + x * s.width;
  *cy = s.offset_y + (1 - y) * s.height;
}

void to_selection(const Space& s, double cx, double cy, double* x, double* y) {
  // NaN from a host's pen position lands at 0, like every out-of-range value
  // lands on the border.
  auto clamp01 = [](double v) { return v >= 0 ? std::min(v, 1.0) : 0.0; };
  *x = clamp01((cx - s.offset_x) / s.width);
  *y = clamp01(1 - (cy - s.offset_y) / s.height);
}

}  // namespace orv
