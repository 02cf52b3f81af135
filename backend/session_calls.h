#pragma once
// The protocol's calls on the sessions a backend serves, whether it holds
// them alone (Sessions) or shares them with the other backends of one
// broker (SharedSessions). No HTTP here: every refusal is a Refusal with its
// status and reason.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "backend/disk_budget.h"
#include "backend/store.h"

namespace backend {

class SessionCalls {
 public:
  virtual ~SessionCalls() = default;

  virtual std::string create(const std::string& body) = 0;
  // True when the frame replaced one uploaded before.
  virtual bool put_frame(const std::string& id, const std::string& index, const std::string& jpeg) = 0;
  virtual void start(const std::string& id, const std::string& body) = 0;
  virtual nlohmann::json status(const std::string& id) const = 0;
  // The matte's file, once the job has completed.
  virtual fs::path matte(const std::string& id, const std::string& index) const = 0;
  virtual void remove(const std::string& id) = 0;
  // Deletes the sessions untouched for longer than the options allow.
  virtual void expire() = 0;
  // Stops the jobs, giving them a moment to reach the end of a frame; they
  // run again from the start later. False when one is still running: the
  // process must then end without destroying the sessions.
  virtual bool stop() = 0;

  virtual std::size_t count() const = 0;
  virtual const DiskBudget& budget() const = 0;
};

}  // namespace backend
