// The suites the host offers: image effect, property, parameter, interact
// and message (version 1), and progress (versions 1 and 2). Each call finds
// its objects by handle and answers kOfxStatErrBadHandle for a handle that
// is not (or no longer) live, so a plug-in's mistake never touches freed
// memory.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <type_traits>
#include <vector>

#include "Handles.h"
#include "Host.h"
#include "Instance.h"
#include "Overlay.h"
#include "ofxImageEffect.h"
#include "ofxInteract.h"
#include "ofxMessage.h"
#include "ofxParam.h"
#include "ofxProgress.h"
#include "ofxProperty.h"

namespace ofxhost {

namespace {

std::atomic<std::thread::id> gHostThread{std::this_thread::get_id()};
std::thread::id hostThread() { return gHostThread.load(); }

// Failure injection: a call the host was told to fail answers
// kOfxStatFailed before it does anything.
#define OFXHOST_INJECTED_FAILURE(call) \
  if (Host* host = Host::current(); host && host->shouldFail(call)) return kOfxStatFailed

// ---------------------------------------------------------------- property

template <class T>
OfxStatus propSet(OfxPropertySetHandle handle, const char* name, int index, T value, const char* call) {
  OFXHOST_INJECTED_FAILURE(call);
  auto set = findPropertySet(handle);
  if (!set) return kOfxStatErrBadHandle;
  OfxStatus status = set->set(name, index, value);
  if (status == kOfxStatOK) set->notePluginWrite(name);
  return status;
}

template <class T>
OfxStatus propSetN(OfxPropertySetHandle handle, const char* name, int count, const T* values, PropType type,
                   const char* call) {
  OFXHOST_INJECTED_FAILURE(call);
  auto set = findPropertySet(handle);
  if (!set) return kOfxStatErrBadHandle;
  if (count > 0 && !values) return kOfxStatErrValue;
  if constexpr (std::is_same_v<T, const char*>)
    for (int i = 0; i < count; ++i)
      if (!values[i]) return kOfxStatErrValue;  // refused whole, before anything changes
  OfxStatus status = set->prepareCount(name, type, count);
  for (int i = 0; status == kOfxStatOK && i < count; ++i) status = set->set(name, i, values[i]);
  if (status == kOfxStatOK) set->notePluginWrite(name);
  return status;
}

template <class T>
OfxStatus propGet(OfxPropertySetHandle handle, const char* name, int index, T* value, const char* call) {
  OFXHOST_INJECTED_FAILURE(call);
  if (!value) return kOfxStatErrValue;
  auto set = findPropertySet(handle);
  if (!set) return kOfxStatErrBadHandle;
  return set->get(name, index, value);
}

template <class T>
OfxStatus propGetN(OfxPropertySetHandle handle, const char* name, int count, T* values, const char* call) {
  OFXHOST_INJECTED_FAILURE(call);
  if (count > 0 && !values) return kOfxStatErrValue;
  auto set = findPropertySet(handle);
  if (!set) return kOfxStatErrBadHandle;
  for (int i = 0; i < count; ++i)
    if (OfxStatus status = set->get(name, i, &values[i]); status != kOfxStatOK) return status;
  return kOfxStatOK;
}

OfxStatus propSetPointer(OfxPropertySetHandle h, const char* n, int i, void* v) {
  return propSet(h, n, i, v, "propSetPointer");
}
OfxStatus propSetString(OfxPropertySetHandle h, const char* n, int i, const char* v) {
  return propSet(h, n, i, v, "propSetString");
}
OfxStatus propSetDouble(OfxPropertySetHandle h, const char* n, int i, double v) {
  return propSet(h, n, i, v, "propSetDouble");
}
OfxStatus propSetInt(OfxPropertySetHandle h, const char* n, int i, int v) { return propSet(h, n, i, v, "propSetInt"); }
OfxStatus propSetPointerN(OfxPropertySetHandle h, const char* n, int c, void* const* v) {
  return propSetN(h, n, c, v, PropType::Pointer, "propSetPointerN");
}
OfxStatus propSetStringN(OfxPropertySetHandle h, const char* n, int c, const char* const* v) {
  return propSetN(h, n, c, v, PropType::String, "propSetStringN");
}
OfxStatus propSetDoubleN(OfxPropertySetHandle h, const char* n, int c, const double* v) {
  return propSetN(h, n, c, v, PropType::Double, "propSetDoubleN");
}
OfxStatus propSetIntN(OfxPropertySetHandle h, const char* n, int c, const int* v) {
  return propSetN(h, n, c, v, PropType::Int, "propSetIntN");
}
OfxStatus propGetPointer(OfxPropertySetHandle h, const char* n, int i, void** v) {
  return propGet(h, n, i, v, "propGetPointer");
}
OfxStatus propGetString(OfxPropertySetHandle h, const char* n, int i, char** v) {
  return propGet(h, n, i, const_cast<const char**>(v), "propGetString");
}
OfxStatus propGetDouble(OfxPropertySetHandle h, const char* n, int i, double* v) {
  return propGet(h, n, i, v, "propGetDouble");
}
OfxStatus propGetInt(OfxPropertySetHandle h, const char* n, int i, int* v) { return propGet(h, n, i, v, "propGetInt"); }
OfxStatus propGetPointerN(OfxPropertySetHandle h, const char* n, int c, void** v) {
  return propGetN(h, n, c, v, "propGetPointerN");
}
OfxStatus propGetStringN(OfxPropertySetHandle h, const char* n, int c, char** v) {
  return propGetN(h, n, c, const_cast<const char**>(v), "propGetStringN");
}
OfxStatus propGetDoubleN(OfxPropertySetHandle h, const char* n, int c, double* v) {
  return propGetN(h, n, c, v, "propGetDoubleN");
}
OfxStatus propGetIntN(OfxPropertySetHandle h, const char* n, int c, int* v) {
  return propGetN(h, n, c, v, "propGetIntN");
}
OfxStatus propReset(OfxPropertySetHandle h, const char* n) {
  OFXHOST_INJECTED_FAILURE("propReset");
  auto set = findPropertySet(h);
  return set ? set->reset(n) : kOfxStatErrBadHandle;
}
OfxStatus propGetDimension(OfxPropertySetHandle h, const char* n, int* count) {
  OFXHOST_INJECTED_FAILURE("propGetDimension");
  if (!count) return kOfxStatErrValue;
  auto set = findPropertySet(h);
  return set ? set->dimension(n, count) : kOfxStatErrBadHandle;
}

const OfxPropertySuiteV1 kPropertySuite = {
    propSetPointer,  propSetString,  propSetDouble,  propSetInt,    propSetPointerN, propSetStringN,
    propSetDoubleN,  propSetIntN,    propGetPointer, propGetString, propGetDouble,   propGetInt,
    propGetPointerN, propGetStringN, propGetDoubleN, propGetIntN,   propReset,       propGetDimension,
};

// ------------------------------------------------------------ image effect

OfxStatus getPropertySet(OfxImageEffectHandle effect, OfxPropertySetHandle* props) {
  OFXHOST_INJECTED_FAILURE("getPropertySet");
  if (!props) return kOfxStatErrValue;
  auto e = findEffect(effect);
  if (!e) return kOfxStatErrBadHandle;
  *props = e->properties().handle();
  return kOfxStatOK;
}

OfxStatus getParamSet(OfxImageEffectHandle effect, OfxParamSetHandle* params) {
  OFXHOST_INJECTED_FAILURE("getParamSet");
  if (!params) return kOfxStatErrValue;
  auto e = findEffect(effect);
  if (!e) return kOfxStatErrBadHandle;
  *params = e->params().handle();
  return kOfxStatOK;
}

OfxStatus clipDefine(OfxImageEffectHandle effect, const char* name, OfxPropertySetHandle* props) {
  OFXHOST_INJECTED_FAILURE("clipDefine");
  auto d = std::dynamic_pointer_cast<EffectDescriptor>(findEffect(effect));
  if (!d) return findEffect(effect) ? kOfxStatErrUnsupported : kOfxStatErrBadHandle;
  std::shared_ptr<Clip> clip;
  OfxStatus status = d->defineClip(name, &clip);
  if (status == kOfxStatOK && props) *props = clip->properties().handle();
  return status;
}

OfxStatus clipGetHandle(OfxImageEffectHandle effect, const char* name, OfxImageClipHandle* clip,
                        OfxPropertySetHandle* props) {
  OFXHOST_INJECTED_FAILURE("clipGetHandle");
  if (!clip || !name) return kOfxStatErrValue;
  auto instance = findInstance(effect);
  if (!instance) return findEffect(effect) ? kOfxStatErrUnsupported : kOfxStatErrBadHandle;
  auto c = instance->clip(name);
  if (!c) return kOfxStatErrUnknown;
  *clip = c->handle();
  if (props) *props = c->properties().handle();
  return kOfxStatOK;
}

OfxStatus clipGetPropertySet(OfxImageClipHandle clip, OfxPropertySetHandle* props) {
  OFXHOST_INJECTED_FAILURE("clipGetPropertySet");
  if (!props) return kOfxStatErrValue;
  auto c = findClip(clip);
  if (!c) return kOfxStatErrBadHandle;
  *props = c->properties().handle();
  return kOfxStatOK;
}

OfxStatus clipGetImage(OfxImageClipHandle clip, OfxTime time, const OfxRectD*, OfxPropertySetHandle* image) {
  if (image) *image = nullptr;  // no image on any failure, injected ones included
  OFXHOST_INJECTED_FAILURE("clipGetImage");
  if (!image) return kOfxStatErrValue;
  auto c = findClip(clip);
  if (!c) return kOfxStatErrBadHandle;
  auto owner = c->owner();
  if (!owner || !owner->alive()) return kOfxStatErrBadHandle;
  return owner->getImage(*c, time, image);
}

OfxStatus clipReleaseImage(OfxPropertySetHandle image) {
  OFXHOST_INJECTED_FAILURE("clipReleaseImage");
  return EffectInstance::releaseImage(image);
}

OfxStatus clipGetRegionOfDefinition(OfxImageClipHandle clip, OfxTime, OfxRectD* bounds) {
  OFXHOST_INJECTED_FAILURE("clipGetRegionOfDefinition");
  if (!bounds) return kOfxStatErrValue;
  auto c = findClip(clip);
  if (!c) return kOfxStatErrBadHandle;
  auto owner = c->owner();
  if (!owner) return kOfxStatErrBadHandle;
  const InstanceSettings& s = owner->settings();
  *bounds = OfxRectD{s.offsetX, s.offsetY, s.offsetX + s.projectWidth, s.offsetY + s.projectHeight};
  return kOfxStatOK;
}

int abortRender(OfxImageEffectHandle) { return 0; }

// Image memory: plain heap blocks, 16-byte aligned, that do not move.
struct MemoryBlock {
  void* data = nullptr;
  int locks = 0;
  ~MemoryBlock() { std::free(data); }
};

HandleTable<MemoryBlock>& memoryBlocks() {
  static HandleTable<MemoryBlock> table;
  return table;
}

OfxStatus imageMemoryAlloc(OfxImageEffectHandle, size_t bytes, OfxImageMemoryHandle* memory) {
  OFXHOST_INJECTED_FAILURE("imageMemoryAlloc");
  if (!memory) return kOfxStatErrValue;
  *memory = nullptr;
  auto block = std::make_shared<MemoryBlock>();
  block->data = std::aligned_alloc(16, (bytes + 15) / 16 * 16 + 16);
  if (!block->data) return kOfxStatErrMemory;
  std::uintptr_t token = newToken();
  memoryBlocks().add(token, block);
  *memory = toHandle<OfxImageMemoryHandle>(token);
  return kOfxStatOK;
}

OfxStatus imageMemoryFree(OfxImageMemoryHandle memory) {
  if (!memoryBlocks().find(memory)) return kOfxStatErrBadHandle;
  memoryBlocks().remove(reinterpret_cast<std::uintptr_t>(memory));
  return kOfxStatOK;
}

OfxStatus imageMemoryLock(OfxImageMemoryHandle memory, void** pointer) {
  if (!pointer) return kOfxStatErrValue;
  auto block = memoryBlocks().find(memory);
  if (!block) return kOfxStatErrBadHandle;
  ++block->locks;
  *pointer = block->data;
  return kOfxStatOK;
}

OfxStatus imageMemoryUnlock(OfxImageMemoryHandle memory) {
  auto block = memoryBlocks().find(memory);
  if (!block) return kOfxStatErrBadHandle;
  if (block->locks > 0) --block->locks;
  return kOfxStatOK;
}

const OfxImageEffectSuiteV1 kImageEffectSuite = {
    getPropertySet,     getParamSet,      clipDefine,       clipGetHandle,
    clipGetPropertySet, clipGetImage,     clipReleaseImage, clipGetRegionOfDefinition,
    abortRender,        imageMemoryAlloc, imageMemoryFree,  imageMemoryLock,
    imageMemoryUnlock,
};

// --------------------------------------------------------------- parameter

OfxStatus paramDefine(OfxParamSetHandle set, const char* type, const char* name, OfxPropertySetHandle* props) {
  OFXHOST_INJECTED_FAILURE("paramDefine");
  auto s = findParamSet(set);
  if (!s) return kOfxStatErrBadHandle;
  if (s->isInstance()) return kOfxStatErrUnsupported;
  std::shared_ptr<Param> param;
  OfxStatus status = s->define(type, name, &param);
  if (status == kOfxStatOK && props) *props = param->properties().handle();
  return status;
}

OfxStatus paramGetHandle(OfxParamSetHandle set, const char* name, OfxParamHandle* param, OfxPropertySetHandle* props) {
  OFXHOST_INJECTED_FAILURE("paramGetHandle");
  if (!param || !name) return kOfxStatErrValue;
  auto s = findParamSet(set);
  if (!s) return kOfxStatErrBadHandle;
  auto p = s->find(name);
  if (!p) return kOfxStatErrUnknown;
  *param = p->handle();
  if (props) *props = p->properties().handle();
  return kOfxStatOK;
}

OfxStatus paramSetGetPropertySet(OfxParamSetHandle set, OfxPropertySetHandle* props) {
  OFXHOST_INJECTED_FAILURE("paramSetGetPropertySet");
  if (!props) return kOfxStatErrValue;
  auto s = findParamSet(set);
  if (!s) return kOfxStatErrBadHandle;
  *props = s->properties().handle();
  return kOfxStatOK;
}

OfxStatus paramGetPropertySet(OfxParamHandle param, OfxPropertySetHandle* props) {
  OFXHOST_INJECTED_FAILURE("paramGetPropertySet");
  if (!props) return kOfxStatErrValue;
  auto p = findParam(param);
  if (!p) return kOfxStatErrBadHandle;
  *props = p->properties().handle();
  return kOfxStatOK;
}

std::atomic<int> gStringReadsOffHostThread{0};
std::atomic<long long> gSetterDelayMs{0};

// A call on a parameter of an instance whose host side is gone: strict
// hosts crash here ("pure virtual method called"); ours too, saying why.
void checkOwner(const Param& p, const char* call) {
  if (p.ownerGone && p.ownerGone->load()) {
    std::fprintf(stderr, "ofxhost: %s on a parameter of an instance the host has already destroyed\n", call);
    std::abort();
  }
}

// One pointer per component, typed by the parameter's type.
OfxStatus readValue(const Param& p, va_list args) {
  if (p.holdsInt()) {
    int* out = va_arg(args, int*);
    if (!out) return kOfxStatErrValue;
    *out = p.intValue();
  } else if (p.holdsDouble()) {
    double* out = va_arg(args, double*);
    if (!out) return kOfxStatErrValue;
    *out = p.doubleValue();
  } else if (p.holdsString()) {
    const char** out = va_arg(args, const char**);
    if (!out) return kOfxStatErrValue;
    *out = p.stringValue();
  } else {
    return kOfxStatErrUnsupported;  // push buttons hold no value
  }
  return kOfxStatOK;
}

OfxStatus writeValue(Param& p, va_list args) {
  if (p.holdsInt()) {
    p.setInt(va_arg(args, int));
  } else if (p.holdsDouble()) {
    p.setDouble(va_arg(args, double));
  } else if (p.holdsString()) {
    const char* value = va_arg(args, const char*);
    if (!value) return kOfxStatErrValue;
    p.setString(value);
  } else {
    return kOfxStatErrUnsupported;
  }
  if (p.onPluginEdit) p.onPluginEdit(p.name());
  return kOfxStatOK;
}

OfxStatus paramGetValue(OfxParamHandle param, ...) {
  OFXHOST_INJECTED_FAILURE("paramGetValue");
  auto p = findParam(param);
  if (!p) return kOfxStatErrBadHandle;
  checkOwner(*p, "paramGetValue");
  if (p->holdsString() && std::this_thread::get_id() != hostThread()) ++gStringReadsOffHostThread;
  va_list args;
  va_start(args, param);
  OfxStatus status = readValue(*p, args);
  va_end(args);
  return status;
}

// Values do not animate in this host: every time has the one value.
OfxStatus paramGetValueAtTime(OfxParamHandle param, OfxTime time, ...) {
  OFXHOST_INJECTED_FAILURE("paramGetValueAtTime");
  auto p = findParam(param);
  if (!p) return kOfxStatErrBadHandle;
  va_list args;
  va_start(args, time);
  OfxStatus status = readValue(*p, args);
  va_end(args);
  return status;
}

OfxStatus paramGetDerivative(OfxParamHandle param, OfxTime time, ...) {
  auto p = findParam(param);
  if (!p) return kOfxStatErrBadHandle;
  if (!p->holdsDouble()) return kOfxStatErrUnsupported;
  va_list args;
  va_start(args, time);
  double* out = va_arg(args, double*);
  va_end(args);
  if (!out) return kOfxStatErrValue;
  *out = 0.0;
  return kOfxStatOK;
}

OfxStatus paramGetIntegral(OfxParamHandle param, OfxTime time1, OfxTime time2, ...) {
  auto p = findParam(param);
  if (!p) return kOfxStatErrBadHandle;
  if (!p->holdsDouble()) return kOfxStatErrUnsupported;
  va_list args;
  va_start(args, time2);
  double* out = va_arg(args, double*);
  va_end(args);
  if (!out) return kOfxStatErrValue;
  *out = p->doubleValue() * (time2 - time1);
  return kOfxStatOK;
}

OfxStatus paramSetValue(OfxParamHandle param, ...) {
  OFXHOST_INJECTED_FAILURE("paramSetValue");
  auto p = findParam(param);
  if (!p) return kOfxStatErrBadHandle;
  checkOwner(*p, "paramSetValue");
  if (const long long ms = gSetterDelayMs.load(); ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    checkOwner(*p, "paramSetValue, finishing,");
  }
  va_list args;
  va_start(args, param);
  OfxStatus status = writeValue(*p, args);
  va_end(args);
  return status;
}

OfxStatus paramSetValueAtTime(OfxParamHandle param, OfxTime time, ...) {
  OFXHOST_INJECTED_FAILURE("paramSetValueAtTime");
  auto p = findParam(param);
  if (!p) return kOfxStatErrBadHandle;
  va_list args;
  va_start(args, time);
  OfxStatus status = writeValue(*p, args);
  va_end(args);
  return status;
}

OfxStatus paramGetNumKeys(OfxParamHandle param, unsigned int* keys) {
  if (!findParam(param)) return kOfxStatErrBadHandle;
  if (!keys) return kOfxStatErrValue;
  *keys = 0;
  return kOfxStatOK;
}

OfxStatus paramGetKeyTime(OfxParamHandle param, unsigned int, OfxTime*) {
  return findParam(param) ? kOfxStatErrBadIndex : kOfxStatErrBadHandle;
}

OfxStatus paramGetKeyIndex(OfxParamHandle param, OfxTime, int, int*) {
  return findParam(param) ? kOfxStatFailed : kOfxStatErrBadHandle;
}

OfxStatus paramDeleteKey(OfxParamHandle param, OfxTime) {
  return findParam(param) ? kOfxStatErrBadIndex : kOfxStatErrBadHandle;
}

OfxStatus paramDeleteAllKeys(OfxParamHandle param) { return findParam(param) ? kOfxStatOK : kOfxStatErrBadHandle; }

OfxStatus paramCopy(OfxParamHandle to, OfxParamHandle from, OfxTime, const OfxRangeD*) {
  auto t = findParam(to);
  auto f = findParam(from);
  if (!t || !f) return kOfxStatErrBadHandle;
  if (t->kind() != f->kind()) return kOfxStatErrValue;
  if (f->holdsInt()) t->setInt(f->intValue());
  if (f->holdsDouble()) t->setDouble(f->doubleValue());
  if (f->holdsString()) t->setString(f->stringValue());
  if (t->onPluginEdit) t->onPluginEdit(t->name());
  return kOfxStatOK;
}

OfxStatus paramEditBegin(OfxParamSetHandle set, const char*) {
  return findParamSet(set) ? kOfxStatOK : kOfxStatErrBadHandle;
}

OfxStatus paramEditEnd(OfxParamSetHandle set) { return findParamSet(set) ? kOfxStatOK : kOfxStatErrBadHandle; }

const OfxParameterSuiteV1 kParameterSuite = {
    paramDefine,         paramGetHandle,     paramSetGetPropertySet, paramGetPropertySet, paramGetValue,
    paramGetValueAtTime, paramGetDerivative, paramGetIntegral,       paramSetValue,       paramSetValueAtTime,
    paramGetNumKeys,     paramGetKeyTime,    paramGetKeyIndex,       paramDeleteKey,      paramDeleteAllKeys,
    paramCopy,           paramEditBegin,     paramEditEnd,
};

// ---------------------------------------------------------------- interact

OfxStatus interactSwapBuffers(OfxInteractHandle interact) {
  OFXHOST_INJECTED_FAILURE("interactSwapBuffers");
  auto o = findOverlay(interact);
  if (!o) return kOfxStatErrBadHandle;
  o->noteSwap();
  return kOfxStatOK;
}

OfxStatus interactRedraw(OfxInteractHandle interact) {
  OFXHOST_INJECTED_FAILURE("interactRedraw");
  auto o = findOverlay(interact);
  if (!o) return kOfxStatErrBadHandle;
  o->noteRedraw();
  return kOfxStatOK;
}

OfxStatus interactGetPropertySet(OfxInteractHandle interact, OfxPropertySetHandle* props) {
  OFXHOST_INJECTED_FAILURE("interactGetPropertySet");
  if (!props) return kOfxStatErrValue;
  auto o = findOverlay(interact);
  if (!o) return kOfxStatErrBadHandle;
  *props = o->properties().handle();
  return kOfxStatOK;
}

const OfxInteractSuiteV1 kInteractSuite = {interactSwapBuffers, interactRedraw, interactGetPropertySet};

// ----------------------------------------------------------------- message

OfxStatus message(void* handle, const char* type, const char* id, const char* format, ...) {
  OFXHOST_INJECTED_FAILURE("message");
  if (!type || !format) return kOfxStatErrValue;
  Host* host = Host::current();
  if (handle) {
    auto effect = findInstance(handle);
    if (effect)
      host = &effect->plugin().host();
    else if (!findEffect(handle))
      return kOfxStatErrBadHandle;
  }
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    text.assign(buffer.data(), static_cast<std::size_t>(length));
  }
  va_end(again);
  // As hosts do: a message names the effect it is about, or it only reaches
  // the console and the user never sees it.
  if (!handle) {
    std::fprintf(stderr, "ofxhost: a message without an effect: %s\n", text.c_str());
    return kOfxStatErrBadHandle;
  }
  if (host) host->messages().add(Message{type, id ? id : "", text, handle});
  // Nobody is there to answer a question in a headless host.
  return std::strcmp(type, kOfxMessageQuestion) == 0 ? kOfxStatReplyNo : kOfxStatOK;
}

const OfxMessageSuiteV1 kMessageSuite = {message};

// ---------------------------------------------------------------- progress

// Records a progress call about a live instance; kOfxStatReplyNo for an
// update the user cancelled.
OfxStatus noteProgress(void* handle, ProgressCall call) {
  auto effect = findInstance(handle);
  if (!effect) return kOfxStatErrBadHandle;
  call.handle = handle;
  return effect->plugin().host().progress().add(std::move(call)) ? kOfxStatReplyNo : kOfxStatOK;
}

OfxStatus progressStart(void* handle, const char* label) {
  OFXHOST_INJECTED_FAILURE("progressStart");
  if (!label) return kOfxStatErrValue;
  return noteProgress(handle, ProgressCall{"start", label, 0, nullptr});
}

OfxStatus progressStartV2(void* handle, const char* message, const char* /*messageId*/) {
  return progressStart(handle, message);
}

OfxStatus progressUpdate(void* handle, double fraction) {
  OFXHOST_INJECTED_FAILURE("progressUpdate");
  return noteProgress(handle, ProgressCall{"update", "", fraction, nullptr});
}

OfxStatus progressEnd(void* handle) {
  OFXHOST_INJECTED_FAILURE("progressEnd");
  return noteProgress(handle, ProgressCall{"end", "", 0, nullptr});
}

const OfxProgressSuiteV1 kProgressSuite = {progressStart, progressUpdate, progressEnd};
const OfxProgressSuiteV2 kProgressSuiteV2 = {progressStartV2, progressUpdate, progressEnd};

}  // namespace

void noteHostThread() { gHostThread = std::this_thread::get_id(); }
int stringReadsOffHostThread() { return gStringReadsOffHostThread.load(); }
void setSlowSetter(std::chrono::milliseconds delay) { gSetterDelayMs = delay.count(); }

const void* fetchSuite(OfxPropertySetHandle hostHandle, const char* name, int version) {
  Host* host = findHost(hostHandle);
  if (!host || !name || !host->offersSuite(name)) return nullptr;
  if (std::strcmp(name, kOfxProgressSuite) == 0)
    return version == 1 ? static_cast<const void*>(&kProgressSuite) : version == 2 ? &kProgressSuiteV2 : nullptr;
  if (version != 1) return nullptr;
  if (std::strcmp(name, kOfxImageEffectSuite) == 0) return &kImageEffectSuite;
  if (std::strcmp(name, kOfxPropertySuite) == 0) return &kPropertySuite;
  if (std::strcmp(name, kOfxParameterSuite) == 0) return &kParameterSuite;
  if (std::strcmp(name, kOfxInteractSuite) == 0) return &kInteractSuite;
  if (std::strcmp(name, kOfxMessageSuite) == 0) return &kMessageSuite;
  return nullptr;
}

}  // namespace ofxhost
