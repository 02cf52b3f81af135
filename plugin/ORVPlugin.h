#pragma once
// Private to the plug-in binary: what its sources share. Nothing declared
// here is exported; the library's only public symbols are OfxGetPlugin and
// OfxGetNumberOfPlugins.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "ofxCore.h"
#include "ofxImageEffect.h"
#include "ofxInteract.h"
#include "ofxMessage.h"
#include "ofxParam.h"
#include "ofxProgress.h"
#include "ofxProperty.h"

// The host and its suites, written once by setHost before any action and
// read from every thread afterwards.
extern OfxHost* gHost;
extern const OfxImageEffectSuiteV1* gEffect;
extern const OfxPropertySuiteV1* gProp;
extern const OfxParameterSuiteV1* gParam;
extern const OfxInteractSuiteV1* gInteract;
extern const OfxMessageSuiteV1* gMessage;
extern const OfxMessageSuiteV2* gMessageV2;  // null where the host has no persistent messages
extern const OfxProgressSuiteV1* gProgress;  // null when the host shows no progress bar

// The overlay's main entry, handed to the host by the description.
OfxStatus overlayEntryPoint(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                            OfxPropertySetHandle outArgs);

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

// The overlay's actions: drawing the selection and editing it with the pen.
OfxStatus overlayMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle outArgs);

// Runs an action's body; an exception leaving it becomes the action's
// status, since none may cross into the host.
OfxStatus statusOf(const std::function<OfxStatus()>& action);

// True once the host process is exiting: the plug-in's own threads stop.
extern std::atomic<bool> gExiting;

// Runs work on a thread of the plug-in's own, joined once it has finished
// (when the next one starts, or at the process's exit, which waits for it
// briefly); false when no thread could be started.
bool runOnOwnThread(std::function<void()> work);

// ------------------------------------------------------------ whole-clip pull

// One pull per process at a time, across all instances: taken by the pull
// command, released by whoever ends the pull.
extern std::atomic<bool> gBusy;

// What the pull command hands to the worker thread, which owns it.
struct PullJob {
  OfxImageEffectHandle instance = nullptr;  // not owned; used only while alive
  unsigned long long generation = 0;        // tells the instance from a later one at the same address
  std::string backendUrl;
  std::string uploadDir;  // ends in "/"; removed with what is left in it when the job ends
  int frameCount = 1;
  double fps = 25.0;
  std::string startBody;
  std::string clipStart;  // the clip's first frame, written with the session it belongs to
  std::uint64_t largestFramePixels = 0;  // of the Source frames staged: bounds a matte's size
  std::string previousSession;  // the instance's session when pressed: its frames may serve again
};


// The pull command: stages the Source clip's frames and starts the worker.
void pullAlpha(OfxImageEffectHandle instance, double time);
// The worker thread's body.
void runPullJob(PullJob job);
// "OfxActionInstanceChanged": the three buttons.
OfxStatus onInstanceChanged(OfxImageEffectHandle instance, OfxPropertySetHandle inArgs);

// Instances the host has created and not yet destroyed. Hosts may hand a
// new instance the address of a destroyed one, so each creation gets a
// generation of its own, never 0.
void instanceCreated(OfxImageEffectHandle instance);
void instanceDestroyed(OfxImageEffectHandle instance);
// The generation of a live instance; 0 when the host never created it.
unsigned long long instanceGeneration(OfxImageEffectHandle instance);
// Runs work while that very instance is alive; false (and work not run)
// when it is gone, even if another now lives at its address, or when the
// process is exiting.
bool withLiveInstance(OfxImageEffectHandle instance, unsigned long long generation, const std::function<void()>& work);
// Whether withLiveInstance would run its work now.
bool instanceAlive(OfxImageEffectHandle instance, unsigned long long generation);
// The worker's parameter edits and messages for its instance wait until
// the host calls an action in which a plug-in may set values (instance
// changed and its begin and end, sync private data, the overlay's actions)
// and are applied then, in order, on the host's thread: the worker itself
// makes no host call on the instance, so no destroy can meet one half done
// (hosts tear their side of an instance down before they say so), and no
// host that hands setters to its interface thread waits on it. False when
// the instance is gone.
bool queueEdit(OfxImageEffectHandle instance, unsigned long long generation, const char* param, std::string value);
bool queueMessage(OfxImageEffectHandle instance, unsigned long long generation, std::string text);
void applyQueuedEdits(OfxImageEffectHandle instance);

// The matte session render reads: session_id and clip_start as last read or
// written on the host's thread (at creation, when either changes, when the
// plug-in writes them), so that render threads never call the host's string
// getter, which some hosts lend from one buffer per parameter.
struct MatteSession {
  std::string session, clipStart;
  std::string folder;  // the session's mattes (contract::matte_folder), "" for none
};
MatteSession matteSession(OfxImageEffectHandle instance);
void noteMatteSession(OfxImageEffectHandle instance);
// Writes a string parameter on the host's thread; session_id and clip_start
// reach render's copy first.
void writeParam(OfxImageEffectHandle instance, const char* name, const std::string& value);

// Runs work while no thread of the plug-in's own is inside a host call.
void whileNoHostCall(const std::function<void()>& work);
// At process exit: waits for a host call in progress, briefly, and lets no
// other start.
void endHostCalls();

// A message to the user about an instance: "OfxMessageMessage", format
// "%s"; dropped when the host has no message suite. Hosts show a message
// only with the handle of the instance it is about.
void postMessage(OfxImageEffectHandle instance, const std::string& text);
// Removes a staging folder and every file left in it.
void removeFolder(const std::string& dir);

