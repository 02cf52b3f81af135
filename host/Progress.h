#pragma once
// What the plug-in showed on the host's progress bar, and the user's cancel:
// a log of every progress call, and the update from which the host answers
// "stop" (kOfxStatReplyNo), as a user pressing the bar's cancel button.

#include <mutex>
#include <string>
#include <vector>

namespace ofxhost {

struct ProgressCall {
  std::string call;              // "start", "update" or "end"
  std::string label;             // of a start
  double fraction = 0;           // of an update
  const void* handle = nullptr;  // the effect the plug-in named
  bool operator==(const ProgressCall& o) const {
    return call == o.call && label == o.label && fraction == o.fraction && handle == o.handle;
  }
};

class ProgressLog {
 public:
  // Every update from the n-th after a start on (counted from 1) is answered
  // "stop"; 0, the default, never.
  void cancelAtUpdate(int n) {
    std::lock_guard<std::mutex> lock(mu_);
    cancelAt_ = n;
  }
  // Records the call; for an update, true when it is to be answered "stop".
  bool add(ProgressCall call) {
    std::lock_guard<std::mutex> lock(mu_);
    if (call.call == "start") updates_ = 0;
    const bool update = call.call == "update";
    if (update) ++updates_;
    const bool stop = update && cancelAt_ > 0 && updates_ >= cancelAt_;
    calls_.push_back(std::move(call));
    return stop;
  }
  std::vector<ProgressCall> all() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<ProgressCall> calls_;
  int cancelAt_ = 0;
  int updates_ = 0;
};

}  // namespace ofxhost
