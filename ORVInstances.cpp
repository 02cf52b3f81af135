// Which instances are alive, for the plug-in's own threads: the host may
// destroy an instance while the matting worker still holds its handle, and
// create another at the same address.

#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "ORVPlugin.h"

namespace {

std::mutex gLiveMu;  // held across each of the worker's host calls on an instance
// Each live instance with its generation.
std::map<OfxImageEffectHandle, unsigned long long> gLive;
unsigned long long gLastGeneration = 0;

}  // namespace

void instanceCreated(OfxImageEffectHandle instance) {
  std::lock_guard<std::mutex> lock(gLiveMu);
  gLive[instance] = ++gLastGeneration;
}

void instanceDestroyed(OfxImageEffectHandle instance) {
  std::lock_guard<std::mutex> lock(gLiveMu);  // waits for a host call in progress
  gLive.erase(instance);
}

unsigned long long instanceGeneration(OfxImageEffectHandle instance) {
  std::lock_guard<std::mutex> lock(gLiveMu);
  auto it = gLive.find(instance);
  return it == gLive.end() ? 0 : it->second;
}

bool withLiveInstance(OfxImageEffectHandle instance, unsigned long long generation, const std::function<void()>& work) {
  std::lock_guard<std::mutex> lock(gLiveMu);
  auto it = gLive.find(instance);
  if (generation == 0 || it == gLive.end() || it->second != generation) return false;
  work();
  return true;
}

void setString(OfxImageEffectHandle instance, const char* name, const std::string& value) {
  gParam->paramSetValue(fetchParam(instance, name), value.c_str());
}

void postMessage(OfxImageEffectHandle instance, const std::string& text) {
  if (gMessage) gMessage->message(instance, kOfxMessageMessage, nullptr, "%s", text.c_str());
}

void removeFolder(const std::string& dir) {
  try {
    std::error_code ec;  // whatever cannot be removed stays; nobody is there to tell
    std::filesystem::remove_all(dir, ec);
  } catch (...) {
  }
}
