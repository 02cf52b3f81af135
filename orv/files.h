#pragma once
// Whole files in and out of byte vectors: the staged frames and the mattes.

#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// The whole file, in one read sized to it; empty when it cannot be opened.
std::vector<std::uint8_t> read_file(const std::string& path);

// The bytes as the whole file at path (created or truncated); false when
// not all of them could be written.
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

// dir + index written "%06d" + extension: 000000.jpg, 000001.jpg, ...
std::string numbered_file(const std::string& dir, int index, const char* extension);

}  // namespace orv
