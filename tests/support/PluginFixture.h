#pragma once
// Loads the real built bundle through our host, as a host application does.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Host.h"
#include "HostError.h"
#include "Instance.h"
#include "Plugin.h"

inline const std::string kBundle = ORV_BUNDLE_DIR;

// Settings whose project holds no backend address: creating the instance
// starts no beacon thread.
inline ofxhost::InstanceSettings offline(ofxhost::InstanceSettings settings = {}) {
  settings.strings.emplace("backend_url", "");
  return settings;
}

// Why `host` refuses to load the bundle at `path`; "loaded" when it does not.
inline std::string loadFailure(ofxhost::Host& host, const std::string& path = kBundle) {
  try {
    host.loadPlugin(path);
  } catch (const ofxhost::HostError& e) {
    return e.what();
  }
  return "loaded";
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_unique<ofxhost::Host>();
    plugin = &host->loadPlugin(kBundle);
  }
  // An instance without a backend address, so that it sends no beacon.
  std::shared_ptr<ofxhost::EffectInstance> newInstance(ofxhost::InstanceSettings settings = {}) {
    return plugin->createInstance(offline(std::move(settings)));
  }
  std::unique_ptr<ofxhost::Host> host;
  ofxhost::Plugin* plugin = nullptr;
};
