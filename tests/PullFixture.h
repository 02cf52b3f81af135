#pragma once
// Whole-clip pulls through our host and the real bundle against a scripted
// backend: clips of synthetic frames, presses that wait out a pull still
// ending, and the record of every value the plug-in writes.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Host.h"
#include "Instance.h"
#include "Plugin.h"
#include "ScriptedBackend.h"

inline const std::string kQuickBundle = ORV_QUICK_BUNDLE_DIR;  // 20 ms polls, 1.5 s of silence
inline const std::string kRealBundle = ORV_BUNDLE_DIR;
inline const std::string kRoot = "/tmp/prismhollow/";
inline const std::string kBusy = "Prismhollow: a matte is already being pulled.";

using Texts = std::vector<std::string>;

inline std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Frame k's picture: four flat quadrants, told apart by green and blue, and
// frames by red. y counts from the top of the picture.
inline std::array<unsigned char, 4> patternAt(int frame, int x, int y, int w, int h) {
  const int q = (x >= w / 2) + 2 * (y >= h / 2);
  return {static_cast<unsigned char>(20 + 20 * (frame % 10)), static_cast<unsigned char>(30 + 60 * q),
          static_cast<unsigned char>(220 - 60 * q), 255};
}

inline std::shared_ptr<ofxhost::ImageBuffer> patternFrame(int frame, const OfxRectI& b, int padding = 0,
                                                          bool topDown = false) {
  auto image = ofxhost::ImageBuffer::allocate(b, kOfxBitDepthByte, padding, topDown);
  const int w = b.x2 - b.x1, h = b.y2 - b.y1;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      auto c = patternAt(frame, x, y, w, h);
      std::copy(c.begin(), c.end(), image->pixel(b.x1 + x, b.y2 - 1 - y));  // OpenFX rows go up
    }
  return image;
}

// True once the last request is a poll (or a matte download).
inline bool polling(const std::vector<Request>& seen) { return !seen.empty() && seen.back().method == "GET"; }

// Checks `done` every 2 ms until it holds; false after `limit`.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

// Waits for a child process to end; kills it after `limit` and says so.
inline bool waitChild(pid_t pid, std::chrono::seconds limit, int* status) {
  if (waitUntil([&] { return waitpid(pid, status, WNOHANG) != 0; }, limit)) return true;
  kill(pid, SIGKILL);
  waitpid(pid, status, 0);
  return false;
}

// Every value the plug-in sets, in order, as (parameter, text) pairs; the
// text is empty for parameters that are not strings.
class EditLog {
 public:
  void attach(ofxhost::EffectInstance& fx) {
    for (const auto& param : fx.params().params()) {
      ofxhost::Param* p = param.get();  // the parameter owns the hook
      auto previous = p->onPluginEdit;
      p->onPluginEdit = [this, p, previous](const std::string& name) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          edits_.emplace_back(name, p->holdsString() ? p->stringValue() : "");
        }
        if (previous) previous(name);
      };
    }
  }
  std::vector<std::pair<std::string, std::string>> all() const {
    std::lock_guard<std::mutex> lock(mu_);
    return edits_;
  }
  Texts values(const std::string& name) const {
    Texts found;
    for (const auto& [param, value] : all())
      if (param == name) found.push_back(value);
    return found;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<std::string, std::string>> edits_;
};

class PullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    session = "pull-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    backend = std::make_unique<ScriptedBackend>(session);
    ASSERT_TRUE(backend->ready());
    uploadsBefore = uploadDirs();
    host = std::make_unique<ofxhost::Host>();
    plugin = &host->loadPlugin(bundle());
  }
  virtual std::string bundle() const { return kQuickBundle; }
  void TearDown() override {
    host.reset();  // instances first: their workers stop at their next step
    backend.reset();
    std::error_code ec;
    for (const auto& dir : newUploadDirs(uploadsBefore)) std::filesystem::remove_all(dir, ec);
    for (const auto& dir : madeDirs) std::filesystem::remove_all(dir, ec);
    std::filesystem::remove_all(kRoot + session, ec);
  }

  // An instance with a Source of `frames` pattern frames from time `first`,
  // pointed at the backend; the project is the frames' rectangle.
  std::shared_ptr<ofxhost::EffectInstance> clip(int frames, int w = 32, int h = 24, double first = 0) {
    ofxhost::InstanceSettings settings;
    settings.projectWidth = w, settings.projectHeight = h;
    auto fx = plugin->makeInstance(settings);
    fx->setValue("backend_url", "");  // no start-up beacon
    EXPECT_EQ(fx->create(), kOfxStatOK);
    fx->setValue("backend_url", backend->url());
    fx->setSourceFrameRange(first, first + frames - 1);
    fx->setSource([first, w, h](OfxTime t) { return patternFrame(static_cast<int>(t - first), OfxRectI{0, 0, w, h}); });
    edits.attach(*fx);
    return fx;
  }

  // Presses a button; messages() then starts with what that press brought.
  OfxStatus press(ofxhost::EffectInstance& fx, const std::string& button) {
    markMessages();
    return fx.pressButton(button);
  }
  void markMessages() { mark = host->messages().all().size(); }

  // Presses "Pull alpha", again while the pull before is still ending (5 s
  // at most).
  OfxStatus pull(ofxhost::EffectInstance& fx) {
    OfxStatus status = kOfxStatFailed;
    waitUntil([&] { return (status = press(fx, "pull_alpha"), messages() != Texts{kBusy}); }, std::chrono::seconds(5));
    return status;
  }

  static bool waitStatus(const ofxhost::EffectInstance& fx, const std::string& text) {
    return waitUntil([&] { return fx.stringValue("status") == text; });
  }

  // Waits until the job has ended, with its final status and its message;
  // returns the status.
  std::string settle(const ofxhost::EffectInstance& fx, std::chrono::seconds limit = std::chrono::seconds(10)) const {
    const auto ended = [&] {
      const std::string status = fx.stringValue("status");
      return (status.rfind("ready: ", 0) == 0 || status.rfind("failed: ", 0) == 0) && !messages().empty();
    };
    const bool done = waitUntil(ended, limit);
    return (done ? "" : "still running: ") + fx.stringValue("status");
  }

  // The messages posted since the last press.
  Texts messages() const {
    Texts texts;
    const auto all = host->messages().all();
    for (std::size_t i = mark; i < all.size(); ++i) texts.push_back(all[i].text);
    return texts;
  }

  // How many sessions the backend was asked to create.
  std::size_t creates() const {
    std::size_t n = 0;
    for (const Request& r : backend->requests()) n += r.method == "POST" && r.path == "/api/matte/sessions";
    return n;
  }

  static std::set<std::string> uploadDirs() {
    std::set<std::string> dirs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kRoot, ec))
      if (entry.path().filename().string().rfind("upload_", 0) == 0) dirs.insert(entry.path().string());
    return dirs;
  }
  static Texts newUploadDirs(const std::set<std::string>& before) {
    Texts fresh;
    for (const auto& dir : uploadDirs())
      if (!before.count(dir)) fresh.push_back(dir);
    return fresh;
  }
  // The names of the files in dir, sorted.
  static Texts filesIn(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) names.insert(entry.path().filename());
    return {names.begin(), names.end()};
  }

  std::string session;
  std::unique_ptr<ScriptedBackend> backend;  // outlives the host's instances
  std::unique_ptr<ofxhost::Host> host;
  ofxhost::Plugin* plugin = nullptr;
  EditLog edits;
  std::size_t mark = 0;
  std::set<std::string> uploadsBefore;
  Texts madeDirs;  // other folders to remove afterwards
};
