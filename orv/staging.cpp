#include "orv/staging.h"

#include <cstdint>
#include <cstdio>
#include <fstream>

#include "contract/files.h"

namespace orv {

std::string frames_digest(const std::string& dir, int count) {
  std::uint64_t hash = 14695981039346656037ull;
  const auto mix = [&hash](unsigned char byte) { hash = (hash ^ byte) * 1099511628211ull; };
  char buffer[1 << 16];
  for (int i = 0; i < count; ++i) {
    std::ifstream in(contract::numbered_file(dir, i, ".jpg"), std::ios::binary);
    if (!in) return "";
    // Each file's length too, so that bytes cannot move between frames.
    std::uint64_t length = 0;
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
      for (std::streamsize k = 0; k < in.gcount(); ++k) mix(static_cast<unsigned char>(buffer[k]));
      length += static_cast<std::uint64_t>(in.gcount());
    }
    if (in.bad()) return "";
    for (int b = 0; b < 8; ++b) mix(static_cast<unsigned char>(length >> (8 * b)));
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace orv
