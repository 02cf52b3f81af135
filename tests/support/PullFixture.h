#pragma once
// Whole-clip pulls through our host and the real bundle against a scripted
// matting backend, with a record of every value the plug-in writes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "Host.h"
#include "Instance.h"
#include "Plugin.h"
#include "ScriptedBackend.h"
#include "TestSupport.h"

using Edit = std::pair<std::string, std::string>;

inline const std::string kQuickBundle = ORV_QUICK_BUNDLE_DIR;  // 20 ms polls, 1.5 s of silence, 1 s below the speed floor
inline const std::string& kRoot = kStagingRoot;
inline const std::string kBusy = "Prismhollow: a matte is already being pulled.";

// Frame k: four flat quadrants told apart by green and blue, frames by red.
inline std::shared_ptr<ofxhost::ImageBuffer> patternFrame(int frame, const OfxRectI& b, int padding = 0,
                                                          bool topDown = false) {
  auto image = ofxhost::ImageBuffer::allocate(b, kOfxBitDepthByte, padding, topDown);
  const int w = b.x2 - b.x1, h = b.y2 - b.y1;
  for (int y = 0; y < h; ++y)  // y counts from the top; OpenFX rows go up
    for (int x = 0; x < w; ++x) {
      const int q = (x >= w / 2) + 2 * (y >= h / 2);
      unsigned char* px = image->pixel(b.x1 + x, b.y2 - 1 - y);
      px[0] = static_cast<unsigned char>(20 + 20 * (frame % 10)), px[1] = static_cast<unsigned char>(30 + 60 * q);
      px[2] = static_cast<unsigned char>(220 - 60 * q), px[3] = 255;
    }
  return image;
}

// True once the last request is a poll (or a matte download).
inline bool polling(const std::vector<Request>& seen) { return !seen.empty() && seen.back().method == "GET"; }

class PullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    session = "pull-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    // These tests read and tamper with the whole staging root.
    if (!hasPrivateTmp()) GTEST_SKIP() << "no private staging root here: it needs a mount namespace";
    backend = std::make_unique<ScriptedBackend>(session);
    uploadsBefore = uploadDirs();
    host = std::make_unique<ofxhost::Host>();
    plugin = &host->loadPlugin(bundle());
  }
  virtual std::string bundle() const { return kQuickBundle; }
  void TearDown() override {
    host.reset();  // instances first: their workers stop at their next step
    backend.reset();
    std::error_code ec;
    for (const auto& dir : madeDirs) std::filesystem::remove_all(dir, ec);
    std::filesystem::remove_all(kRoot + session, ec);
  }

  // An instance whose Source is `frames` pattern frames from time `first`,
  // pointed at the backend; every value it sets goes to `edits`.
  std::shared_ptr<ofxhost::EffectInstance> clip(int frames, int w = 32, int h = 24, double first = 0) {
    ofxhost::InstanceSettings settings;
    settings.projectWidth = w, settings.projectHeight = h;
    auto fx = plugin->makeInstance(settings);
    fx->setValue("backend_url", "");  // no start-up beacon
    EXPECT_EQ(fx->create(), kOfxStatOK);
    fx->setValue("backend_url", backend->url());
    fx->setSourceFrameRange(first, first + frames - 1);
    fx->setSource([first, w, h](OfxTime t) { return patternFrame(static_cast<int>(t - first), OfxRectI{0, 0, w, h}); });
    for (const auto& param : fx->params().params()) {
      ofxhost::Param* p = param.get();
      p->onPluginEdit = [this, p, previous = p->onPluginEdit](const std::string& name) {
        {
          std::lock_guard<std::mutex> lock(editsMu);
          edits.emplace_back(name, p->holdsString() ? p->stringValue() : "");
        }
        if (previous) previous(name);
      };
    }
    return fx;
  }
  std::vector<Edit> editsSince(std::size_t from = 0) const {
    std::lock_guard<std::mutex> lock(editsMu);
    return {edits.begin() + static_cast<std::ptrdiff_t>(from), edits.end()};
  }
  // The values set to `name` since edit `from`.
  Texts values(const std::string& name, std::size_t from = 0) const {
    Texts found;
    for (const auto& [param, value] : editsSince(from))
      if (param == name) found.push_back(value);
    return found;
  }

  // Presses a button; messages() then lists what that press brought.
  OfxStatus press(ofxhost::EffectInstance& fx, const std::string& button) {
    mark = host->messages().all().size();
    return fx.pressButton(button);
  }
  // Presses "Pull alpha", again while the pull before is still ending (5 s at most).
  OfxStatus pull(ofxhost::EffectInstance& fx) {
    OfxStatus status = kOfxStatFailed;
    waitUntil([&] { return (status = press(fx, "pull_alpha"), messages() != Texts{kBusy}); }, std::chrono::seconds(5));
    return status;
  }
  // Waits until the job has ended with its final status and message; returns the status.
  std::string settle(ofxhost::EffectInstance& fx, std::chrono::seconds limit = std::chrono::seconds(10)) const {
    const bool done = waitUntil(
        [&] {
          fx.syncPrivateData();  // as a viewer redraws
          const std::string status = fx.stringValue("status");
          return (status.rfind("ready: ", 0) == 0 || status.rfind("failed: ", 0) == 0) && !messages().empty();
        },
        limit);
    return (done ? "" : "still running: ") + fx.stringValue("status");
  }
  std::string job(ofxhost::EffectInstance& fx) { return pull(fx), settle(fx); }

  // The messages posted since the last press.
  Texts messages() const {
    Texts texts;
    const auto all = host->messages().all();
    for (std::size_t i = mark; i < all.size(); ++i) texts.push_back(all[i].text);
    return texts;
  }
  // Each request as "METHOD path".
  Texts calls() const {
    Texts found;
    for (const Request& r : backend->requests()) found.push_back(r.method + " " + r.path);
    return found;
  }
  static std::set<std::string> uploadDirs() {
    std::set<std::string> dirs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kRoot, ec))
      if (entry.path().filename().string().rfind("upload_", 0) == 0) dirs.insert(entry.path().string());
    return dirs;
  }
  // The staging folders made since `before`.
  Texts newUploadDirs(const std::set<std::string>& before) const {
    Texts fresh;
    for (const auto& dir : uploadDirs())
      if (!before.count(dir)) fresh.push_back(dir);
    return fresh;
  }
  Texts newUploadDirs() const { return newUploadDirs(uploadsBefore); }

  std::string session;
  std::unique_ptr<ScriptedBackend> backend;  // outlives the host's instances
  std::unique_ptr<ofxhost::Host> host;
  ofxhost::Plugin* plugin = nullptr;
  mutable std::mutex editsMu;
  std::vector<Edit> edits;
  std::size_t mark = 0;
  std::set<std::string> uploadsBefore;
  Texts madeDirs;  // other folders to remove afterwards
};
