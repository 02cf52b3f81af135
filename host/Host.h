#pragma once
// A headless OpenFX host: its own property set and suites, the plug-ins it
// loaded, the messages they posted, and switches that make suites or suite
// calls fail so that a plug-in's handling of a poor host can be tried.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Messages.h"
#include "Plugin.h"
#include "Progress.h"
#include "PropertySet.h"
#include "ofxCore.h"

namespace ofxhost {

class Host {
 public:
  Host();
  // Destroys the plug-ins' live instances, unloads them and closes their
  // binaries.
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // The host whose suites the plug-ins were last given; the message suite
  // posts to it when the plug-in names no instance.
  static Host* current();

  PropertySet& properties() const { return *props_; }
  OfxHost* ofxHost() { return &ofxHost_; }

  // Loads effect number index of the bundle (or .ofx file) at path and
  // describes it. Throws HostError with a clear message on every failure.
  Plugin& loadPlugin(const std::string& path, int index = 0);
  void unloadAll();

  MessageLog& messages() { return messages_; }
  // The progress suite's calls, and the user's cancel of a progress.
  ProgressLog& progress() { return progress_; }

  // Failure injection: a suite that fetchSuite then does not offer, and
  // suite calls (by member name, such as "clipGetImage") that then answer
  // kOfxStatFailed and deliver nothing.
  void removeSuite(const std::string& name);
  void failCall(const std::string& call);
  // Makes a suite call throw out of the host, as a host written in C++
  // might: std::bad_alloc when outOfMemory, std::runtime_error otherwise.
  void throwInCall(const std::string& call, bool outOfMemory);
  void clearFailures();
  // Throws when the call was set to throw; true when it should fail.
  bool shouldFail(const char* call) const;
  bool offersSuite(const std::string& name) const;

  // Makes the next instance take the handle of the instance destroyed last,
  // as a host whose allocator hands a freed address out again does.
  void reuseInstanceHandles(bool on);
  void instanceHandleFreed(std::uintptr_t token);
  // The handle a new instance takes; 0 for a fresh one.
  std::uintptr_t reusableInstanceHandle();

 private:
  std::shared_ptr<PropertySet> props_;
  OfxHost ofxHost_{};
  MessageLog messages_;
  ProgressLog progress_;
  mutable std::mutex mu_;
  std::set<std::string> missingSuites_;
  std::set<std::string> failingCalls_;
  std::set<std::string> throwingCalls_;
  std::set<std::string> exhaustedCalls_;
  std::atomic<bool> injecting_{false};  // any call set to fail: suite calls skip the lock otherwise
  bool reuseHandles_ = false;
  std::uintptr_t freedHandle_ = 0;
  std::vector<std::unique_ptr<Plugin>> plugins_;
};

// The suites, as fetchSuite hands them out (Suites.cpp).
const void* fetchSuite(OfxPropertySetHandle host, const char* name, int version);
Host* findHost(const void* handle);

}  // namespace ofxhost
