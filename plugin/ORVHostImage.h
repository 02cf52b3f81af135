#pragma once
// A host image as render and the pull read it, and the one conversion of a
// float channel to a byte that both make.

#include <climits>
#include <cstddef>

#include "ORVPlugin.h"

struct HostImage {
  unsigned char* data = nullptr;
  int rowBytes = 0;  // may be negative: rows top-down in memory
  OfxRectI bounds{0, 0, 0, 0};
  bool isFloat = false;

  // Row y, counted as OpenFX does: from the bounds' bottom up.
  unsigned char* row(int y) const {
    return data + static_cast<std::ptrdiff_t>(rowBytes) * (static_cast<long long>(y) - bounds.y1);
  }
  bool holdsRow(int y) const { return data && y >= bounds.y1 && y < bounds.y2; }
  // 0 for empty bounds, or bounds too wide to count in an int.
  int width() const { return extent(bounds.x1, bounds.x2); }
  int height() const { return extent(bounds.y1, bounds.y2); }

 private:
  static int extent(int from, int to) {
    const long long n = static_cast<long long>(to) - from;
    return n > 0 && n <= INT_MAX ? static_cast<int>(n) : 0;
  }
};

HostImage readHostImage(OfxPropertySetHandle image);

// A float channel as a byte: clamped to [0, 1] (NaN as 0), scaled, rounded.
inline unsigned char toByte(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  return static_cast<unsigned char>(v * 255.0f + 0.5f);
}
