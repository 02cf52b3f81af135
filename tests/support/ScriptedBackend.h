#pragma once
// An HTTP server on 127.0.0.1 standing in for the matting backend: it
// records every request and answers as scripted.

#include <httplib.h>
#include <stb_image_write.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// The server answers the five calls of a job as scripted (a beacon, like
// the start, is any other POST): by default every call succeeds, the first poll
// says COMPLETED and frame k's matte is greyPng(matteValue(k)).
class ScriptedBackend {
 public:
  explicit ScriptedBackend(const std::string& session = "s1") : create_{ok("{\"session_id\":\"" + session + "\"}")} {
    const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      Reply reply = answer(req);
      std::unique_lock<std::mutex> lock(mu_);
      if (reply.stall) cv_.wait_for(lock, std::chrono::seconds(30), [this] { return stopping_; });
      ++answered_;
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
    server_.Get(".*", handler).Post(".*", handler).Put(".*", handler).Delete(".*", handler);
    server_.set_keep_alive_timeout(1).set_tcp_nodelay(true);  // idle connections must not hold up stop()
    // The server reports running before it starts its pool's threads; a
    // test that counts the process's threads waits for the pool itself.
    server_.new_task_queue = [this] {
      auto* pool = new httplib::ThreadPool(CPPHTTPLIB_THREAD_POOL_COUNT);
      poolStarted_ = true;
      return pool;
    };
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 5000 && !poolStarted_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
  // The answer at "/", where the command asks whether a backend is ours; not recorded.
  void onRoot(Reply reply) { set(root_, std::move(reply)); }

  // The requests with this method whose path contains `part`.
  std::vector<Request> requests(const std::string& method = "", const std::string& part = "") const {
    std::vector<Request> found;
    std::lock_guard<std::mutex> lock(mu_);
    for (const Request& r : seen_)
      if ((method.empty() || r.method == method) && r.path.find(part) != std::string::npos) found.push_back(r);
    return found;
  }
  // The requests whose handler has returned.
  int answered() const {
    std::lock_guard<std::mutex> lock(mu_);
    return answered_;
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
    if (req.method == "GET" && req.path == "/") return root_;
    seen_.push_back(Request{req.method, req.path, req.body, req.headers, std::chrono::steady_clock::now()});
    cv_.notify_all();
    const auto number = [&] { return std::atoi(req.path.c_str() + req.path.rfind('/') + 1); };  // ".../frames/7"
    if (req.method == "PUT") return Reply{upload_(number(), ++attempts_[number()]), "{}"};
    if (req.method == "DELETE") return Reply{204, ""};
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
  std::atomic<bool> poolStarted_{false};
  int answered_ = 0;
  std::vector<Request> seen_;
  Reply create_, start_ = ok("{}"), root_{200, "prismhollow-backend scripted; sessions: 0", "text/plain"};
  std::function<int(int, int)> upload_ = [](int, int) { return 200; };
  std::map<int, int> attempts_;
  std::vector<Reply> polls_{ok(R"({"status":"COMPLETED"})")};
  std::size_t nextPoll_ = 0;
  std::function<Reply(int)> matte_ = [](int frame) { return Reply{200, greyPng(matteValue(frame)), "image/png"}; };
};
