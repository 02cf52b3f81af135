#pragma once
// The process-wide cache of decoded mattes, shared by every instance and
// every render thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A decoded matte: one grey byte per pixel, rows from the top down. The
// pixels are shared and never change, so a render can go on using them
// after the cache has let the entry go.
struct Matte {
  std::shared_ptr<const std::vector<std::uint8_t>> pixels;
  int width = 0;
  int height = 0;
};

// The matte stored at path, from the cache or decoded (and cached) on a
// miss; false when the file is missing or cannot be decoded, in which case
// nothing is cached and a file written later is found by a later call.
bool getMatte(const std::string& path, Matte* matte);
