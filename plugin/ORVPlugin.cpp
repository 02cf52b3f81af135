// The plug-in's face towards the host: the exported entry points, the
// host's suites, and the dispatch of every action by name.

#include "ORVPlugin.h"

#include <cstring>
#include <new>
#include <string>

#include "ORVParams.h"
#include "orv/backend.h"

OfxHost* gHost = nullptr;
const OfxImageEffectSuiteV1* gEffect = nullptr;
const OfxPropertySuiteV1* gProp = nullptr;
const OfxParameterSuiteV1* gParam = nullptr;
const OfxInteractSuiteV1* gInteract = nullptr;
const OfxMessageSuiteV1* gMessage = nullptr;
const OfxMessageSuiteV2* gMessageV2 = nullptr;
const OfxProgressSuiteV1* gProgress = nullptr;

namespace {

void setHost(OfxHost* host) {
  // A thread left running by an earlier load may be inside a host call:
  // the suites change only between such calls.
  whileNoHostCall([host] {
    gHost = host;
    gEffect = nullptr, gProp = nullptr, gParam = nullptr, gInteract = nullptr, gMessage = nullptr, gMessageV2 = nullptr,
    gProgress = nullptr;
    if (!host || !host->fetchSuite) return;
    const auto fetch = [host](const char* name, int version) { return host->fetchSuite(host->host, name, version); };
    gEffect = static_cast<const OfxImageEffectSuiteV1*>(fetch(kOfxImageEffectSuite, 1));
    gProp = static_cast<const OfxPropertySuiteV1*>(fetch(kOfxPropertySuite, 1));
    gParam = static_cast<const OfxParameterSuiteV1*>(fetch(kOfxParameterSuite, 1));
    gInteract = static_cast<const OfxInteractSuiteV1*>(fetch(kOfxInteractSuite, 1));
    gMessage = static_cast<const OfxMessageSuiteV1*>(fetch(kOfxMessageSuite, 1));
    gMessageV2 = static_cast<const OfxMessageSuiteV2*>(fetch(kOfxMessageSuite, 2));
    gProgress = static_cast<const OfxProgressSuiteV1*>(fetch(kOfxProgressSuite, 1));
  });
}

// Without the image-effect, property and parameter suites the effect can do
// nothing at all; without messages or interacts it only stays silent or
// draws no overlay.
bool hostIsUsable() { return gEffect && gProp && gParam; }

// The output is the character premultiplied by its matte, or the matte; in
// "Source (bypass)" it is the source itself, premultiplied as that is.
OfxStatus getClipPreferences(OfxImageEffectHandle instance, OfxPropertySetHandle outArgs) {
  constexpr int kBypass = 2;
  std::string premultiplication = kOfxImagePreMultiplied;
  if (readParam(instance, param::kOutputMode, 0) == kBypass) {
    OfxImageClipHandle clip = nullptr;
    OfxPropertySetHandle clipProps = nullptr;
    gEffect->clipGetHandle(instance, kOfxImageEffectSimpleSourceClipName, &clip, &clipProps);
    if (!clipProps && clip) gEffect->clipGetPropertySet(clip, &clipProps);
    char* source = nullptr;
    if (clipProps && gProp->propGetString(clipProps, kOfxImageEffectPropPreMultiplication, 0, &source) == kOfxStatOK &&
        source && *source)
      premultiplication = source;
  }
  gProp->propSetString(outArgs, kOfxImageEffectPropPreMultiplication, 0, premultiplication.c_str());
  return kOfxStatOK;
}

// Every creation with an http(s) backend address sends one beacon, on a
// thread of its own that gets nothing of the instance but a copy of the
// address, so creation never waits for the network. Creation succeeds even
// when no thread can be started: the beacon is not worth refusing an instance.
// A host that gives the instance no string parameters (some demo hosts do)
// leaves it only passing the source through; the user is told so here, once,
// and persistently where the host's message suite is version 2.
OfxStatus createInstance(OfxImageEffectHandle instance) {
  try {
    instanceCreated(instance);
    if (!holdsStrings(instance)) {
      const char* text =
          "Prismhollow: this host gives the effect no string parameters, so it cannot hold a selection or a "
          "matte; the source passes through unchanged.";
      if (!gMessageV2 || !gMessageV2->setPersistentMessage ||
          gMessageV2->setPersistentMessage(instance, kOfxMessageWarning, nullptr, "%s", text) != kOfxStatOK)
        postMessage(instance, text);
    }
    std::string url = readString(instance, param::kBackendUrl);
    if (orv::is_backend_address(url)) runOnOwnThread([url = std::move(url)] { beaconToBackend(url); });
  } catch (...) {
  }
  return kOfxStatOK;
}

OfxStatus dispatch(const char* action, const void* handle, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  if (std::strcmp(action, kOfxActionLoad) == 0) return hostIsUsable() ? kOfxStatOK : kOfxStatErrMissingHostFeature;
  if (std::strcmp(action, kOfxActionUnload) == 0) return kOfxStatOK;
  if (!hostIsUsable()) return kOfxStatErrMissingHostFeature;
  if (std::strcmp(action, kOfxActionDescribe) == 0) return describe(effect);
  if (std::strcmp(action, kOfxImageEffectActionDescribeInContext) == 0) return describeInContext(effect);
  if (std::strcmp(action, kOfxActionCreateInstance) == 0) return createInstance(effect);
  if (std::strcmp(action, kOfxActionDestroyInstance) == 0) {
    instanceDestroyed(effect);
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxImageEffectActionGetClipPreferences) == 0) return getClipPreferences(effect, outArgs);
  if (std::strcmp(action, kOfxImageEffectActionRender) == 0) return render(effect, inArgs);
  if (std::strcmp(action, kOfxActionInstanceChanged) == 0) return onInstanceChanged(effect, inArgs);
  // Actions in which the host lets a plug-in set values: the worker's edits go in.
  if (std::strcmp(action, kOfxActionSyncPrivateData) == 0 || std::strcmp(action, kOfxActionBeginInstanceChanged) == 0 ||
      std::strcmp(action, kOfxActionEndInstanceChanged) == 0) {
    applyQueuedEdits(effect);
    return kOfxStatReplyDefault;
  }
  return kOfxStatReplyDefault;
}

OfxStatus pluginMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                     OfxPropertySetHandle outArgs) {
  if (!action) return kOfxStatReplyDefault;
  return statusOf([&] { return dispatch(action, handle, inArgs, outArgs); });
}

OfxPlugin gPlugin = {
    kOfxImageEffectPluginApi,
    kOfxImageEffectPluginApiVersion,
    "com.prismhollow.duneveil.ofx",
    1,
    1,
    setHost,
    pluginMain,
};

}  // namespace

OfxStatus statusOf(const std::function<OfxStatus()>& action) {
  try {
    return action();
  } catch (const std::bad_alloc&) {
    return kOfxStatErrMemory;
  } catch (...) {
    return kOfxStatFailed;
  }
}

OfxStatus overlayEntryPoint(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                            OfxPropertySetHandle outArgs) {
  if (!action) return kOfxStatReplyDefault;
  return statusOf([&] { return overlayMain(action, handle, inArgs, outArgs); });
}

// The library's only exported symbols, with C linkage whatever the API
// headers in use declare.
extern "C" __attribute__((visibility("default"))) OfxPlugin* OfxGetPlugin(int) { return &gPlugin; }

extern "C" __attribute__((visibility("default"))) int OfxGetNumberOfPlugins(void) { return 1; }
