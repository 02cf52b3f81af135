#pragma once
// What a host lists of a loaded effect: label, grouping, contexts, depths,
// clips and parameters with their attributes, in the order declared.

#include <string>

#include "Plugin.h"

namespace ofxhost {

// The listing of the effect as described in its first context that this
// host supports; throws HostError when there is none.
std::string listPlugin(Plugin& plugin);

}  // namespace ofxhost
