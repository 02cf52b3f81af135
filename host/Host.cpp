#include "Host.h"

#include <atomic>
#include <map>
#include <new>
#include <stdexcept>
#include <utility>

#include "HostError.h"
#include "ofxImageEffect.h"

namespace ofxhost {

namespace {

std::atomic<Host*> gCurrent{nullptr};

std::mutex& hostsMu() {
  static std::mutex mu;
  return mu;
}

std::map<const void*, Host*>& hosts() {
  static std::map<const void*, Host*> table;
  return table;
}

}  // namespace

Host* Host::current() { return gCurrent.load(); }

Host* findHost(const void* handle) {
  std::lock_guard<std::mutex> lock(hostsMu());
  auto it = hosts().find(handle);
  return it == hosts().end() ? nullptr : it->second;
}

Host::Host() {
  noteHostThread();
  props_ = PropertySet::create("host");
  PropertySet& p = *props_;
  p.defineString(kOfxPropType, {kOfxTypeImageEffectHost});
  p.defineString(kOfxPropName, {"com.prismhollow.headless-host"});
  p.defineString(kOfxPropLabel, {"Prismhollow headless host"});
  p.defineInt(kOfxPropAPIVersion, {1, 4}, PropertySet::kVariable);
  p.defineInt(kOfxPropVersion, {1, 0, 0}, PropertySet::kVariable);
  p.defineString(kOfxPropVersionLabel, {"1.0.0"});
  p.defineInt(kOfxImageEffectPropSupportsOverlays, {1});
  p.defineInt(kOfxImageEffectPropSupportsMultiResolution, {1});
  p.defineInt(kOfxImageEffectPropSupportsTiles, {1});
  p.defineInt(kOfxImageEffectPropTemporalClipAccess, {1});
  p.defineInt(kOfxImageEffectPropSupportsMultipleClipDepths, {0});
  p.defineString(kOfxImageEffectPropSupportedComponents, {kOfxImageComponentRGBA}, PropertySet::kVariable);
  p.defineString(kOfxImageEffectPropSupportedContexts, {kOfxImageEffectContextFilter}, PropertySet::kVariable);
  p.defineString(kOfxImageEffectPropSupportedPixelDepths, {kOfxBitDepthByte, kOfxBitDepthFloat},
                 PropertySet::kVariable);
  ofxHost_.host = props_->handle();
  ofxHost_.fetchSuite = &fetchSuite;
  {
    std::lock_guard<std::mutex> lock(hostsMu());
    hosts()[props_->handle()] = this;
  }
  gCurrent = this;
}

Host::~Host() {
  unloadAll();
  {
    std::lock_guard<std::mutex> lock(hostsMu());
    hosts().erase(props_->handle());
  }
  Host* self = this;
  gCurrent.compare_exchange_strong(self, nullptr);
  props_->retire();
}

Plugin& Host::loadPlugin(const std::string& path, int index) {
  gCurrent = this;
  plugins_.push_back(std::make_unique<Plugin>(*this, Bundle::open(path), index));
  return *plugins_.back();
}

void Host::unloadAll() {
  // Newest first, as a host tears down.
  while (!plugins_.empty()) plugins_.pop_back();
}

void Host::removeSuite(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  missingSuites_.insert(name);
}

void Host::failCall(const std::string& call) {
  std::lock_guard<std::mutex> lock(mu_);
  failingCalls_.insert(call);
  injecting_ = true;
}

void Host::throwInCall(const std::string& call, bool outOfMemory) {
  std::lock_guard<std::mutex> lock(mu_);
  (outOfMemory ? exhaustedCalls_ : throwingCalls_).insert(call);
  injecting_ = true;
}

void Host::clearFailures() {
  std::lock_guard<std::mutex> lock(mu_);
  missingSuites_.clear();
  failingCalls_.clear();
  throwingCalls_.clear();
  exhaustedCalls_.clear();
  injecting_ = false;
}

bool Host::shouldFail(const char* call) const {
  if (!injecting_) return false;
  std::lock_guard<std::mutex> lock(mu_);
  if (exhaustedCalls_.count(call)) throw std::bad_alloc();
  if (throwingCalls_.count(call)) throw std::runtime_error(std::string("injected failure in ") + call);
  return failingCalls_.count(call) != 0;
}

void Host::reuseInstanceHandles(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  reuseHandles_ = on;
  freedHandle_ = 0;
}

void Host::instanceHandleFreed(std::uintptr_t token) {
  std::lock_guard<std::mutex> lock(mu_);
  if (reuseHandles_) freedHandle_ = token;
}

std::uintptr_t Host::reusableInstanceHandle() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(freedHandle_, 0);
}

bool Host::offersSuite(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  return missingSuites_.count(name) == 0;
}

}  // namespace ofxhost
