#pragma once
// Whole files out of byte vectors: the staged frames and the mattes. Reading
// and naming them is the contract's (contract/files.h).

#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// The bytes as the whole file at path (created or truncated); false when
// not all of them could be written.
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace orv
