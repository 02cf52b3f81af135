#pragma once
// Loads the real built bundle through our host, as a host application does.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Host.h"
#include "Instance.h"
#include "Plugin.h"

inline const std::string kBundle = ORV_BUNDLE_DIR;

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_unique<ofxhost::Host>();
    plugin = &host->loadPlugin(kBundle);
  }
  std::shared_ptr<ofxhost::EffectInstance> newInstance(const ofxhost::InstanceSettings& settings = {}) {
    return plugin->createInstance(settings);
  }
  std::unique_ptr<ofxhost::Host> host;
  ofxhost::Plugin* plugin = nullptr;
};
