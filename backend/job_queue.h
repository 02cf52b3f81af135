#pragma once
// Jobs run on a fixed number of threads, first queued first run; at most
// `capacity` jobs wait. The threads run at a lower priority than the
// server's, so that uploads and polls stay prompt while jobs use the cores.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace backend {

class JobQueue {
 public:
  // Runs the session's job; `stopping` turns true when the queue stops.
  using Work = std::function<void(const std::string& id, const std::function<bool()>& stopping)>;

  JobQueue(int threads, std::size_t capacity, Work work);
  ~JobQueue() { stop(std::chrono::hours(1)); }

  // False when `capacity` jobs already wait, unless `always` (jobs resumed at start-up).
  bool push(const std::string& id, bool always = false);
  // How many jobs wait before this one; -1 when it does not wait.
  int ahead(const std::string& id) const;
  // Takes no more jobs and tells the running ones to stop (the engine looks
  // between frames); true when they all did within `grace`. Those that did
  // not are left running: the process must then end without destroying
  // what they use.
  bool stop(std::chrono::milliseconds grace);

 private:
  void serve();

  Work work_;
  std::size_t capacity_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::string> waiting_;
  std::atomic<bool> stopping_{false};
  int alive_ = 0;  // threads still in serve()
  std::vector<std::thread> threads_;
};

}  // namespace backend
