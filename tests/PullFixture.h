#pragma once
// Whole-clip pulls through our host and the real bundle against a scripted
// matting backend, with a record of every value the plug-in writes.

#include <gtest/gtest.h>
#include <httplib.h>
#include <stb_image_write.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "Host.h"
#include "Instance.h"
#include "Plugin.h"

using Texts = std::vector<std::string>;
using Edit = std::pair<std::string, std::string>;

inline const std::string kQuickBundle = ORV_QUICK_BUNDLE_DIR;  // 20 ms polls, 1.5 s of silence, 1 s below the speed floor
inline const std::string kRoot = "/tmp/prismhollow/";
inline const std::string kBusy = "Prismhollow: a matte is already being pulled.";

struct Request {
  std::string method, path, body;
  httplib::Headers headers;
  std::chrono::steady_clock::time_point at;
  // The value of a header sent exactly once, "?" otherwise.
  std::string header(const char* name) const { return headers.count(name) == 1 ? headers.find(name)->second : "?"; }
};

// A stalled answer holds its request until the backend stops; a cut one
// sends the status line and headers, then drops the connection; a trickling
// one sends a byte a second for ever; a location goes into the header.
struct Reply {
  int status = 200;
  std::string body;
  std::string type = "application/json";
  bool stall = false, cut = false, trickle = false;
  std::string location{};
};
inline Reply ok(const std::string& body) { return Reply{200, body}; }

inline unsigned char matteValue(int frame) { return static_cast<unsigned char>((frame * 37 + 11) % 256); }
inline std::string greyPng(unsigned char value) {
  std::vector<unsigned char> pixels(64, value);
  std::string png;
  stbi_write_png_to_func(
      [](void* out, void* data, int size) { static_cast<std::string*>(out)->append(static_cast<char*>(data), size); },
      &png, 8, 8, 1, pixels.data(), 8);
  return png;
}

// An HTTP server on 127.0.0.1 that records every request and answers the five
// calls of a job as scripted: by default every call succeeds, the first poll
// says COMPLETED and frame k's matte is greyPng(matteValue(k)).
class ScriptedBackend {
 public:
  explicit ScriptedBackend(const std::string& session = "s1") : create_{ok("{\"session_id\":\"" + session + "\"}")} {
    const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      Reply reply = answer(req);
      std::unique_lock<std::mutex> lock(mu_);
      if (reply.stall) cv_.wait_for(lock, std::chrono::seconds(30), [this] { return stopping_; });
      res.status = reply.status;
      if (!reply.location.empty()) res.set_header("Location", reply.location);
      if (reply.cut)
        res.set_chunked_content_provider(reply.type, [](std::size_t, httplib::DataSink&) { return false; });
      else if (reply.trickle)
        res.set_chunked_content_provider(reply.type, [this](std::size_t, httplib::DataSink& sink) {
          {
            std::unique_lock<std::mutex> wait(mu_);
            if (cv_.wait_for(wait, std::chrono::seconds(1), [this] { return stopping_; })) return false;
          }
          return sink.write(" ", 1);
        });
      else
        res.set_content(reply.body, reply.type.c_str());
    };
    server_.Get(".*", handler).Post(".*", handler).Put(".*", handler);
    server_.set_keep_alive_timeout(1).set_tcp_nodelay(true);  // idle connections must not hold up stop()
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 5000 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ScriptedBackend() { stop(); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Releases stalled requests and closes the port.
  void stop() {
    set(stopping_, true);
    cv_.notify_all();
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  // Each change restarts the poll answers and the upload attempts.
  void onCreate(Reply reply) { set(create_, std::move(reply)); }
  // The status of upload attempt `attempt` (from 1) of frame `frame`.
  void onUpload(std::function<int(int frame, int attempt)> f) { set(upload_, std::move(f)); }
  void onStart(Reply reply) { set(start_, std::move(reply)); }
  // Answers to the polls, in order; the last one repeats.
  void onPoll(std::vector<Reply> replies) { set(polls_, std::move(replies)); }
  void onMatte(std::function<Reply(int frame)> f) { set(matte_, std::move(f)); }

  // The requests with this method whose path contains `part`.
  std::vector<Request> requests(const std::string& method = "", const std::string& part = "") const {
    std::vector<Request> found;
    std::lock_guard<std::mutex> lock(mu_);
    for (const Request& r : seen_)
      if ((method.empty() || r.method == method) && r.path.find(part) != std::string::npos) found.push_back(r);
    return found;
  }
  // Waits, 10 s at most, until `done` holds for the requests so far.
  bool waitFor(const std::function<bool(const std::vector<Request>&)>& done) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return done(seen_); });
  }

 private:
  template <class T>
  void set(T& field, T value) {
    std::lock_guard<std::mutex> lock(mu_);
    field = std::move(value), nextPoll_ = 0;
    attempts_.clear();
  }
  Reply answer(const httplib::Request& req) {
    std::lock_guard<std::mutex> lock(mu_);
    seen_.push_back(Request{req.method, req.path, req.body, req.headers, std::chrono::steady_clock::now()});
    cv_.notify_all();
    const auto number = [&] { return std::atoi(req.path.c_str() + req.path.rfind('/') + 1); };  // ".../frames/7"
    if (req.method == "PUT") return Reply{upload_(number(), ++attempts_[number()]), "{}"};
    if (req.method == "POST") return req.path == "/api/matte/sessions" ? create_ : start_;
    if (req.path.find("/alpha/") != std::string::npos) return matte_(number());
    return polls_[std::min(nextPoll_++, polls_.size() - 1)];
  }

  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  std::vector<Request> seen_;
  Reply create_, start_ = ok("{}");
  std::function<int(int, int)> upload_ = [](int, int) { return 200; };
  std::map<int, int> attempts_;
  std::vector<Reply> polls_{ok(R"({"status":"COMPLETED"})")};
  std::size_t nextPoll_ = 0;
  std::function<Reply(int)> matte_ = [](int frame) { return Reply{200, greyPng(matteValue(frame)), "image/png"}; };
};

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

// Checks `done` every 2 ms until it holds; false after `limit`.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

// The names of the files in dir, sorted.
inline Texts filesIn(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) names.insert(entry.path().filename());
  return {names.begin(), names.end()};
}

inline std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

class PullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    session = "pull-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    backend = std::make_unique<ScriptedBackend>(session);
    uploadsBefore = uploadDirs();
    host = std::make_unique<ofxhost::Host>();
    plugin = &host->loadPlugin(bundle());
  }
  virtual std::string bundle() const { return kQuickBundle; }
  void TearDown() override {
    host.reset();  // instances first: their workers stop at their next step
    backend.reset();
    // Only what this test made: another run's folders may sit beside them
    // when the process has no /tmp of its own.
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
  std::string settle(const ofxhost::EffectInstance& fx, std::chrono::seconds limit = std::chrono::seconds(10)) const {
    const bool done = waitUntil(
        [&] {
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
