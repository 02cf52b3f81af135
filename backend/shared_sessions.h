#pragma once
// The sessions of a backend that shares its data folder with the other
// backends of one broker: any of them answers any call for any session, and
// each takes the next queued job when it has a free slot. The files live in
// the shared folder; the queue, the claims and the jobs' records on the
// broker (JobBoard). A call that needs the broker while it does not answer
// is refused with 503 and the reason; nothing stored is lost, and the
// backends go on once it answers again.

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "backend/job_board.h"
#include "backend/options.h"
#include "backend/session_calls.h"

namespace backend {

class SharedSessions : public SessionCalls {
 public:
  SharedSessions(const Options& options, Store& store, JobBoard& board);
  ~SharedSessions() override { stop(); }

  std::string create(const std::string& body) override;
  bool put_frame(const std::string& id, const std::string& index, const std::string& jpeg) override;
  void start(const std::string& id, const std::string& body) override;
  nlohmann::json status(const std::string& id) const override;
  fs::path matte(const std::string& id, const std::string& index) const override;
  void remove(const std::string& id) override;
  void expire() override;
  // The stopped jobs go back to the front of the queue for any backend.
  bool stop() override;

  std::size_t count() const override { return store_.ids().size(); }
  const DiskBudget& budget() const override { return budget_; }

 private:
  struct Claimed;  // a job this backend runs

  void take_jobs();    // one job slot: claims the next job and runs it, until the stop
  void keep_claims();  // renews this backend's claims; queues again the jobs others left
  void run(const std::string& id, const std::string& claim);
  void known(const std::string& id) const;  // Refusal 404
  JobRecord record(const std::string& id) const;  // Refusal 503 when the broker does not answer
  bool wait(std::chrono::milliseconds length);  // false once stopping

  const Options& options_;
  Store& store_;
  JobBoard& board_;
  mutable DiskBudget budget_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::map<std::string, std::shared_ptr<Claimed>> claimed_;
  std::atomic<int> busy_{0};  // jobs between their claim and their end
  std::vector<std::thread> slots_;
  std::thread keeper_;
};

}  // namespace backend
