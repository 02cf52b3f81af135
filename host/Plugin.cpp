#include "Plugin.h"

#include <cstring>

#include "Host.h"
#include "HostError.h"
#include "ofxImageEffect.h"

namespace ofxhost {

namespace {

std::string statusText(OfxStatus status) {
  switch (status) {
    case kOfxStatOK:
      return "kOfxStatOK";
    case kOfxStatFailed:
      return "kOfxStatFailed";
    case kOfxStatErrFatal:
      return "kOfxStatErrFatal";
    case kOfxStatErrUnknown:
      return "kOfxStatErrUnknown";
    case kOfxStatErrMissingHostFeature:
      return "kOfxStatErrMissingHostFeature";
    case kOfxStatErrUnsupported:
      return "kOfxStatErrUnsupported";
    case kOfxStatErrMemory:
      return "kOfxStatErrMemory";
    case kOfxStatReplyDefault:
      return "kOfxStatReplyDefault";
    default:
      return "status " + std::to_string(status);
  }
}

bool handled(OfxStatus status) { return status == kOfxStatOK || status == kOfxStatReplyDefault; }

}  // namespace

Plugin::Plugin(Host& host, std::shared_ptr<Bundle> bundle, int index) : host_(host), bundle_(std::move(bundle)) {
  record_ = bundle_->plugin(index);
  const std::string where = bundle_->binaryPath();
  if (!record_) throw HostError(where + ": OfxGetPlugin(" + std::to_string(index) + ") gave no plug-in");
  if (!record_->pluginApi || std::strcmp(record_->pluginApi, kOfxImageEffectPluginApi) != 0)
    throw HostError(where + ": plug-in API is \"" + (record_->pluginApi ? record_->pluginApi : "") +
                    "\", not \"" kOfxImageEffectPluginApi "\"");
  if (record_->apiVersion != kOfxImageEffectPluginApiVersion)
    throw HostError(where + ": image-effect API version " + std::to_string(record_->apiVersion) +
                    " is not supported (1 is)");
  if (!record_->mainEntry) throw HostError(where + ": the plug-in has no main entry");
  if (record_->setHost) record_->setHost(host_.ofxHost());

  loadStatus_ = mainEntry(kOfxActionLoad, nullptr, nullptr, nullptr);
  if (!handled(loadStatus_))
    throw HostError(where + ": the plug-in refused OfxActionLoad (" + statusText(loadStatus_) + ")");
  loaded_ = true;

  descriptor_ = EffectDescriptor::create(bundle_->bundlePath());
  OfxStatus status = mainEntry(kOfxActionDescribe, descriptor_->handle(), nullptr, nullptr);
  if (!handled(status)) {
    mainEntry(kOfxActionUnload, nullptr, nullptr, nullptr);
    loaded_ = false;
    descriptor_->retire();
    throw HostError(where + ": the plug-in refused OfxActionDescribe (" + statusText(status) + ")");
  }
}

Plugin::~Plugin() {
  for (auto& weak : instances_)
    if (auto instance = weak.lock()) instance->destroy();
  if (loaded_) mainEntry(kOfxActionUnload, nullptr, nullptr, nullptr);
  for (auto& d : contexts_) d->retire();
  if (descriptor_) descriptor_->retire();
}

bool Plugin::firstOverlay() {
  std::lock_guard<std::mutex> lock(mu_);
  bool first = !overlayDescribed_;
  overlayDescribed_ = true;
  return first;
}

OfxStatus Plugin::mainEntry(const char* action, const void* handle, PropertySet* in, PropertySet* out) const {
  return record_->mainEntry(action, handle, in ? in->handle() : nullptr, out ? out->handle() : nullptr);
}

const EffectDescriptor& Plugin::describeInContext(const std::string& context) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& d : contexts_)
    if (d->context() == context) return *d;
  auto d = descriptor_->forContext(context);
  auto in = PropertySet::create("describe-in-context arguments");
  in->defineString(kOfxImageEffectPropContext, {context});
  OfxStatus status = mainEntry(kOfxImageEffectActionDescribeInContext, d->handle(), in.get(), nullptr);
  in->retire();
  if (!handled(status))
    throw HostError(bundle_->binaryPath() + ": the plug-in refused " kOfxImageEffectActionDescribeInContext " for " +
                    context + " (" + statusText(status) + ")");
  contexts_.push_back(d);
  return *d;
}

std::shared_ptr<EffectInstance> Plugin::makeInstance(const InstanceSettings& settings) {
  const EffectDescriptor& described = describeInContext(settings.context);
  auto instance = EffectInstance::make(*this, described, settings);
  std::lock_guard<std::mutex> lock(mu_);
  instances_.push_back(instance);
  return instance;
}

std::shared_ptr<EffectInstance> Plugin::createInstance(const InstanceSettings& settings) {
  auto instance = makeInstance(settings);
  OfxStatus status = instance->create();
  if (!handled(status)) {
    instance->destroy();
    throw HostError(bundle_->binaryPath() + ": the plug-in refused " kOfxActionCreateInstance " (" +
                    statusText(status) + ")");
  }
  return instance;
}

}  // namespace ofxhost
