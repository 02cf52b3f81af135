#pragma once
// Image effects as the plug-in sees them through an OfxImageEffectHandle:
// descriptors (what the describe actions fill in) and instances (see
// Instance.h). Both have a property set, a parameter set and clips.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Clip.h"
#include "Param.h"
#include "PropertySet.h"
#include "ofxImageEffect.h"

namespace ofxhost {

class Effect {
 public:
  virtual ~Effect() = default;
  OfxImageEffectHandle handle() const { return handle_; }
  PropertySet& properties() const { return *props_; }
  ParamSet& params() const { return *params_; }
  virtual bool isDescriptor() const = 0;

  std::shared_ptr<Clip> clip(const std::string& name) const;
  std::vector<std::shared_ptr<Clip>> clips() const;

 protected:
  // Under a fresh token, or under `token` when it is not 0.
  void registerHandle(const std::shared_ptr<Effect>& self, std::uintptr_t token = 0);
  void retireHandles();

  OfxImageEffectHandle handle_ = nullptr;
  std::shared_ptr<PropertySet> props_;
  std::shared_ptr<ParamSet> params_;
  mutable std::mutex clipsMu_;
  std::vector<std::shared_ptr<Clip>> clips_;
};

class EffectDescriptor : public Effect {
 public:
  // The descriptor that "OfxActionDescribe" fills in.
  static std::shared_ptr<EffectDescriptor> create(const std::string& bundlePath);
  // A descriptor for "OfxImageEffectActionDescribeInContext": the effect's
  // properties so far, with clips and parameters still to be defined.
  std::shared_ptr<EffectDescriptor> forContext(const std::string& context) const;
  bool isDescriptor() const override { return true; }
  const std::string& context() const { return context_; }

  // kOfxStatErrExists for a name that is taken.
  OfxStatus defineClip(const char* name, std::shared_ptr<Clip>* clip);
  std::shared_ptr<ParamSet> paramDefinitions() const { return params_; }
  // Forgets every handle of the descriptor (when its plug-in is unloaded).
  void retire() { retireHandles(); }

 private:
  std::string context_;
};

std::shared_ptr<Effect> findEffect(const void* handle);

}  // namespace ofxhost
