// Which instances are alive, for the plug-in's own threads: the host may
// destroy an instance while the matting worker still holds its handle, and
// create another at the same address. The same guard keeps the host's
// suites from changing under such a thread's host call, and ends those calls
// for good once the process exits.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "ORVParams.h"
#include "ORVPlugin.h"
#include "contract/files.h"

namespace {

// A parameter value to set, or (param empty) a message to post.
struct Edit {
  std::string param;
  std::string value;
};

// A worker that waits this long for a host action is in a host that never
// lets it set values; its oldest status lines give way first.
constexpr std::size_t kMostQueued = 256;

struct Instance {
  unsigned long long generation = 0;
  std::deque<Edit> queued;  // the worker's edits, until an action applies them
  MatteSession session;     // what render reads
};

// Never destroyed: a thread that outlives the exit handlers may still ask.
struct Registry {
  std::mutex mu;  // held across each host call of the plug-in's own threads
  std::map<OfxImageEffectHandle, Instance> live;  // each live instance
  unsigned long long lastGeneration = 0;
  std::atomic<bool> hostGone{false};  // the process is exiting: no host call starts any more
};
Registry& registry() {
  static Registry* const r = new Registry;
  return *r;
}

bool queue(OfxImageEffectHandle instance, unsigned long long generation, Edit edit) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.live.find(instance);
  if (r.hostGone || generation == 0 || it == r.live.end() || it->second.generation != generation) return false;
  std::deque<Edit>& queued = it->second.queued;
  if (queued.size() >= kMostQueued) {
    const auto status = std::find_if(queued.begin(), queued.end(), [](const Edit& e) { return e.param == param::kStatus; });
    if (status != queued.end()) queued.erase(status);
  }
  queued.push_back(std::move(edit));
  return true;
}

// The session as the instance holds it now, and where its mattes are: the
// staging root is looked up here, on the host's thread, not per render.
MatteSession heldSession(OfxImageEffectHandle instance) {
  MatteSession held{readString(instance, param::kSessionId), readString(instance, param::kClipStart), ""};
  held.folder = contract::matte_folder(held.session);
  return held;
}

}  // namespace

void instanceCreated(OfxImageEffectHandle instance) {
  MatteSession session = heldSession(instance);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.live[instance] = Instance{++r.lastGeneration, {}, std::move(session)};
}

bool queueEdit(OfxImageEffectHandle instance, unsigned long long generation, const char* param, std::string value) {
  return queue(instance, generation, Edit{param, std::move(value)});
}

bool queueMessage(OfxImageEffectHandle instance, unsigned long long generation, std::string text) {
  return queue(instance, generation, Edit{"", std::move(text)});
}

void applyQueuedEdits(OfxImageEffectHandle instance) {
  std::deque<Edit> edits;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.live.find(instance);
    if (it == r.live.end()) return;
    edits.swap(it->second.queued);
  }
  for (const Edit& edit : edits) {
    if (edit.param.empty())
      postMessage(instance, edit.value);
    else
      writeParam(instance, edit.param.c_str(), edit.value);
  }
}

MatteSession matteSession(OfxImageEffectHandle instance) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.live.find(instance);
  return it == r.live.end() ? MatteSession{} : it->second.session;
}

void noteMatteSession(OfxImageEffectHandle instance) {
  MatteSession session = heldSession(instance);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.live.find(instance);
  if (it != r.live.end()) it->second.session = std::move(session);
}

void writeParam(OfxImageEffectHandle instance, const char* name, const std::string& value) {
  const bool session = std::strcmp(name, param::kSessionId) == 0, start = std::strcmp(name, param::kClipStart) == 0;
  if (session || start) {  // render sees the value before the host hears of it
    const std::string folder = session ? contract::matte_folder(value) : "";
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.live.find(instance);
    if (it != r.live.end() && session) it->second.session.session = value, it->second.session.folder = folder;
    if (it != r.live.end() && start) it->second.session.clipStart = value;
  }
  writeString(instance, name, value);
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
  return it == r.live.end() ? 0 : it->second.generation;
}

bool instanceAlive(OfxImageEffectHandle instance, unsigned long long generation) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.live.find(instance);
  return !r.hostGone && generation != 0 && it != r.live.end() && it->second.generation == generation;
}

bool withLiveInstance(OfxImageEffectHandle instance, unsigned long long generation, const std::function<void()>& work) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.live.find(instance);
  if (r.hostGone || generation == 0 || it == r.live.end() || it->second.generation != generation) return false;
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
