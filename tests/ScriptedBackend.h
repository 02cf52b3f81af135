#pragma once
// A matting backend for tests: a real HTTP server on 127.0.0.1 (a port of
// its own) that records every request and answers the five calls of a job
// as the test scripts them. Scripts can change while a job runs.

#include <httplib.h>

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
  std::string header(const char* name) const;
};

// One answer. A stalled answer holds its request until the backend stops;
// a cut one sends the status line and headers, then drops the connection.
struct Reply {
  int status = 200;
  std::string body;
  std::string type = "application/json";
  bool stall = false;
  bool cut = false;

  static Reply stalled() { return Reply{200, "", "application/json", true}; }
  static Reply cutOff() { return Reply{200, "", "application/json", false, true}; }
};

// The grey value of frame k's matte as the backend serves it by default.
unsigned char matteValue(int frame);
// A grey PNG of the given value (stb's writer, as the library builds it).
std::string greyPng(unsigned char value, int width = 8, int height = 8);

class ScriptedBackend {
 public:
  // Answers every create with {"session_id": session}, every upload, start
  // and poll with success ("COMPLETED"), and frame k's matte with
  // greyPng(matteValue(k)).
  explicit ScriptedBackend(const std::string& session = "s1");
  ~ScriptedBackend() { stop(); }
  ScriptedBackend(const ScriptedBackend&) = delete;
  ScriptedBackend& operator=(const ScriptedBackend&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  bool ready() const { return port_ > 0 && server_.is_running(); }
  // Releases stalled requests and closes the port; waits for the server.
  void stop();

  void onCreate(Reply reply);
  // The status of upload attempt `attempt` (from 1) of frame `frame`.
  void onUpload(std::function<int(int frame, int attempt)> status);
  void onStart(Reply reply);
  // Answers to the polls, in order; the last one repeats.
  void onPoll(std::vector<Reply> replies);
  void onMatte(std::function<Reply(int frame)> reply);

  std::vector<Request> requests() const;
  // The requests with this method whose path contains `part`.
  std::vector<Request> requests(const std::string& method, const std::string& part) const;
  // Waits, 10 s at most, until `done` holds for the requests so far.
  bool waitFor(const std::function<bool(const std::vector<Request>&)>& done) const;

 private:
  Reply answer(const httplib::Request& req);

  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  std::vector<Request> seen_;
  Reply create_, start_;
  std::function<int(int, int)> upload_;
  std::map<int, int> attempts_;
  std::vector<Reply> polls_;
  std::size_t nextPoll_ = 0;
  std::function<Reply(int)> matte_;
};
