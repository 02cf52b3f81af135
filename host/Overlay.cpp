#include "Overlay.h"

#include "Handles.h"
#include "Instance.h"
#include "Plugin.h"

namespace ofxhost {

namespace {

HandleTable<Overlay>& overlays() {
  static HandleTable<Overlay> table;
  return table;
}

}  // namespace

std::shared_ptr<Overlay> findOverlay(const void* handle) { return overlays().find(handle); }

std::shared_ptr<Overlay> Overlay::make(OfxPluginEntryPoint* entry, const std::shared_ptr<EffectInstance>& effect) {
  std::shared_ptr<Overlay> overlay(new Overlay());
  overlay->entry_ = entry;
  overlay->effect_ = effect;
  overlay->props_ = PropertySet::create(effect ? "overlay interact" : "overlay interact descriptor");
  PropertySet& p = *overlay->props_;
  p.definePointer(kOfxPropEffectInstance);
  if (effect) p.set(kOfxPropEffectInstance, 0, static_cast<void*>(effect->handle()));
  p.definePointer(kOfxPropInstanceData);
  p.defineDouble(kOfxInteractPropPixelScale, {1.0, 1.0}, 2);
  p.defineDouble(kOfxInteractPropBackgroundColour, {0.0, 0.0, 0.0}, 3);
  p.defineDouble(kOfxInteractPropSuggestedColour, {1.0, 1.0, 1.0}, 3);
  p.defineInt(kOfxInteractPropBitDepth, {8});
  p.defineInt(kOfxInteractPropHasAlpha, {0});
  p.defineString(kOfxInteractPropSlaveToParam, {}, PropertySet::kVariable);
  std::uintptr_t token = newToken();
  overlay->handle_ = toHandle<OfxInteractHandle>(token);
  overlays().add(token, overlay);
  overlay->alive_ = true;
  return overlay;
}

std::shared_ptr<Overlay> Overlay::create(const std::shared_ptr<EffectInstance>& effect) {
  if (!effect || !effect->alive()) return nullptr;
  void* pointer = nullptr;
  effect->plugin().descriptor().properties().get(kOfxImageEffectPluginPropOverlayInteractV1, 0, &pointer);
  auto entry = reinterpret_cast<OfxPluginEntryPoint*>(pointer);
  if (!entry) return nullptr;
  if (effect->plugin().firstOverlay()) {
    auto descriptor = make(entry, nullptr);
    descriptor->callAction(kOfxActionDescribeInteract, nullptr);
    overlays().remove(reinterpret_cast<std::uintptr_t>(descriptor->handle_));
    descriptor->props_->retire();
  }
  auto overlay = make(entry, effect);
  overlay->callAction(kOfxActionCreateInstanceInteract, nullptr);
  return overlay;
}

// The handle table holds a live overlay until destroy() takes it out, so an
// overlay still alive here is being dropped by the table itself as the
// program ends: neither the table nor the (unloaded) plug-in may be touched.
Overlay::~Overlay() = default;

void Overlay::destroy() {
  if (!alive_) return;
  if (!effect_.expired()) callAction(kOfxActionDestroyInstanceInteract, nullptr);
  alive_ = false;
  overlays().remove(reinterpret_cast<std::uintptr_t>(handle_));
  props_->retire();
}

OfxStatus Overlay::callAction(const char* action, PropertySet* in) {
  if (!alive_) return kOfxStatErrBadHandle;
  return entry_(action, handle_, in ? in->handle() : nullptr, nullptr);
}

OfxStatus Overlay::draw(OfxTime time, double scale) {
  auto args = PropertySet::create("overlay draw arguments");
  auto effect = effect_.lock();
  args->definePointer(kOfxPropEffectInstance);
  if (effect) args->set(kOfxPropEffectInstance, 0, static_cast<void*>(effect->handle()));
  args->defineDouble(kOfxInteractPropPixelScale, props_->getDoubles(kOfxInteractPropPixelScale), 2);
  args->defineDouble(kOfxInteractPropBackgroundColour, props_->getDoubles(kOfxInteractPropBackgroundColour), 3);
  args->defineDouble(kOfxPropTime, {time});
  args->defineDouble(kOfxImageEffectPropRenderScale, {scale, scale}, 2);
  OfxStatus status = callAction(kOfxInteractActionDraw, args.get());
  args->retire();
  return status;
}

OfxStatus Overlay::pen(const char* action, double x, double y, OfxTime time, double scale, double pressure) {
  auto args = PropertySet::create("overlay pen arguments");
  auto effect = effect_.lock();
  args->definePointer(kOfxPropEffectInstance);
  if (effect) args->set(kOfxPropEffectInstance, 0, static_cast<void*>(effect->handle()));
  args->defineDouble(kOfxInteractPropPixelScale, props_->getDoubles(kOfxInteractPropPixelScale), 2);
  args->defineDouble(kOfxPropTime, {time});
  args->defineDouble(kOfxImageEffectPropRenderScale, {scale, scale}, 2);
  args->defineDouble(kOfxInteractPropPenPosition, {x, y}, 2);
  args->defineInt(kOfxInteractPropPenViewportPosition, {static_cast<int>(x * scale), static_cast<int>(y * scale)}, 2);
  args->defineDouble(kOfxInteractPropPenPressure, {pressure});
  OfxStatus status = callAction(action, args.get());
  args->retire();
  return status;
}

OfxStatus Overlay::penDown(double x, double y, OfxTime time, double scale, double pressure) {
  return pen(kOfxInteractActionPenDown, x, y, time, scale, pressure);
}

OfxStatus Overlay::penMotion(double x, double y, OfxTime time, double scale, double pressure) {
  return pen(kOfxInteractActionPenMotion, x, y, time, scale, pressure);
}

OfxStatus Overlay::penUp(double x, double y, OfxTime time, double scale, double pressure) {
  return pen(kOfxInteractActionPenUp, x, y, time, scale, pressure);
}

}  // namespace ofxhost
