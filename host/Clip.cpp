#include "Clip.h"

#include "Handles.h"

namespace ofxhost {

namespace {
HandleTable<Clip>& clips() {
  static HandleTable<Clip> table;
  return table;
}
}  // namespace

std::shared_ptr<Clip> findClip(const void* handle) { return clips().find(handle); }

std::shared_ptr<Clip> Clip::define(const std::string& name) {
  std::shared_ptr<Clip> clip(new Clip(name));
  clip->props_ = PropertySet::create("clip " + name);
  PropertySet& p = *clip->props_;
  p.defineString(kOfxPropType, {kOfxTypeClip});
  p.defineString(kOfxPropName, {name});
  p.defineString(kOfxPropLabel, {name});
  p.defineString(kOfxPropShortLabel, {name});
  p.defineString(kOfxPropLongLabel, {name});
  p.defineString(kOfxImageEffectPropSupportedComponents, {}, PropertySet::kVariable);
  p.defineInt(kOfxImageEffectPropTemporalClipAccess, {0});
  p.defineInt(kOfxImageClipPropOptional, {0});
  p.defineInt(kOfxImageClipPropIsMask, {0});
  p.defineInt(kOfxImageEffectPropSupportsTiles, {1});
  std::uintptr_t token = newToken();
  clip->handle_ = toHandle<OfxImageClipHandle>(token);
  clips().add(token, clip);
  return clip;
}

std::shared_ptr<Clip> Clip::instantiate(const std::shared_ptr<EffectInstance>& owner, const std::string& depth) const {
  std::shared_ptr<Clip> clip(new Clip(name_));
  clip->owner_ = owner;
  clip->props_ = props_->clone("clip " + name_);
  PropertySet& p = *clip->props_;
  p.defineString(kOfxImageEffectPropPixelDepth, {depth});
  p.defineString(kOfxImageEffectPropComponents, {kOfxImageComponentRGBA});
  p.defineString(kOfxImageClipPropUnmappedPixelDepth, {depth});
  p.defineString(kOfxImageClipPropUnmappedComponents, {kOfxImageComponentRGBA});
  p.defineString(kOfxImageEffectPropPreMultiplication, {kOfxImagePreMultiplied});
  p.defineDouble(kOfxImagePropPixelAspectRatio, {1.0});
  p.defineDouble(kOfxImageEffectPropFrameRate, {25.0});
  p.defineDouble(kOfxImageEffectPropFrameRange, {0.0, 0.0}, 2);
  p.defineString(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
  p.defineInt(kOfxImageClipPropConnected, {clip->isOutput() ? 1 : 0});
  p.defineInt(kOfxImageClipPropContinuousSamples, {0});
  std::uintptr_t token = newToken();
  clip->handle_ = toHandle<OfxImageClipHandle>(token);
  clips().add(token, clip);
  return clip;
}

void Clip::retire() {
  clips().remove(reinterpret_cast<std::uintptr_t>(handle_));
  props_->retire();
}

void Clip::setSource(FrameSource source) {
  props_->set(kOfxImageClipPropConnected, 0, source ? 1 : 0);
  std::lock_guard<std::mutex> lock(mu_);
  source_ = std::move(source);
}

std::shared_ptr<ImageBuffer> Clip::fetch(OfxTime time) const {
  FrameSource source;
  {
    std::lock_guard<std::mutex> lock(mu_);
    source = source_;
  }
  return source ? source(time) : nullptr;
}

}  // namespace ofxhost
