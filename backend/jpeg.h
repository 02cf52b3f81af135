#pragma once
// What an uploaded frame holds, checked before it is stored: its size read
// from the JPEG header, and whether the whole image decodes.

#include <optional>
#include <string>

namespace backend {

struct ImageSize {
  int width = 0, height = 0;
  bool operator==(const ImageSize& o) const { return width == o.width && height == o.height; }
};

// The size in the first frame header of a JPEG; nothing when the bytes do
// not start as a JPEG or end before such a header.
std::optional<ImageSize> jpeg_size(const std::string& bytes);

// True when the image decodes from its first to its last byte, end marker
// included, to the size its header gives. Refusal 413 or 415, with the
// reason, for a JPEG whose decoding would cost far more than its bytes
// justify: more pixels than any real frame packs into its size, more than
// 64 scans, or a progressive image over 64 MiB of coefficients.
bool jpeg_decodes(const std::string& bytes, ImageSize size);

}  // namespace backend
