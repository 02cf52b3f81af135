#pragma once

#include "contract/version.h"

namespace orv {

// The plug-in's version as the start-up beacon reports it; the plug-in
// record carries the same version as major 1, minor 1.
inline constexpr const char* kPluginVersionString = contract::kVersion;

}  // namespace orv
