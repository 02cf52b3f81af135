#pragma once
// Clips: the effect's image inputs and output. A described clip has only
// its descriptor properties; an instance's clip also knows its depth, frame
// range and rate, and where its images come from.

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Image.h"
#include "PropertySet.h"
#include "ofxImageEffect.h"

namespace ofxhost {

class EffectInstance;

// Supplies the image of an input clip at a time; null means that no image
// can be had (nothing connected, a frame that cannot be read).
using FrameSource = std::function<std::shared_ptr<ImageBuffer>(OfxTime time)>;

class Clip {
 public:
  static std::shared_ptr<Clip> define(const std::string& name);
  std::shared_ptr<Clip> instantiate(const std::shared_ptr<EffectInstance>& owner, const std::string& depth) const;
  void retire();

  OfxImageClipHandle handle() const { return handle_; }
  const std::string& name() const { return name_; }
  PropertySet& properties() const { return *props_; }
  bool isOutput() const { return name_ == kOfxImageEffectOutputClipName; }
  std::shared_ptr<EffectInstance> owner() const { return owner_.lock(); }

  void setSource(FrameSource source);
  std::shared_ptr<ImageBuffer> fetch(OfxTime time) const;

 private:
  explicit Clip(std::string name) : name_(std::move(name)) {}

  std::string name_;
  OfxImageClipHandle handle_ = nullptr;
  std::shared_ptr<PropertySet> props_;
  std::weak_ptr<EffectInstance> owner_;
  mutable std::mutex mu_;
  FrameSource source_;
};

std::shared_ptr<Clip> findClip(const void* handle);

}  // namespace ofxhost
