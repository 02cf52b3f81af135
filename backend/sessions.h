#pragma once
// The sessions the backend holds: each call of the protocol as an operation
// on them, their files kept in the data folder so that they outlive a
// restart, and their jobs run through the queue. No HTTP here: every
// refusal is a Refusal with its status and reason.

#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "backend/disk_budget.h"
#include "backend/job_queue.h"
#include "backend/options.h"
#include "backend/store.h"

namespace backend {

struct Session;

class Sessions {
 public:
  // Reads the sessions in the data folder and queues again the jobs that a
  // stop interrupted.
  Sessions(const Options& options, Store& store);

  std::string create(const std::string& body);
  // True when the frame replaced one uploaded before.
  bool put_frame(const std::string& id, const std::string& index, const std::string& jpeg);
  void start(const std::string& id, const std::string& body);
  nlohmann::json status(const std::string& id) const;
  // The matte's file, once the job has completed.
  fs::path matte(const std::string& id, const std::string& index) const;
  void remove(const std::string& id);
  // Deletes the sessions untouched for longer than the options allow.
  void expire();
  // Stops the jobs, giving them a moment to reach the end of a frame; their
  // saved state says QUEUED, so they run again from the start after a
  // restart. False when one is still running: the process must then end
  // without destroying the sessions.
  bool stop();

  std::size_t count() const;
  const DiskBudget& budget() const { return budget_; }

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
