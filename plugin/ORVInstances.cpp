// Which instances are alive, for the plug-in's own threads: the host may
// destroy an instance while the matting worker still holds its handle, and
// create another at the same address. The same guard keeps the host's
// suites from changing under such a thread's host call, and ends those calls
// for good once the process exits.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "ORVPlugin.h"

namespace {

// Never destroyed: a thread that outlives the exit handlers may still ask.
struct Registry {
  std::mutex mu;  // held across each host call of the plug-in's own threads
  std::map<OfxImageEffectHandle, unsigned long long> live;  // each live instance with its generation
  unsigned long long lastGeneration = 0;
  std::atomic<bool> hostGone{false};  // the process is exiting: no host call starts any more
};
Registry& registry() {
  static Registry* const r = new Registry;
  return *r;
}

}  // namespace

void instanceCreated(OfxImageEffectHandle instance) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.live[instance] = ++r.lastGeneration;
}

void instanceDestroyed(OfxImageEffectHandle instance) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);  // waits for a host call in progress
  r.live.erase(instance);
}

unsigned long long instanceGeneration(OfxImageEffectHandle instance) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.live.find(instance);
  return it == r.live.end() ? 0 : it->second;
}

bool instanceAlive(OfxImageEffectHandle instance, unsigned long long generation) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.live.find(instance);
  return !r.hostGone && generation != 0 && it != r.live.end() && it->second == generation;
}

bool withLiveInstance(OfxImageEffectHandle instance, unsigned long long generation, const std::function<void()>& work) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.live.find(instance);
  if (r.hostGone || generation == 0 || it == r.live.end() || it->second != generation) return false;
  work();
  return true;
}

void whileNoHostCall(const std::function<void()>& work) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  work();
}

void endHostCalls() {
  Registry& r = registry();
  // A host call that does not return within this time is waiting for the
  // exiting thread itself; exiting goes on without waiting for it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  bool locked = r.mu.try_lock();
  for (; !locked && std::chrono::steady_clock::now() < deadline; locked = r.mu.try_lock())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  r.hostGone = true;
  if (locked) r.mu.unlock();
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
