#pragma once
// PNG files built by hand, chunk by chunk, for the decoder's tests.

#include <cstdint>
#include <vector>

inline void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// Appends a chunk: its length, its type and data, and their CRC.
inline void putChunk(std::vector<std::uint8_t>& png, const char* type, const std::vector<std::uint8_t>& data) {
  putBe32(png, static_cast<std::uint32_t>(data.size()));
  const std::size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = start; i < png.size(); ++i) {
    crc ^= png[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  putBe32(png, ~crc);
}
