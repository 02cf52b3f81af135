#pragma once
// The sessions a backend holds alone: their files kept in the data folder
// so that they outlive a restart, their jobs run through its own queue.

#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "backend/disk_budget.h"
#include "backend/job_queue.h"
#include "backend/options.h"
#include "backend/session_calls.h"
#include "backend/store.h"

namespace backend {

struct Session;

class Sessions : public SessionCalls {
 public:
  // Reads the sessions in the data folder and queues again the jobs that a
  // stop interrupted.
  Sessions(const Options& options, Store& store);

  std::string create(const std::string& body) override;
  bool put_frame(const std::string& id, const std::string& index, const std::string& jpeg) override;
  void start(const std::string& id, const std::string& body) override;
  nlohmann::json status(const std::string& id) const override;
  fs::path matte(const std::string& id, const std::string& index) const override;
  void remove(const std::string& id) override;
  void expire() override;
  // Saved as QUEUED, the stopped jobs run again after a restart.
  bool stop() override;

  std::size_t count() const override;
  const DiskBudget& budget() const override { return budget_; }

 private:
  std::shared_ptr<Session> find(const std::string& id) const;  // Refusal 404
  void load(const std::string& id);
  void run(const std::string& id, const std::function<bool()>& stopping);
  void save(const Session& s) const;  // job.json
  void touch(Session& s) const;

  const Options& options_;
  Store& store_;
  DiskBudget budget_;
  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<Session>> sessions_;
  JobQueue queue_;  // last: its threads stop before the rest goes
};

}  // namespace backend
