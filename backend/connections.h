#pragma once
// httplib's server with its connections kept apart from its workers: a
// connection waits, in one thread of ours with every other one, until the
// whole head of its next request has arrived, and only then takes a worker
// for that one request. So a client that sends its head a byte at a time,
// or holds connections open without sending anything, takes no worker from
// a client that asks promptly; a head that is not whole within a few
// seconds ends its connection.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace backend {

class WaitingServer final : public httplib::Server {
 public:
  struct Limits {
    int workers = 32;
    std::chrono::seconds head{5};       // from a connection's first byte or the end of its last request
    std::chrono::seconds idle{5};       // between requests on a kept connection, and before its first byte
    std::size_t headBytes = 16 << 10;   // at most, the request line and headers together
    std::size_t waiting = 4096;         // connections waiting at once (at most 3/4 of the open-file limit); the longest idle goes first
    std::size_t requestsPerConnection = 1000;
  };
  explicit WaitingServer(const Limits& limits);
  ~WaitingServer() override;

  // Binds as httplib does (port 0: a free one), with room in the kernel's
  // queue for many connections arriving at once: httplib's own is 5, and a
  // connection refused there is tried again a second later. The port
  // bound, or -1.
  int bind(const std::string& host, int port);

  struct Connection;

 private:
  // Called by httplib's accept loop through our task queue: the connection
  // goes to the waiting room.
  bool process_and_close_socket(socket_t sock) override;

  void wait_room();
  void work();
  void admit(std::unique_ptr<Connection> c);
  void finish(std::unique_ptr<Connection> c);
  void stop_all();

  Limits limits_;
  int epoll_ = -1, wake_ = -1;
  std::mutex mu_;
  std::condition_variable ready_cv_;
  std::deque<std::unique_ptr<Connection>> ready_;
  std::unordered_map<int, std::unique_ptr<Connection>> waiting_;  // by socket; owned by the waiting room's thread
  std::vector<std::unique_ptr<Connection>> returned_;             // handed back by workers, under mu_
  bool stopping_ = false;
  std::thread room_;
  std::vector<std::thread> workers_;
};

// Called while a request is handled: its connection is closed once the
// answer is sent (the body was left unread).
void close_after_this_request();

}  // namespace backend
