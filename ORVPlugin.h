#pragma once
// Private to the plug-in binary: what its sources share. Nothing declared
// here is exported; the library's only public symbols are OfxGetPlugin and
// OfxGetNumberOfPlugins.

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

namespace orv {
OfxStatus overlayMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle outArgs);
}
