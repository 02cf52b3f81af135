#pragma once
// Private to the plug-in binary: what its sources share. Nothing declared
// here is exported; the library's only public symbols are OfxGetPlugin and
// OfxGetNumberOfPlugins.

#include <atomic>
#include <functional>
#include <string>

#include "ofxCore.h"
#include "ofxImageEffect.h"
#include "ofxInteract.h"
#include "ofxMessage.h"
#include "ofxParam.h"
#include "ofxProperty.h"

// The host and its suites, written once by setHost before any action and
// read from every thread afterwards.
extern OfxHost* gHost;
extern const OfxImageEffectSuiteV1* gEffect;
extern const OfxPropertySuiteV1* gProp;
extern const OfxParameterSuiteV1* gParam;
extern const OfxInteractSuiteV1* gInteract;
extern const OfxMessageSuiteV1* gMessage;

// The overlay's main entry, handed to the host by the description.
OfxStatus overlayEntryPoint(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                            OfxPropertySetHandle outArgs);

// The current text of an instance's string parameter, or "" when there is none.
std::string get_string(OfxImageEffectHandle instance, const char* name);

// The two describe actions.
OfxStatus describe(OfxImageEffectHandle descriptor);
OfxStatus describeInContext(OfxImageEffectHandle descriptor);

// Renders one frame: kOfxStatOK once written, kOfxStatFailed when an image
// cannot be fetched.
OfxStatus render(OfxImageEffectHandle instance, OfxPropertySetHandle inArgs);

// The start-up beacon's thread body: posts the plug-in's version, host,
// system and processor to url + "/api/beacon" and ignores the answer. Never
// throws, so it can run on a detached thread.
void beaconToBackend(std::string url) noexcept;

namespace orv {
OfxStatus overlayMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle outArgs);
}

// True once the host process is exiting: the plug-in's own threads stop.
extern std::atomic<bool> gExiting;

// Runs work on a detached thread of the plug-in's own, which a process exit
// stops and waits for; false when no thread could be started.
bool startDetached(std::function<void()> work);
