#pragma once
// What the plug-in told the user through the message suite.

#include <mutex>
#include <string>
#include <vector>

namespace ofxhost {

struct Message {
  std::string type;              // kOfxMessageMessage, kOfxMessageError, ...
  std::string id;                // empty when the plug-in gave none
  std::string text;              // the formatted text
  const void* handle = nullptr;  // the effect the plug-in posted it with
};

class MessageLog {
 public:
  void add(Message message) {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.push_back(std::move(message));
  }
  std::vector<Message> all() const {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<Message> messages_;
};

}  // namespace ofxhost
