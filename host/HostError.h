#pragma once

#include <stdexcept>
#include <string>

namespace ofxhost {

// What the host library throws at its own callers (never at the plug-in):
// a bundle that cannot be loaded, a plug-in that refuses an action, misuse.
class HostError : public std::runtime_error {
 public:
  explicit HostError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace ofxhost
