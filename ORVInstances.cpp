// Which instances are alive, for the plug-in's own threads: the host may
// destroy an instance while the matting worker still holds its handle.

#include <mutex>
#include <set>

#include "ORVPlugin.h"

namespace {

std::mutex gLiveMu;  // held across each of the worker's host calls on an instance
std::set<OfxImageEffectHandle> gLive;

}  // namespace

void instanceCreated(OfxImageEffectHandle instance) {
  std::lock_guard<std::mutex> lock(gLiveMu);
  gLive.insert(instance);
}

void instanceDestroyed(OfxImageEffectHandle instance) {
  std::lock_guard<std::mutex> lock(gLiveMu);  // waits for a host call in progress
  gLive.erase(instance);
}

bool withLiveInstance(OfxImageEffectHandle instance, const std::function<void()>& work) {
  std::lock_guard<std::mutex> lock(gLiveMu);
  if (!gLive.count(instance)) return false;
  work();
  return true;
}

void setString(OfxImageEffectHandle instance, const char* name, const std::string& value) {
  gParam->paramSetValue(fetchParam(instance, name), value.c_str());
}

void postMessage(const std::string& text) {
  if (gMessage) gMessage->message(nullptr, kOfxMessageMessage, nullptr, "%s", text.c_str());
}
