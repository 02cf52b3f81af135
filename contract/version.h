#pragma once
// The product's version, as the plug-in's start-up beacon, the backend and
// the command report it (the plug-in record says major 1, minor 1).

namespace contract {

inline constexpr const char* kVersion = "1.1.0";

}  // namespace contract
