#pragma once
// Effect instances: what a host creates from a described effect, with its
// own property set, parameter values and clips, driven through the actions
// a host sends (create, render, instance changes, destroy).

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Effect.h"
#include "Image.h"

namespace ofxhost {

class Plugin;
class Overlay;

// What the host's project says about the instance.
struct InstanceSettings {
  std::string context = kOfxImageEffectContextFilter;
  double projectWidth = 1920, projectHeight = 1080;
  double offsetX = 0, offsetY = 0;
  double pixelAspect = 1.0;
  double frameRate = 25.0;
  double firstFrame = 0, lastFrame = 0;
  std::string depth = kOfxBitDepthByte;  // of both clips
  // String parameter values the project holds, set before the instance is
  // created (as loading a saved project does).
  std::map<std::string, std::string> strings;
};

struct RenderResult {
  OfxStatus status = kOfxStatFailed;
  std::shared_ptr<ImageBuffer> output;  // what the plug-in wrote
};

// Counts of the images the plug-in fetched and released, so that every
// image is seen going back exactly once.
struct ImageLedger {
  int fetched = 0;
  int released = 0;
  int outstanding = 0;
};

// Releases, by any instance, of handles that were not live images (a second
// release, a made-up handle) since the process started.
int strayImageReleases();

// Hosts that lend a string value from one buffer per parameter are safe to
// ask for strings only on their own thread: the string reads made by any
// other thread (a render thread, a plug-in's own) since the process started.
// The host's own thread is the one that made the last Host (noteHostThread).
int stringReadsOffHostThread();
void noteHostThread();

// A setter that takes this long, as in hosts that update their interface in
// it; 0 (the default) for none.
void setSlowSetter(std::chrono::milliseconds delay);

class EffectInstance : public Effect, public std::enable_shared_from_this<EffectInstance> {
 public:
  // Registers the instance (its handles exist and hold the defaults) without
  // telling the plug-in; create() sends "OfxActionCreateInstance".
  static std::shared_ptr<EffectInstance> make(Plugin& plugin, const EffectDescriptor& described,
                                              const InstanceSettings& settings);
  ~EffectInstance() override;
  bool isDescriptor() const override { return false; }

  OfxStatus create();
  // Sends "OfxActionDestroyInstance" and retires every handle of the
  // instance; later calls with them get kOfxStatErrBadHandle. Idempotent.
  OfxStatus destroy();
  bool alive() const { return alive_; }

  const InstanceSettings& settings() const { return settings_; }
  Plugin& plugin() const { return plugin_; }

  // Runs any action on the instance. in and out may be null.
  OfxStatus callAction(const char* action, PropertySet* in, PropertySet* out);

  // Parameter values as the host holds them.
  std::shared_ptr<Param> param(const std::string& name) const;  // throws HostError if missing
  std::string stringValue(const std::string& name) const;
  int intValue(const std::string& name) const;
  double doubleValue(const std::string& name) const;
  // Sets a value as loading a project does (before creation: nothing is
  // reported) or as an undo or a script does after it: hidden and disabled
  // parameters too, the change reported as "OfxChangeUserEdited".
  void setValue(const std::string& name, const std::string& value);
  void setValue(const std::string& name, const char* value) { setValue(name, std::string(value)); }
  void setValue(const std::string& name, int value);
  void setValue(const std::string& name, double value);

  // Edits as the user makes them in the host's controls: hidden and disabled
  // parameters are refused (kOfxStatErrValue), doubles are clamped to their
  // limits, a choice must be one of its options, a boolean becomes 0 or 1.
  // The change is reported with "OfxChangeUserEdited"; the result is the
  // status of "OfxActionInstanceChanged".
  OfxStatus userEdit(const std::string& name, const std::string& value);
  OfxStatus userEdit(const std::string& name, const char* value) { return userEdit(name, std::string(value)); }
  OfxStatus userEdit(const std::string& name, int value);
  OfxStatus userEdit(const std::string& name, double value);
  OfxStatus pressButton(const std::string& name);
  // "OfxActionSyncPrivateData": the effect brings its parameters up to date
  // with what it holds, as hosts ask before saving a project. Our host's
  // users (the command, the tests) ask as a viewer redraws, to see a job's
  // progress: the plug-in's own threads leave their edits for such actions.
  OfxStatus syncPrivateData() { return callAction(kOfxActionSyncPrivateData, nullptr, nullptr); }
  // The host's current time: what user changes report as kOfxPropTime.
  void setTime(OfxTime time) { time_ = time; }

  // Values that the plug-in set itself wait here and are reported back with
  // "OfxChangePluginEdited" after the user change that caused them, or when
  // the host's owner calls deliverPluginEdits (edits from the plug-in's own
  // threads). Returns how many changes were reported.
  int deliverPluginEdits();
  void notePluginEdit(const std::string& name);

  // Clips.
  void setSource(FrameSource source);
  void setSourceFrameRange(double first, double last);
  void setSourceFrameRate(double rate);
  // Makes a clip deliver no image (an unconnected output, say).
  void setClipAvailable(const std::string& name, bool available);

  // Renders one frame. The window defaults to the project rectangle at the
  // render scale; the output image is allocated to it.
  RenderResult render(OfxTime time, std::optional<OfxRectI> window = std::nullopt, double scale = 1.0);
  // Renders into an output image the caller supplies (padded or top-down
  // rows, say, or one image reused frame after frame); the render window is
  // its bounds.
  RenderResult renderInto(OfxTime time, std::shared_ptr<ImageBuffer> output, double scale = 1.0);
  // Renders one frame into output as hosts with frame threading do: one
  // render call per window, all into the same image, spread over `threads`
  // threads, between one begin and one end of a sequence render. The status
  // is the first failure, or kOfxStatOK.
  RenderResult renderWindows(OfxTime time, std::shared_ptr<ImageBuffer> output, const std::vector<OfxRectI>& windows,
                             int threads, double scale = 1.0);
  // Asks for clip preferences; returns outArgs' string properties by name.
  std::map<std::string, std::string> clipPreferences(OfxStatus* status = nullptr);

  // Image fetching for the image-effect suite.
  OfxStatus getImage(Clip& clip, OfxTime time, OfxPropertySetHandle* image);
  static OfxStatus releaseImage(const void* image);
  ImageLedger ledger() const;

  // An overlay of this instance (null when the effect has none); destroyed
  // at the latest with the instance.
  std::shared_ptr<Overlay> createOverlay();

 private:
  EffectInstance(Plugin& plugin, InstanceSettings settings) : plugin_(plugin), settings_(std::move(settings)) {}
  OfxStatus reportChange(const std::string& name, const char* reason);
  std::shared_ptr<Param> editable(const std::string& name) const;

  Plugin& plugin_;
  InstanceSettings settings_;
  std::atomic<bool> alive_{false};
  std::atomic<bool> destroying_{false};
  std::shared_ptr<std::atomic<bool>> hostSideGone_ = std::make_shared<std::atomic<bool>>(false);
  bool created_ = false;
  std::atomic<OfxTime> time_{0};
  mutable std::mutex mu_;
  std::map<std::string, bool> unavailableClips_;
  std::vector<std::string> pendingEdits_;
  ImageLedger ledger_;
  std::vector<std::uintptr_t> liveImages_;
  std::map<std::thread::id, std::shared_ptr<ImageBuffer>> outputs_;  // per rendering thread
  std::vector<std::shared_ptr<Overlay>> overlays_;                    // destroyed with the instance
};

std::shared_ptr<EffectInstance> findInstance(const void* handle);

// A rectangle cut into `count` bands of rows, bottom to top, as even as the
// rows allow (some empty when there are fewer rows than bands).
std::vector<OfxRectI> rowBands(const OfxRectI& rect, int count);

}  // namespace ofxhost
