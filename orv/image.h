#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Image helpers: JPEG and PNG encoding into memory, base64 and PNG data URLs,
// and loading a PNG as one grey channel. Pixel buffers are 8 bits per
// channel, rows from the top of the picture down. Every function is
// stateless, safe to call from any thread, and never throws on bad image
// input: failures give empty results.

namespace orv {

// Largest width or height, in pixels, that load_gray decodes.
inline constexpr int kMaxImageSide = 16384;

// Largest pixel count that load_gray decodes (16384 x 16384). The grey
// result then stays within 256 MiB, although the decoder's working buffers
// for a 16-bit RGBA file of that size are several times larger.
inline constexpr std::uint64_t kMaxImagePixels = std::uint64_t(1) << 28;

// Largest file that load_gray reads into memory. Far above any real matte;
// it only keeps a runaway file from exhausting memory.
inline constexpr std::size_t kMaxImageFileBytes = std::size_t(1) << 30;

// Standard base64 (RFC 4648) with "=" padding and no line breaks.
std::string base64_encode(const unsigned char* data, size_t len);

// "data:image/png;base64," followed by a 4-channel PNG of the RGBA pixels,
// whose rows start `stride` bytes apart. Only the bare prefix when the
// pixels cannot be encoded (no pixels, a non-positive size, a stride shorter
// than a row).
std::string rgba_to_png_data_url(const unsigned char* rgba, int width, int height, int stride);

// The same for a 1-channel grey PNG of a tightly packed mask of
// width * height bytes; the bare prefix when the mask is shorter than that.
std::string mask_to_png_data_url(const std::vector<uint8_t>& mask, int width, int height);

// The colour channels of tightly packed RGBA pixels as a baseline JPEG file
// with full-resolution colour, of the given quality (clamped to 1..100);
// alpha does not reach the file. Empty when the encoder refuses the input
// (no pixels, zero width or height) or runs out of memory.
std::vector<uint8_t> rgba_to_jpeg(const unsigned char* rgba, int width, int height, int quality);

// The quality "Pull alpha" stages frames at: the engine's evaluation stages
// its clips the same way, so that it scores what a user's pull reads.
constexpr int kStagingJpegQuality = 92;

// The PNG file at `path` as width * height grey bytes (the decoder's
// luminance for colour files). Empty for a path that is not a readable
// regular file, a file that is not a decodable PNG, or one beyond the limits
// above; `width` and `height` are only meaningful when the result is not
// empty.
std::vector<uint8_t> load_gray(const std::string& path, int* width, int* height);

// What load_gray does with the file's bytes once it has read them: the same
// result for the same bytes.
std::vector<uint8_t> load_gray_from_memory(const std::vector<uint8_t>& file, int* width, int* height);

}  // namespace orv
