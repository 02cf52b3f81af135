#include "backend/job_queue.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <exception>

#include "backend/log.h"

namespace backend {

JobQueue::JobQueue(int threads, std::size_t capacity, Work work) : work_(std::move(work)), capacity_(capacity) {
  alive_ = threads;
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { serve(); });
}

bool JobQueue::push(const std::string& id, bool always) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ || (!always && waiting_.size() >= capacity_)) return false;
    waiting_.push_back(id);
  }
  cv_.notify_one();
  return true;
}

int JobQueue::ahead(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find(waiting_.begin(), waiting_.end(), id);
  return it == waiting_.end() ? -1 : static_cast<int>(it - waiting_.begin());
}

bool JobQueue::stop(std::chrono::milliseconds grace) {
  std::unique_lock<std::mutex> lock(mu_);
  stopping_ = true;
  waiting_.clear();  // their saved state says QUEUED: they run after a restart
  cv_.notify_all();
  const bool ended = cv_.wait_for(lock, grace, [this] { return alive_ == 0; });
  lock.unlock();
  for (std::thread& t : threads_) ended ? t.join() : t.detach();
  threads_.clear();
  return ended;
}

void JobQueue::serve() {
  // Linux keeps a nice value per thread, and the engine's own threads inherit it.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
  const std::function<bool()> stopping = [this] { return stopping_.load(); };
  for (;;) {
    std::string id;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) {
        --alive_;
        cv_.notify_all();
        return;
      }
      id = std::move(waiting_.front());
      waiting_.pop_front();
    }
    try {
      work_(id, stopping);
    } catch (const std::exception& e) {  // the job's own ends are caught in work_; the service goes on whatever else
      log_line("job " + printable(id, 80) + ": " + e.what());
    }
  }
}

}  // namespace backend
