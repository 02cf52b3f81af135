#include "backend/shared_sessions.h"

#include "backend/heap.h"
#include "backend/jpeg.h"
#include "backend/log.h"
#include "backend/protocol.h"
#include "backend/session_files.h"

namespace backend {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kIdle = std::chrono::milliseconds(250);        // between looks at an empty queue
constexpr auto kBrokerRetry = std::chrono::seconds(1);        // between calls while the broker is away
constexpr auto kProgressEvery = std::chrono::milliseconds(200);  // the record's progress, at most this often
// The other backends write into the shared folder too: what it holds is
// counted again this often, so that the budget is the folder's, not this
// backend's share of it.
constexpr auto kRecountEvery = std::chrono::seconds(30);

// The folder of one claim's mattes: a job run again writes beside the run
// it replaces, and only the claim that ends the job is ever served.
fs::path claim_mattes(const Store& store, const std::string& id, const std::string& claim) {
  return store.dir(id) / ("mattes-" + claim);
}

// The seconds from the oldest frame's writing to now: the upload, as the
// files tell it to any backend.
std::optional<double> upload_seconds(const Store& store, const std::string& id) {
  std::optional<fs::file_time_type> first;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(store.frames(id), ec)) {
    const auto written = entry.last_write_time(ec);
    if (!ec && (!first || written < *first)) first = written;
  }
  if (!first) return std::nullopt;
  return std::max(0.0, std::chrono::duration<double>(fs::file_time_type::clock::now() - *first).count());
}

}  // namespace

struct SharedSessions::Claimed {
  std::string claim;
  std::atomic<bool> cancel{false};  // stop at the next frame: lost, deleted
  std::atomic<bool> lost{false};    // the claim is, or may be, another backend's
  Clock::time_point renewed = Clock::now();
};

SharedSessions::SharedSessions(const Options& options, Store& store, JobBoard& board)
    : options_(options),
      store_(store),
      board_(board),
      budget_(store.root(), options.diskBudget, bytes_under(store.root()), options.keepFree) {
  for (int i = 0; i < options.jobs; ++i) slots_.emplace_back([this] { take_jobs(); });
  keeper_ = std::thread([this] { keep_claims(); });
}

void SharedSessions::known(const std::string& id) const {
  std::error_code ec;
  if (!is_session_id(id) || !fs::exists(store_.dir(id) / "session.json", ec))
    throw Refusal(404, "no session \"" + printable(id, 64) + "\" on this backend");
}

JobRecord SharedSessions::record(const std::string& id) const {
  try {
    return board_.record(id);
  } catch (const BrokerDown& e) {
    throw Refusal(503, e.what());
  }
}

std::string SharedSessions::create(const std::string& body) { return make_session(store_, budget_, body); }

bool SharedSessions::put_frame(const std::string& id, const std::string& indexText, const std::string& jpeg) {
  known(id);
  const int index = read_frame_index(indexText, options_.maxFrames);
  if (record(id).exists) throw Refusal(409, "this session's job has started; its frames can no longer change");
  const ImageSize size = checked_frame(jpeg, index, options_);
  DiskBudget::Reservation room = budget_.reserve(jpeg.size());
  json about = parse_json(read_whole(store_.dir(id) / "session.json"));
  if (!about.is_object()) about = json::object();
  const ImageSize held{about.value("width", 0), about.value("height", 0)};
  const std::string frame = "frame " + std::to_string(index);
  if (held.width && !(held == size))
    throw Refusal(422, frame + " is " + size_text(size) + " but this session's frames are " + size_text(held));
  if (!jpeg_decodes(jpeg, size)) throw Refusal(415, frame + " does not decode as a JPEG image: damaged or cut short");
  if (!held.width) {
    about["width"] = size.width, about["height"] = size.height;
    writing([&] { write_whole(store_.dir(id) / "session.json", about.dump()); });
  }
  std::error_code ec;
  const fs::path file = store_.frame(id, index);
  const std::uint64_t before = fs::exists(file, ec) ? fs::file_size(file, ec) : 0;
  writing([&] { write_whole(file, jpeg); });
  room.settle(static_cast<std::int64_t>(jpeg.size()) - static_cast<std::int64_t>(before));
  return before > 0;
}

void SharedSessions::start(const std::string& id, const std::string& body) {
  known(id);
  const JobRecord now = record(id);
  if (now.state == "QUEUED" || now.state == "RUNNING")
    throw Refusal(409, "this session's job is already " + now.state);
  read_start(body, whole_clip(frames_in(store_, id)));  // checked now; read again when the job runs
  DiskBudget::Reservation room = budget_.reserve(2 * body.size());
  writing([&] { write_whole(store_.dir(id) / "start.json", body); });
  room.settle(static_cast<std::int64_t>(body.size()));
  std::string refused;
  try {
    // A job again on frames uploaded for an earlier one uploaded nothing.
    refused = board_.enqueue(id, options_.queue, now.exists ? std::nullopt : upload_seconds(store_, id));
  } catch (const BrokerDown& e) {
    throw Refusal(503, e.what());
  }
  if (refused == "full")
    throw Refusal(503, "the backends' queue is full (" + std::to_string(options_.queue) +
                           " jobs waiting); try again later");
  if (!refused.empty()) throw Refusal(409, "this session's job is already " + refused);
  cv_.notify_all();  // a free slot of ours takes it at once
}

json SharedSessions::status(const std::string& id) const {
  known(id);
  const JobRecord r = record(id);
  JobStatus status;
  status.sessionId = id;
  status.frames = static_cast<int>(frames_in(store_, id).size());
  const json about = parse_json(read_whole(store_.dir(id) / "session.json"));
  if (about.is_object()) status.width = about.value("width", 0), status.height = about.value("height", 0);
  status.state = r.exists ? state_named(r.state).value_or(JobState::Created) : JobState::Created;
  status.progress = {r.exists ? r.stage : "waiting for start", r.frame, r.frames, r.job};
  status.error = r.error;
  status.summary = parse_json(r.summary);
  status.seconds = r.seconds;
  status.uploadSeconds = r.uploadSeconds.value_or(-1);
  status.queuedSeconds = r.queuedSeconds;
  return status_json(status);
}

fs::path SharedSessions::matte(const std::string& id, const std::string& indexText) const {
  known(id);
  const int index = read_frame_index(indexText, options_.maxFrames);
  const JobRecord r = record(id);
  if (r.state != "COMPLETED")
    throw Refusal(404, "the mattes are not ready: the job is " + (r.exists ? r.state : std::string("CREATED")));
  const fs::path file = claim_mattes(store_, id, r.published) / store_.matte(id, index).filename();
  if (std::error_code ec; !fs::exists(file, ec))
    throw Refusal(404, "no frame " + std::to_string(index) + " in this session");
  return file;
}

void SharedSessions::remove(const std::string& id) {
  known(id);
  bool running = false;
  try {
    running = board_.forget(id);
  } catch (const BrokerDown& e) {
    throw Refusal(503, e.what());
  }
  // A running job's backend removes the files once the job has stopped.
  if (!running) budget_.remove(remove_tree(store_.dir(id)));
}

void SharedSessions::expire() {
  const auto oldest = fs::file_time_type::clock::now() - options_.maxAge;
  for (const std::string& id : store_.ids()) {
    std::error_code ec;
    const auto touched = fs::last_write_time(store_.dir(id), ec);
    if (ec || touched >= oldest) continue;
    try {
      const JobRecord r = board_.record(id);
      if (r.state == "QUEUED" || r.state == "RUNNING") continue;
      board_.forget(id);
      budget_.remove(remove_tree(store_.dir(id)));
      log_line("session " + id + " expired");
    } catch (const BrokerDown& e) {
      log_line("expiry waits for the broker: " + std::string(e.what()));
      return;
    }
  }
}

bool SharedSessions::wait(std::chrono::milliseconds length) {
  std::unique_lock<std::mutex> lock(mu_);
  return !cv_.wait_for(lock, length, [this] { return stopping_; });
}

void SharedSessions::take_jobs() {
  bool said = false;  // that the broker is away, once per absence
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) return;
    }
    std::optional<std::string> id;
    const std::string claim = new_claim_name();
    try {
      ++busy_;  // from before the claim: a stop waits for a job claimed meanwhile
      id = board_.claim(claim);
      said = false;
    } catch (const BrokerDown& e) {
      --busy_;
      if (!said) log_line("waiting for the broker: " + std::string(e.what()));
      said = true;
      if (!wait(kBrokerRetry)) return;
      continue;
    }
    if (id) run(*id, claim);
    --busy_;
    if (!id && !wait(kIdle)) return;
  }
}

void SharedSessions::run(const std::string& id, const std::string& claim) {
  auto held = std::make_shared<Claimed>();
  held->claim = claim;
  {
    std::lock_guard<std::mutex> lock(mu_);
    claimed_[id] = held;
  }
  const fs::path mattes = claim_mattes(store_, id, claim);
  const auto started = Clock::now();
  std::string outcome = "FAILED", error;
  matting::Summary summary;
  try {
    make_folders(mattes);
    const matting::Job job = job_for(store_, id, whole_clip(frames_in(store_, id)), mattes);
    log_line("job " + id + ": starts on " + std::to_string(job.frames.size()) + " frames (claim " + claim + ")");
    Clock::time_point reported{};
    const auto progress = [&](const matting::Progress& p) {
      if (Clock::now() - reported < kProgressEvery) return;
      reported = Clock::now();
      try {
        board_.progress(id, claim, p.stage, p.frame, p.frames, p.job,
                        std::chrono::duration<double>(Clock::now() - started).count());
      } catch (const BrokerDown&) {  // the next report tries again
      }
    };
    const auto cancelled = [&] {
      std::lock_guard<std::mutex> lock(mu_);
      return stopping_ || held->cancel;
    };
    const HeapForJob heap;
    summary = matting::run(job, progress, cancelled);
    outcome = "COMPLETED";
  } catch (const matting::Cancelled&) {
    outcome = "STOPPED";
  } catch (const Refusal& e) {
    error = std::string("the saved job no longer holds: ") + e.what();
  } catch (const WriteError& e) {
    error = std::string("the backend's disk refused a write (") + e.what() + "); start the job again once there is room";
  } catch (const matting::Error& e) {
    error = e.what();
  } catch (const std::exception& e) {
    error = std::string("the backend failed: ") + e.what();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

  // Ended on the broker by its claim's holder only; until the broker
  // answers, or the claim lapses and the job is another backend's.
  bool ended = false, lapsed = held->lost.load();
  while (!lapsed) {
    try {
      ended = board_.finish(id, claim, outcome, error,
                            outcome == "COMPLETED" ? summary_json(summary).dump() : std::string(), seconds);
      lapsed = !ended;
      break;
    } catch (const BrokerDown&) {
      if (!wait(kBrokerRetry)) break;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    claimed_.erase(id);
  }
  char took[32];
  std::snprintf(took, sizeof took, " (%.1f s)", seconds);
  if (!ended) {
    budget_.remove(remove_tree(mattes));  // not the job's: another claim runs it
    log_line("job " + id + ": its claim lapsed; another backend runs it" + took);
    return;
  }
  std::optional<JobRecord> after;
  try {
    after = board_.record(id);
  } catch (const BrokerDown&) {
  }
  if (after && !after->exists) {  // deleted while it ran
    budget_.remove(remove_tree(store_.dir(id)));
    log_line("job " + id + ": stopped: the session was deleted" + took);
    return;
  }
  if (outcome == "COMPLETED") {
    // The mattes of runs before this one are nobody's now.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(store_.dir(id), ec)) {
      const std::string name = entry.path().filename();
      if (name.rfind("mattes-", 0) == 0 && entry.path() != mattes) budget_.remove(remove_tree(entry.path()));
    }
    budget_.add(static_cast<std::int64_t>(bytes_under(mattes) + bytes_under(store_.memo(id))));
    log_line("job " + id + ": completed: " + summary.note + took);
  } else if (outcome == "STOPPED") {
    budget_.remove(remove_tree(mattes));
    log_line("job " + id + ": stopped; it goes back to the queue" + took);
  } else {
    budget_.remove(remove_tree(mattes));
    log_line("job " + id + ": failed: " + error + took);
  }
}

void SharedSessions::keep_claims() {
  const auto period = board_.lease() / 3;
  auto counted = Clock::now();
  while (wait(period)) {
    if (Clock::now() - counted >= kRecountEvery) {
      budget_.recount(bytes_under(store_.root()));
      counted = Clock::now();
    }
    std::vector<std::pair<std::string, std::shared_ptr<Claimed>>> held;
    {
      std::lock_guard<std::mutex> lock(mu_);
      held.assign(claimed_.begin(), claimed_.end());
    }
    for (auto& [id, claimed] : held) {
      try {
        const JobBoard::Hold hold = board_.renew(id, claimed->claim);
        if (hold == JobBoard::Hold::kHeld) claimed->renewed = Clock::now();
        if (hold == JobBoard::Hold::kLost) claimed->lost = true;
        if (hold != JobBoard::Hold::kHeld) claimed->cancel = true;  // stop at the next frame
      } catch (const BrokerDown&) {
        // Stopped well before the claim can lapse on the broker (a lease
        // after its last renewal), so that no other backend runs the job
        // while this one still does.
        if (Clock::now() - claimed->renewed > board_.lease() / 2) claimed->lost = true, claimed->cancel = true;
      }
    }
    try {
      for (const std::string& id : board_.reclaim(kMaxAttempts)) {
        budget_.remove(remove_tree(store_.dir(id)));  // deleted, and its backend went away
        log_line("session " + id + " was deleted while its backend was away; removed");
      }
    } catch (const BrokerDown&) {
    }
  }
}

bool SharedSessions::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ && slots_.empty()) return true;
    stopping_ = true;
  }
  cv_.notify_all();
  // The jobs running stop at the end of their frame; a second at most.
  const auto until = Clock::now() + std::chrono::seconds(1);
  while (busy_ > 0 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (busy_ > 0) {
    for (std::thread& slot : slots_) slot.detach();
    keeper_.detach();
    slots_.clear();
    return false;
  }
  for (std::thread& slot : slots_) slot.join();
  slots_.clear();
  if (keeper_.joinable()) keeper_.join();
  return true;
}

}  // namespace backend
