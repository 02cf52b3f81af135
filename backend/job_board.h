#pragma once
// The jobs that the backends of one broker share, kept in Redis: one queue,
// each job's record (its state, progress and outcome, as any backend answers
// a poll), and each running job's claim: a lease its backend renews while it
// works. A job is claimed by one backend at a time; a claim that is not
// renewed lapses and the job is queued again (given up after a few runs);
// and only the claim's holder can end the job, so its mattes are published
// once. Every operation is one Lua script, atomic on the broker. Throws
// BrokerDown when the broker does not answer.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "backend/redis_client.h"

namespace backend {

// A job's record; `exists` is false before its first start.
struct JobRecord {
  bool exists = false;
  std::string state;  // QUEUED, RUNNING, COMPLETED, FAILED
  int attempts = 0;
  std::string error, summary;  // summary: JSON text, with COMPLETED
  std::string stage;
  int frame = 0, frames = 0;
  double job = 0, seconds = 0, queuedSeconds = 0;
  std::optional<double> uploadSeconds;
  std::string published;  // the claim whose mattes are the job's, with COMPLETED
};

class JobBoard {
 public:
  JobBoard(const std::string& url, std::chrono::milliseconds lease);

  // Queues the job: "" when queued, else why not ("QUEUED" or "RUNNING":
  // already so; "full": `maxQueued` jobs wait).
  std::string enqueue(const std::string& id, int maxQueued, std::optional<double> uploadSeconds);
  // The next queued job, now claimed under `claim`.
  std::optional<std::string> claim(const std::string& claim);
  enum class Hold { kHeld, kLost, kDeleted };
  Hold renew(const std::string& id, const std::string& claim);
  void progress(const std::string& id, const std::string& claim, const std::string& stage, int frame, int frames,
                double job, double seconds);
  // Ends the claimed job: "COMPLETED" (publishing the claim's mattes),
  // "FAILED", or "STOPPED" (queued again, next to run, the attempt not
  // counted). False when the claim had lapsed: what it made is not the job's.
  bool finish(const std::string& id, const std::string& claim, const std::string& outcome, const std::string& error,
              const std::string& summary, double seconds);
  // Queues again the jobs whose claims lapsed; returns the sessions deleted
  // meanwhile, whose files nobody removed yet.
  std::vector<std::string> reclaim(int maxAttempts);
  JobRecord record(const std::string& id);
  // Forgets the job; true when it is running (its backend then stops it and
  // removes the session's files).
  bool forget(const std::string& id);

  std::chrono::milliseconds lease() const { return lease_; }
  const std::string& where() const { return redis_.where(); }

 private:
  std::string key(const std::string& kind, const std::string& id = "") const { return prefix_ + kind + id; }

  RedisClient redis_;
  const std::chrono::milliseconds lease_;
  const std::string prefix_ = "prismhollow:";
};

// A name for one claim, unique across backends and runs.
std::string new_claim_name();

}  // namespace backend
