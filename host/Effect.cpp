#include "Effect.h"

#include "Handles.h"

namespace ofxhost {

namespace {
HandleTable<Effect>& effects() {
  static HandleTable<Effect> table;
  return table;
}
}  // namespace

std::shared_ptr<Effect> findEffect(const void* handle) { return effects().find(handle); }

void Effect::registerHandle(const std::shared_ptr<Effect>& self, std::uintptr_t token) {
  if (token == 0) token = newToken();
  handle_ = toHandle<OfxImageEffectHandle>(token);
  effects().add(token, self);
}

void Effect::retireHandles() {
  effects().remove(reinterpret_cast<std::uintptr_t>(handle_));
  for (const auto& c : clips()) c->retire();
  params_->retire();
  props_->retire();
}

std::shared_ptr<Clip> Effect::clip(const std::string& name) const {
  std::lock_guard<std::mutex> lock(clipsMu_);
  for (const auto& c : clips_)
    if (c->name() == name) return c;
  return nullptr;
}

std::vector<std::shared_ptr<Clip>> Effect::clips() const {
  std::lock_guard<std::mutex> lock(clipsMu_);
  return clips_;
}

std::shared_ptr<EffectDescriptor> EffectDescriptor::create(const std::string& bundlePath) {
  auto d = std::make_shared<EffectDescriptor>();
  d->props_ = PropertySet::create("effect descriptor");
  PropertySet& p = *d->props_;
  p.defineString(kOfxPropType, {kOfxTypeImageEffect});
  p.defineString(kOfxPropLabel, {""});
  p.defineString(kOfxPropShortLabel, {""});
  p.defineString(kOfxPropLongLabel, {""});
  p.defineInt(kOfxPropVersion, {0}, PropertySet::kVariable);
  p.defineString(kOfxPropVersionLabel, {""});
  p.defineString(kOfxPropPluginDescription, {""});
  p.defineString(kOfxPluginPropFilePath, {bundlePath});
  p.defineString(kOfxImageEffectPluginPropGrouping, {""});
  p.defineString(kOfxImageEffectPropSupportedContexts, {}, PropertySet::kVariable);
  p.defineString(kOfxImageEffectPropSupportedPixelDepths, {}, PropertySet::kVariable);
  p.defineInt(kOfxImageEffectPluginPropSingleInstance, {0});
  p.defineInt(kOfxImageEffectPluginPropHostFrameThreading, {1});
  p.defineString(kOfxImageEffectPluginRenderThreadSafety, {kOfxImageEffectRenderInstanceSafe});
  p.defineInt(kOfxImageEffectPropSupportsMultiResolution, {1});
  p.defineInt(kOfxImageEffectPropSupportsTiles, {1});
  p.defineInt(kOfxImageEffectPropTemporalClipAccess, {0});
  p.defineInt(kOfxImageEffectPropSupportsMultipleClipDepths, {0});
  p.definePointer(kOfxImageEffectPluginPropOverlayInteractV1);
  p.defineString(kOfxImageEffectPropClipPreferencesSlaveParam, {}, PropertySet::kVariable);
  d->params_ = ParamSet::create("effect descriptor");
  d->registerHandle(d);
  return d;
}

std::shared_ptr<EffectDescriptor> EffectDescriptor::forContext(const std::string& context) const {
  auto d = std::make_shared<EffectDescriptor>();
  d->context_ = context;
  d->props_ = props_->clone("effect descriptor (" + context + ")");
  d->props_->defineString(kOfxImageEffectPropContext, {context});
  d->params_ = ParamSet::create("effect descriptor (" + context + ")");
  d->registerHandle(d);
  return d;
}

OfxStatus EffectDescriptor::defineClip(const char* name, std::shared_ptr<Clip>* clip) {
  if (!name) return kOfxStatErrValue;
  std::lock_guard<std::mutex> lock(clipsMu_);
  for (const auto& c : clips_)
    if (c->name() == name) return kOfxStatErrExists;
  clips_.push_back(Clip::define(name));
  *clip = clips_.back();
  return kOfxStatOK;
}

}  // namespace ofxhost
