#include "ScriptedBackend.h"

#include <stb_image_write.h>

#include <regex>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string Request::header(const char* name) const {
  return headers.count(name) == 1 ? headers.find(name)->second : "?";
}

unsigned char matteValue(int frame) { return static_cast<unsigned char>((frame * 37 + 11) % 256); }

std::string greyPng(unsigned char value, int width, int height) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height, value);
  std::string png;
  stbi_write_png_to_func(
      [](void* out, void* data, int size) {
        static_cast<std::string*>(out)->append(static_cast<const char*>(data), static_cast<std::size_t>(size));
      },
      &png, width, height, 1, pixels.data(), width);
  return png;
}

ScriptedBackend::ScriptedBackend(const std::string& session)
    : create_{200, "{\"session_id\":\"" + session + "\"}"},
      start_{200, "{}"},
      upload_([](int, int) { return 200; }),
      polls_{Reply{200, R"({"status":"COMPLETED"})"}},
      matte_([](int frame) {
        return Reply{200, greyPng(matteValue(frame)), "image/png"};
      }) {
  const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
    Reply reply = answer(req);
    if (reply.stall) {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, 30s, [this] { return stopping_; });
    }
    res.status = reply.status;
    if (reply.cut)
      res.set_chunked_content_provider(reply.type, [](std::size_t, httplib::DataSink&) { return false; });
    else
      res.set_content(reply.body, reply.type.c_str());
  };
  server_.Get(".*", handler).Post(".*", handler).Put(".*", handler);
  server_.set_keep_alive_timeout(1);  // idle connections must not hold up stop()
  server_.set_tcp_nodelay(true);
  port_ = server_.bind_to_any_port("127.0.0.1");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() does nothing until the accept loop runs.
  for (const auto deadline = Clock::now() + 5s; !server_.is_running() && Clock::now() < deadline;)
    std::this_thread::sleep_for(1ms);
}

void ScriptedBackend::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

Reply ScriptedBackend::answer(const httplib::Request& req) {
  static const std::regex kCreate("/api/matte/sessions"), kUpload("/api/matte/sessions/[^/]*/frames/(\\d+)"),
      kStart("/api/matte/sessions/[^/]*/start"), kPoll("/api/matte/sessions/[^/]*"),
      kMatte("/api/matte/sessions/[^/]*/alpha/(\\d+)\\.png");
  std::smatch m;
  std::lock_guard<std::mutex> lock(mu_);
  seen_.push_back(Request{req.method, req.path, req.body, req.headers, Clock::now()});
  cv_.notify_all();
  if (req.method == "POST" && std::regex_match(req.path, kCreate)) return create_;
  if (req.method == "PUT" && std::regex_match(req.path, m, kUpload)) {
    const int frame = std::stoi(m[1]);
    return Reply{upload_(frame, ++attempts_[frame]), "{}"};
  }
  if (req.method == "POST" && std::regex_match(req.path, kStart)) return start_;
  if (req.method == "GET" && std::regex_match(req.path, m, kMatte)) return matte_(std::stoi(m[1]));
  if (req.method == "GET" && std::regex_match(req.path, kPoll)) {
    Reply reply = polls_[std::min(nextPoll_, polls_.size() - 1)];
    ++nextPoll_;
    return reply;
  }
  return Reply{404, "no such call"};
}

void ScriptedBackend::onCreate(Reply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  create_ = std::move(reply);
}

void ScriptedBackend::onUpload(std::function<int(int, int)> status) {
  std::lock_guard<std::mutex> lock(mu_);
  upload_ = std::move(status);
  attempts_.clear();
}

void ScriptedBackend::onStart(Reply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  start_ = std::move(reply);
}

void ScriptedBackend::onPoll(std::vector<Reply> replies) {
  std::lock_guard<std::mutex> lock(mu_);
  polls_ = replies.empty() ? std::vector<Reply>{Reply{}} : std::move(replies);
  nextPoll_ = 0;
}

void ScriptedBackend::onMatte(std::function<Reply(int)> reply) {
  std::lock_guard<std::mutex> lock(mu_);
  matte_ = std::move(reply);
}

std::vector<Request> ScriptedBackend::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return seen_;
}

std::vector<Request> ScriptedBackend::requests(const std::string& method, const std::string& part) const {
  std::vector<Request> found;
  for (Request& r : requests())
    if (r.method == method && r.path.find(part) != std::string::npos) found.push_back(std::move(r));
  return found;
}

bool ScriptedBackend::waitFor(const std::function<bool(const std::vector<Request>&)>& done) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, 10s, [&] { return done(seen_); });
}
