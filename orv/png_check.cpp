#include "orv/png_check.h"

#include <zlib.h>

#include <cstring>

#include "orv/image.h"

namespace orv {
namespace {

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// Walks the chunks: true once IEND is reached with every chunk before it whole.
bool chunksAreWhole(const std::vector<std::uint8_t>& file) {
  std::size_t at = sizeof kSignature;
  for (bool first = true;; first = false) {
    if (file.size() - at < 12) return false;  // length, type and CRC at least
    const std::uint32_t length = bigEndian32(&file[at]);
    if (length > file.size() - at - 12) return false;
    const std::uint8_t* type = &file[at + 4];
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), type, 4 + length);
    if (crc != bigEndian32(type + 4 + length)) return false;
    if (first && std::memcmp(type, "IHDR", 4) != 0) return false;
    if (std::memcmp(type, "IEND", 4) == 0) return true;
    at += 12 + std::size_t(length);
  }
}

}  // namespace

bool is_usable_png(const std::vector<std::uint8_t>& file) {
  if (file.size() < sizeof kSignature || std::memcmp(file.data(), kSignature, sizeof kSignature) != 0) return false;
  if (!chunksAreWhole(file)) return false;
  int width = 0, height = 0;
  return !load_gray_from_memory(file, &width, &height).empty();
}

}  // namespace orv
