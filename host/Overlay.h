#pragma once
// An overlay interact of an effect instance: the effect's drawing in the
// host's viewer, sent draw and pen actions with positions in canonical
// coordinates, as a viewer would.

#include <atomic>
#include <memory>

#include "PropertySet.h"
#include "ofxInteract.h"

namespace ofxhost {

class EffectInstance;

class Overlay {
 public:
  // Describes the overlay (once per plug-in) and creates an instance of it
  // for the effect instance; null when the effect declares no overlay.
  static std::shared_ptr<Overlay> create(const std::shared_ptr<EffectInstance>& effect);
  ~Overlay();
  // Sends the destroy action and retires the handle. Idempotent.
  void destroy();

  OfxInteractHandle handle() const { return handle_; }
  PropertySet& properties() const { return *props_; }

  OfxStatus draw(OfxTime time = 0, double scale = 1.0);
  OfxStatus penDown(double x, double y, OfxTime time = 0, double scale = 1.0, double pressure = 1.0);
  OfxStatus penMotion(double x, double y, OfxTime time = 0, double scale = 1.0, double pressure = 1.0);
  OfxStatus penUp(double x, double y, OfxTime time = 0, double scale = 1.0, double pressure = 0.0);

  // Sends any action with the given arguments (null for none).
  OfxStatus callAction(const char* action, PropertySet* in);

  // What the interact asked of the viewer through the interact suite.
  void noteRedraw() { ++redraws_; }
  void noteSwap() { ++swaps_; }
  int redrawRequests() const { return redraws_; }
  int swapRequests() const { return swaps_; }

 private:
  Overlay() = default;
  static std::shared_ptr<Overlay> make(OfxPluginEntryPoint* entry, const std::shared_ptr<EffectInstance>& effect);
  OfxStatus pen(const char* action, double x, double y, OfxTime time, double scale, double pressure);

  OfxPluginEntryPoint* entry_ = nullptr;
  std::weak_ptr<EffectInstance> effect_;
  OfxInteractHandle handle_ = nullptr;
  std::shared_ptr<PropertySet> props_;
  bool alive_ = false;
  std::atomic<int> redraws_{0};
  std::atomic<int> swaps_{0};
};

std::shared_ptr<Overlay> findOverlay(const void* handle);

}  // namespace ofxhost
