#pragma once
// Opaque handles. Every object that the plug-in may name (property sets,
// effects, clips, parameters, images, interacts) is handed out as a token
// that is never dereferenced and never reused (but for an instance's, when
// the host is told to reuse them): a call with a token that was
// never issued, or whose object is gone, finds nothing and is answered with
// kOfxStatErrBadHandle instead of touching freed memory.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace ofxhost {

// A fresh token; tokens are multiples of 16 above 64 KiB, so they look like
// (but are not) aligned pointers.
std::uintptr_t newToken();

template <class T>
class HandleTable {
 public:
  void add(std::uintptr_t token, std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mu_);
    live_[token] = std::move(object);
  }
  std::shared_ptr<T> find(const void* handle) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == live_.end() ? nullptr : it->second;
  }
  // Finds and forgets the object in one step: of two callers racing to take
  // the same handle, exactly one gets the object.
  std::shared_ptr<T> take(const void* handle) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == live_.end()) return nullptr;
    std::shared_ptr<T> taken = std::move(it->second);
    live_.erase(it);
    return taken;
  }
  void remove(std::uintptr_t token) {
    std::shared_ptr<T> doomed;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(token);
    if (it == live_.end()) return;
    doomed = std::move(it->second);
    live_.erase(it);
  }

 private:
  mutable std::mutex mu_;
  std::unordered_map<std::uintptr_t, std::shared_ptr<T>> live_;
};

template <class Handle>
Handle toHandle(std::uintptr_t token) {
  return reinterpret_cast<Handle>(token);
}

}  // namespace ofxhost
