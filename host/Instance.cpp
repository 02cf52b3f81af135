#include "Instance.h"

#include <algorithm>
#include <cmath>

#include "Handles.h"
#include "Host.h"
#include "HostError.h"
#include "Overlay.h"
#include "Plugin.h"

namespace ofxhost {

namespace {

// An image the plug-in fetched and has not released yet.
struct ImageRecord {
  std::shared_ptr<PropertySet> props;
  std::shared_ptr<ImageBuffer> pixels;
  std::weak_ptr<EffectInstance> owner;
};

HandleTable<ImageRecord>& images() {
  static HandleTable<ImageRecord> table;
  return table;
}

std::atomic<int> gStrayReleases{0};

// Changes the plug-in makes in answer to a change may cause more; a plug-in
// that never settles is cut off here rather than looping forever.
constexpr int kMaxEditRounds = 64;

std::shared_ptr<PropertySet> argumentSet(const char* what) { return PropertySet::create(what); }

// Retires an action's argument set when the action is over.
struct Arguments {
  std::shared_ptr<PropertySet> set;
  explicit Arguments(const char* what) : set(argumentSet(what)) {}
  ~Arguments() { set->retire(); }
  PropertySet* operator->() { return set.get(); }
  PropertySet* get() { return set.get(); }
};

void defineSequenceArguments(PropertySet& p, OfxTime time, double scale) {
  p.defineDouble(kOfxImageEffectPropFrameRange, {time, time}, 2);
  p.defineDouble(kOfxImageEffectPropFrameStep, {1.0});
  p.defineInt(kOfxPropIsInteractive, {0});
  p.defineDouble(kOfxImageEffectPropRenderScale, {scale, scale}, 2);
  p.defineInt(kOfxImageEffectPropSequentialRenderStatus, {0});
  p.defineInt(kOfxImageEffectPropInteractiveRenderStatus, {0});
}

void defineRenderArguments(PropertySet& p, OfxTime time, const OfxRectI& w, double scale) {
  p.defineDouble(kOfxPropTime, {time});
  p.defineString(kOfxImageEffectPropFieldToRender, {kOfxImageFieldNone});
  p.defineInt(kOfxImageEffectPropRenderWindow, {w.x1, w.y1, w.x2, w.y2}, 4);
  p.defineDouble(kOfxImageEffectPropRenderScale, {scale, scale}, 2);
  p.defineInt(kOfxImageEffectPropSequentialRenderStatus, {0});
  p.defineInt(kOfxImageEffectPropInteractiveRenderStatus, {0});
  p.defineInt(kOfxImageEffectPropRenderQualityDraft, {0});
}

}  // namespace

int strayImageReleases() { return gStrayReleases.load(); }

std::shared_ptr<EffectInstance> findInstance(const void* handle) {
  return std::dynamic_pointer_cast<EffectInstance>(findEffect(handle));
}

std::shared_ptr<EffectInstance> EffectInstance::make(Plugin& plugin, const EffectDescriptor& described,
                                                     const InstanceSettings& settings) {
  std::shared_ptr<EffectInstance> instance(new EffectInstance(plugin, settings));
  instance->props_ = described.properties().clone("effect instance");
  PropertySet& p = *instance->props_;
  p.set(kOfxPropType, 0, kOfxTypeImageEffectInstance);
  p.defineString(kOfxImageEffectPropContext, {settings.context});
  p.definePointer(kOfxPropInstanceData);
  p.defineInt(kOfxPropIsInteractive, {0});
  p.defineDouble(kOfxImageEffectPropProjectSize, {settings.projectWidth, settings.projectHeight}, 2);
  p.defineDouble(kOfxImageEffectPropProjectOffset, {settings.offsetX, settings.offsetY}, 2);
  p.defineDouble(kOfxImageEffectPropProjectExtent,
                 {settings.offsetX + settings.projectWidth, settings.offsetY + settings.projectHeight}, 2);
  p.defineDouble(kOfxImageEffectPropProjectPixelAspectRatio, {settings.pixelAspect});
  p.defineDouble(kOfxImageEffectPropFrameRate, {settings.frameRate});
  p.defineDouble(kOfxImageEffectInstancePropEffectDuration, {settings.lastFrame - settings.firstFrame + 1});

  instance->params_ = described.paramDefinitions()->instantiate();
  std::weak_ptr<EffectInstance> weak = instance;
  for (const auto& param : instance->params_->params()) {
    param->onPluginEdit = [weak](const std::string& name) {
      if (auto owner = weak.lock()) owner->notePluginEdit(name);
    };
    param->ownerGone = instance->hostSideGone_;
  }

  for (const auto& clip : described.clips()) {
    auto c = clip->instantiate(instance, settings.depth);
    c->properties().setDoubles(kOfxImageEffectPropFrameRange, {settings.firstFrame, settings.lastFrame});
    c->properties().setDoubles(kOfxImageEffectPropFrameRate, {settings.frameRate});
    instance->clips_.push_back(c);
  }
  instance->registerHandle(instance, plugin.host().reusableInstanceHandle());
  instance->alive_ = true;
  for (const auto& [name, value] : settings.strings) instance->setValue(name, value);
  return instance;
}

EffectInstance::~EffectInstance() = default;

OfxStatus EffectInstance::create() {
  OfxStatus status = callAction(kOfxActionCreateInstance, nullptr, nullptr);
  created_ = status == kOfxStatOK || status == kOfxStatReplyDefault;
  if (created_) deliverPluginEdits();
  return status;
}

OfxStatus EffectInstance::destroy() {
  if (destroying_.exchange(true)) return kOfxStatOK;
  std::vector<std::shared_ptr<Overlay>> overlays;
  {
    std::lock_guard<std::mutex> lock(mu_);
    overlays.swap(overlays_);
  }
  for (const auto& overlay : overlays) overlay->destroy();
  // As strict hosts do: their side of the instance goes first, the plug-in
  // hears of it after.
  hostSideGone_->store(true);
  OfxStatus status = created_ ? callAction(kOfxActionDestroyInstance, nullptr, nullptr) : kOfxStatOK;
  alive_ = false;
  std::vector<std::uintptr_t> left;
  {
    std::lock_guard<std::mutex> lock(mu_);
    left.swap(liveImages_);
  }
  for (auto token : left)
    if (auto record = images().take(reinterpret_cast<const void*>(token))) record->props->retire();
  retireHandles();
  plugin_.host().instanceHandleFreed(reinterpret_cast<std::uintptr_t>(handle_));
  return status;
}

OfxStatus EffectInstance::callAction(const char* action, PropertySet* in, PropertySet* out) {
  if (!alive_) return kOfxStatErrBadHandle;
  return plugin_.mainEntry(action, handle_, in, out);
}

std::shared_ptr<Param> EffectInstance::param(const std::string& name) const {
  auto p = params_->find(name);
  if (!p) throw HostError("the effect has no parameter " + name);
  return p;
}

std::string EffectInstance::stringValue(const std::string& name) const { return param(name)->stringValue(); }
int EffectInstance::intValue(const std::string& name) const { return param(name)->intValue(); }
double EffectInstance::doubleValue(const std::string& name) const { return param(name)->doubleValue(); }

void EffectInstance::setValue(const std::string& name, const std::string& value) {
  auto p = param(name);
  if (!p->holdsString()) throw HostError(name + " is not a string parameter");
  p->setString(value);
  if (created_) reportChange(name, kOfxChangeUserEdited);
}

void EffectInstance::setValue(const std::string& name, int value) {
  auto p = param(name);
  if (!p->holdsInt()) throw HostError(name + " is not an integer, boolean or choice parameter");
  p->setInt(value);
  if (created_) reportChange(name, kOfxChangeUserEdited);
}

void EffectInstance::setValue(const std::string& name, double value) {
  auto p = param(name);
  if (!p->holdsDouble()) throw HostError(name + " is not a double parameter");
  p->setDouble(value);
  if (created_) reportChange(name, kOfxChangeUserEdited);
}

std::shared_ptr<Param> EffectInstance::editable(const std::string& name) const {
  auto p = params_->find(name);
  if (!p) return nullptr;
  if (p->properties().getInt(kOfxParamPropSecret) != 0) return nullptr;
  if (p->properties().getInt(kOfxParamPropEnabled) == 0) return nullptr;
  return p;
}

OfxStatus EffectInstance::userEdit(const std::string& name, const std::string& value) {
  auto p = editable(name);
  if (!p || !p->holdsString()) return kOfxStatErrValue;
  p->setString(value);
  return reportChange(name, kOfxChangeUserEdited);
}

OfxStatus EffectInstance::userEdit(const std::string& name, int value) {
  auto p = editable(name);
  if (!p) return kOfxStatErrValue;
  switch (p->kind()) {
    case ParamKind::Boolean:
      p->setInt(value != 0);
      break;
    case ParamKind::Choice: {
      int options = 0;
      p->properties().dimension(kOfxParamPropChoiceOption, &options);
      if (value < 0 || value >= options) return kOfxStatErrValue;
      p->setInt(value);
      break;
    }
    case ParamKind::Integer:
      p->setInt(std::clamp(value, p->properties().getInt(kOfxParamPropMin), p->properties().getInt(kOfxParamPropMax)));
      break;
    case ParamKind::Double:
      return userEdit(name, static_cast<double>(value));
    default:
      return kOfxStatErrValue;
  }
  return reportChange(name, kOfxChangeUserEdited);
}

OfxStatus EffectInstance::userEdit(const std::string& name, double value) {
  auto p = editable(name);
  if (!p || !p->holdsDouble() || std::isnan(value)) return kOfxStatErrValue;
  double lo = p->properties().getDouble(kOfxParamPropMin);
  double hi = p->properties().getDouble(kOfxParamPropMax);
  p->setDouble(std::min(std::max(value, lo), hi));
  return reportChange(name, kOfxChangeUserEdited);
}

OfxStatus EffectInstance::pressButton(const std::string& name) {
  auto p = editable(name);
  if (!p || p->kind() != ParamKind::PushButton) return kOfxStatErrValue;
  return reportChange(name, kOfxChangeUserEdited);
}

OfxStatus EffectInstance::reportChange(const std::string& name, const char* reason) {
  Arguments bracket("instance changed bracket arguments");
  bracket->defineString(kOfxPropChangeReason, {reason});
  Arguments args("instance changed arguments");
  args->defineString(kOfxPropType, {kOfxTypeParameter});
  args->defineString(kOfxPropName, {name});
  args->defineString(kOfxPropChangeReason, {reason});
  args->defineDouble(kOfxPropTime, {time_.load()});
  args->defineDouble(kOfxImageEffectPropRenderScale, {1.0, 1.0}, 2);
  callAction(kOfxActionBeginInstanceChanged, bracket.get(), nullptr);
  OfxStatus status = callAction(kOfxActionInstanceChanged, args.get(), nullptr);
  callAction(kOfxActionEndInstanceChanged, bracket.get(), nullptr);
  if (std::string(reason) == kOfxChangeUserEdited) deliverPluginEdits();
  return status;
}

void EffectInstance::notePluginEdit(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  pendingEdits_.push_back(name);
}

int EffectInstance::deliverPluginEdits() {
  int delivered = 0;
  for (int round = 0; round < kMaxEditRounds && alive_; ++round) {
    std::vector<std::string> edits;
    {
      std::lock_guard<std::mutex> lock(mu_);
      edits.swap(pendingEdits_);
    }
    if (edits.empty()) break;
    for (const auto& name : edits) {
      reportChange(name, kOfxChangePluginEdited);
      ++delivered;
    }
  }
  return delivered;
}

void EffectInstance::setSource(FrameSource source) {
  auto clip = this->clip(kOfxImageEffectSimpleSourceClipName);
  if (!clip) throw HostError("the effect has no Source clip");
  clip->setSource(std::move(source));
}

void EffectInstance::setSourceFrameRange(double first, double last) {
  auto clip = this->clip(kOfxImageEffectSimpleSourceClipName);
  if (!clip) throw HostError("the effect has no Source clip");
  clip->properties().setDoubles(kOfxImageEffectPropFrameRange, {first, last});
}

void EffectInstance::setSourceFrameRate(double rate) {
  auto clip = this->clip(kOfxImageEffectSimpleSourceClipName);
  if (!clip) throw HostError("the effect has no Source clip");
  clip->properties().setDoubles(kOfxImageEffectPropFrameRate, {rate});
}

void EffectInstance::setClipAvailable(const std::string& name, bool available) {
  std::lock_guard<std::mutex> lock(mu_);
  unavailableClips_[name] = !available;
}

OfxStatus EffectInstance::getImage(Clip& clip, OfxTime time, OfxPropertySetHandle* image) {
  std::shared_ptr<ImageBuffer> pixels;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (unavailableClips_[clip.name()]) return kOfxStatFailed;
    if (clip.isOutput()) {
      auto it = outputs_.find(std::this_thread::get_id());
      if (it == outputs_.end()) return kOfxStatFailed;  // output images exist only while rendering
      pixels = it->second;
    }
  }
  if (!clip.isOutput()) pixels = clip.fetch(time);
  if (!pixels) return kOfxStatFailed;

  auto record = std::make_shared<ImageRecord>();
  record->pixels = pixels;
  record->owner = shared_from_this();
  record->props = PropertySet::create("image of clip " + clip.name());
  PropertySet& p = *record->props;
  const OfxRectI& b = pixels->bounds();
  p.defineString(kOfxPropType, {kOfxTypeImage});
  p.defineString(kOfxImageEffectPropPixelDepth, {pixels->depth()});
  p.defineString(kOfxImageEffectPropComponents, {kOfxImageComponentRGBA});
  p.defineString(kOfxImageEffectPropPreMultiplication, {kOfxImagePreMultiplied});
  p.defineDouble(kOfxImageEffectPropRenderScale, {1.0, 1.0}, 2);
  p.defineDouble(kOfxImagePropPixelAspectRatio, {settings_.pixelAspect});
  p.definePointer(kOfxImagePropData);
  p.set(kOfxImagePropData, 0, pixels->data());
  p.defineInt(kOfxImagePropBounds, {b.x1, b.y1, b.x2, b.y2}, 4);
  p.defineInt(kOfxImagePropRegionOfDefinition, {b.x1, b.y1, b.x2, b.y2}, 4);
  p.defineInt(kOfxImagePropRowBytes, {pixels->rowBytes()});
  p.defineString(kOfxImagePropField, {kOfxImageFieldNone});
  p.defineString(kOfxImagePropUniqueIdentifier, {clip.name() + "@" + std::to_string(time)});

  auto token = reinterpret_cast<std::uintptr_t>(p.handle());
  images().add(token, record);
  {
    std::lock_guard<std::mutex> lock(mu_);
    liveImages_.push_back(token);
    ++ledger_.fetched;
    ++ledger_.outstanding;
  }
  *image = p.handle();
  return kOfxStatOK;
}

OfxStatus EffectInstance::releaseImage(const void* image) {
  auto record = images().take(image);
  if (!record) {
    ++gStrayReleases;
    return kOfxStatErrBadHandle;
  }
  auto token = reinterpret_cast<std::uintptr_t>(image);
  record->props->retire();
  if (auto owner = record->owner.lock()) {
    std::lock_guard<std::mutex> lock(owner->mu_);
    auto& live = owner->liveImages_;
    live.erase(std::remove(live.begin(), live.end(), token), live.end());
    ++owner->ledger_.released;
    --owner->ledger_.outstanding;
  }
  return kOfxStatOK;
}

ImageLedger EffectInstance::ledger() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ledger_;
}

RenderResult EffectInstance::render(OfxTime time, std::optional<OfxRectI> window, double scale) {
  RenderResult result;
  if (!alive_) {
    result.status = kOfxStatErrBadHandle;
    return result;
  }
  OfxRectI w = window.value_or(OfxRectI{
      static_cast<int>(std::lround(settings_.offsetX * scale / settings_.pixelAspect)),
      static_cast<int>(std::lround(settings_.offsetY * scale)),
      static_cast<int>(std::lround((settings_.offsetX + settings_.projectWidth) * scale / settings_.pixelAspect)),
      static_cast<int>(std::lround((settings_.offsetY + settings_.projectHeight) * scale))});
  return renderInto(time, ImageBuffer::allocate(w, settings_.depth), scale);
}

RenderResult EffectInstance::renderInto(OfxTime time, std::shared_ptr<ImageBuffer> output, double scale) {
  if (!output) throw HostError("renderInto needs an output image");
  const OfxRectI whole = output->bounds();
  return renderWindows(time, std::move(output), {whole}, 1, scale);
}

RenderResult EffectInstance::renderWindows(OfxTime time, std::shared_ptr<ImageBuffer> output,
                                           const std::vector<OfxRectI>& windows, int threads, double scale) {
  RenderResult result;
  if (!alive_) {
    result.status = kOfxStatErrBadHandle;
    return result;
  }
  if (!output) throw HostError("renderWindows needs an output image");
  result.output = std::move(output);
  Arguments sequence("sequence render arguments");
  defineSequenceArguments(*sequence.set, time, scale);
  callAction(kOfxImageEffectActionBeginSequenceRender, sequence.get(), nullptr);

  std::atomic<std::size_t> next{0};
  std::mutex statusMu;
  OfxStatus status = kOfxStatOK;
  auto work = [&] {
    {
      std::lock_guard<std::mutex> lock(mu_);
      outputs_[std::this_thread::get_id()] = result.output;
    }
    for (std::size_t i; (i = next++) < windows.size();) {
      Arguments args("render arguments");
      defineRenderArguments(*args.set, time, windows[i], scale);
      OfxStatus st = callAction(kOfxImageEffectActionRender, args.get(), nullptr);
      std::lock_guard<std::mutex> lock(statusMu);
      if (status == kOfxStatOK) status = st;
    }
    std::lock_guard<std::mutex> lock(mu_);
    outputs_.erase(std::this_thread::get_id());
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& th : pool) th.join();

  callAction(kOfxImageEffectActionEndSequenceRender, sequence.get(), nullptr);
  result.status = status;
  return result;
}

std::vector<OfxRectI> rowBands(const OfxRectI& rect, int count) {
  std::vector<OfxRectI> bands;
  const long long rows = std::max(0LL, static_cast<long long>(rect.y2) - rect.y1);
  for (int i = 0; i < count; ++i)
    bands.push_back(OfxRectI{rect.x1, static_cast<int>(rect.y1 + rows * i / count), rect.x2,
                             static_cast<int>(rect.y1 + rows * (i + 1) / count)});
  return bands;
}

std::map<std::string, std::string> EffectInstance::clipPreferences(OfxStatus* status) {
  Arguments out("clip preferences");
  for (const auto& c : clips()) {
    out->defineString("OfxImageClipPropComponents_" + c->name(), {kOfxImageComponentRGBA});
    out->defineString("OfxImageClipPropDepth_" + c->name(), {settings_.depth});
    out->defineDouble("OfxImageClipPropPAR_" + c->name(), {settings_.pixelAspect});
  }
  out->defineDouble(kOfxImageEffectPropFrameRate, {settings_.frameRate});
  out->defineString(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
  out->defineString(kOfxImageEffectPropPreMultiplication, {kOfxImageOpaque});
  out->defineInt(kOfxImageClipPropContinuousSamples, {0});
  out->defineInt(kOfxImageEffectFrameVarying, {0});
  OfxStatus s = callAction(kOfxImageEffectActionGetClipPreferences, nullptr, out.get());
  if (status) *status = s;
  std::map<std::string, std::string> strings;
  for (const auto& name : out->names()) {
    const char* value = nullptr;
    if (out->get(name.c_str(), 0, &value) == kOfxStatOK) strings[name] = value;
  }
  return strings;
}

std::shared_ptr<Overlay> EffectInstance::createOverlay() {
  auto overlay = Overlay::create(shared_from_this());
  if (overlay) {
    std::lock_guard<std::mutex> lock(mu_);
    overlays_.push_back(overlay);
  }
  return overlay;
}

}  // namespace ofxhost
