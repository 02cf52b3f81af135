#pragma once
// A plug-in binary, loaded as hosts load them: from a bundle folder
// (NAME.ofx.bundle/Contents/Linux-x86-64/NAME.ofx) or from the .ofx file.

#include <memory>
#include <string>
#include <vector>

#include "ofxCore.h"

namespace ofxhost {

class Bundle {
 public:
  // Throws HostError with a clear message when the path is not a bundle or
  // binary, the library does not load, or its entry points are missing.
  static std::shared_ptr<Bundle> open(const std::string& path);
  ~Bundle();
  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;

  const std::string& bundlePath() const { return bundlePath_; }
  const std::string& binaryPath() const { return binaryPath_; }
  int pluginCount() const { return count_; }
  OfxPlugin* plugin(int index) const;

 private:
  Bundle() = default;
  std::string bundlePath_;
  std::string binaryPath_;
  void* library_ = nullptr;
  int count_ = 0;
  OfxPlugin* (*getPlugin_)(int) = nullptr;
};

// The binary inside a bundle folder, or the path itself for a .ofx file;
// throws HostError when neither fits.
std::string binaryInBundle(const std::string& path);

// Every *.ofx.bundle under the standard plug-in folders: each folder of
// OFX_PLUGIN_PATH, then /usr/OFX/Plugins, searched recursively, skipping
// names that start with "@".
std::vector<std::string> findBundles();

}  // namespace ofxhost
