#pragma once
// One effect of a loaded binary, taken through the steps a host takes:
// checks of its record, setHost, "OfxActionLoad", "OfxActionDescribe" and
// "OfxImageEffectActionDescribeInContext". It keeps what the describe
// actions declared and creates instances from it.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Bundle.h"
#include "Effect.h"
#include "Instance.h"

namespace ofxhost {

class Host;

class Plugin {
 public:
  // Throws HostError when the record is not an image-effect plug-in of API
  // version 1, or when load or describe fails.
  Plugin(Host& host, std::shared_ptr<Bundle> bundle, int index);
  // Destroys the instances still alive, then sends "OfxActionUnload".
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  Host& host() const { return host_; }
  const Bundle& bundle() const { return *bundle_; }
  const OfxPlugin& record() const { return *record_; }
  std::string identifier() const { return record_->pluginIdentifier ? record_->pluginIdentifier : ""; }

  // What "OfxActionDescribe" declared.
  const EffectDescriptor& descriptor() const { return *descriptor_; }
  // What "OfxImageEffectActionDescribeInContext" declared for the context
  // (described on first use); throws HostError if the effect refuses it.
  const EffectDescriptor& describeInContext(const std::string& context);

  // Sends an action to the plug-in's main entry.
  OfxStatus mainEntry(const char* action, const void* handle, PropertySet* in, PropertySet* out) const;

  // Creates an instance and sends "OfxActionCreateInstance"; throws
  // HostError when the plug-in refuses it.
  std::shared_ptr<EffectInstance> createInstance(const InstanceSettings& settings = {});
  // Registers an instance without sending the create action.
  std::shared_ptr<EffectInstance> makeInstance(const InstanceSettings& settings = {});

  OfxStatus loadStatus() const { return loadStatus_; }
  // True the first time only: the overlay is described once per plug-in.
  bool firstOverlay();

 private:
  Host& host_;
  std::shared_ptr<Bundle> bundle_;
  OfxPlugin* record_ = nullptr;
  OfxStatus loadStatus_ = kOfxStatFailed;
  bool loaded_ = false;
  std::shared_ptr<EffectDescriptor> descriptor_;
  std::mutex mu_;
  std::vector<std::shared_ptr<EffectDescriptor>> contexts_;
  std::vector<std::weak_ptr<EffectInstance>> instances_;
  bool overlayDescribed_ = false;
};

}  // namespace ofxhost
