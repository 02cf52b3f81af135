#pragma once
// Whether a file from the backend is a matte the plug-in can render.

#include <cstdint>
#include <vector>

namespace orv {

// True for a PNG file whose chunks are all whole (each within the file, its
// CRC right), that starts with IHDR, reaches IEND, and that load_gray
// decodes within its limits. The decoder alone reads past bad CRCs and some
// truncations, which would leave render without a matte and nobody told.
bool is_usable_png(const std::vector<std::uint8_t>& file);

}  // namespace orv
