#include "backend/sessions.h"

#include <atomic>
#include <chrono>
#include <fstream>

#include "backend/heap.h"
#include "backend/jpeg.h"
#include "backend/log.h"
#include "backend/protocol.h"
#include "backend/session_files.h"
#include "matting/engine.h"

namespace backend {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct Session {
  std::string id;
  std::mutex mu;  // guards everything below
  ImageSize size;  // of the first frame uploaded; every frame has it
  std::map<int, std::uint64_t> frames;  // index -> bytes
  JobState state = JobState::Created;
  int attempts = 0;  // runs begun and not yet ended
  matting::Progress progress;
  std::string error;
  json summary;
  double seconds = 0;
  Clock::time_point started;
  // For the job's account of where its time went, as this process saw it:
  // from the first frame to the start call, and from there to the run.
  Clock::time_point firstFrame{}, startCalled{};
  double uploadSeconds = -1, queuedSeconds = 0;  // -1: nothing uploaded for the job
  std::atomic<bool> deleted{false};

  int whole_clip() const { return backend::whole_clip(frames); }
  bool active() const { return state == JobState::Queued || state == JobState::Running; }
};

namespace {

// In a session's folder once it is deleted while its job runs.
constexpr const char* kDeleted = "deleted";

// The stage without its counts: "tracking forward 3/40" is "tracking forward /".
std::string stage_kind(const std::string& stage) {
  std::string kind;
  for (char c : stage)
    if (!std::isdigit(static_cast<unsigned char>(c))) kind += c;
  return kind;
}

}  // namespace

Sessions::Sessions(const Options& options, Store& store)
    : options_(options),
      store_(store),
      budget_(store.root(), options.diskBudget, bytes_under(store.root()), options.keepFree),
      queue_(options.jobs, static_cast<std::size_t>(options.queue),
             [this](const std::string& id, const std::function<bool()>& stopping) { run(id, stopping); }) {
  for (const std::string& id : store_.ids()) {
    try {
      load(id);
    } catch (const std::exception& e) {  // a file edited or damaged by hand: the other sessions still load
      log_line("ignoring session " + printable(id, 80) + ": " + e.what());
    }
  }
}

void Sessions::load(const std::string& id) {
  if (std::error_code ec; fs::exists(store_.dir(id) / kDeleted, ec)) {  // deleted while its job ran
    budget_.remove(remove_tree(store_.dir(id)));
    log_line("session " + printable(id, 80) + " was deleted before a stop; removed");
    return;
  }
  const json about = parse_json(read_whole(store_.dir(id) / "session.json"));
  if (!is_session_id(id) || !about.is_object()) {
    log_line("ignoring " + printable(id, 80) + " in the data folder: not a session");
    return;
  }
  auto s = std::make_shared<Session>();
  s->id = id;
  s->size = {about.value("width", 0), about.value("height", 0)};
  s->frames = frames_in(store_, id, &budget_);
  const json job = parse_json(read_whole(store_.dir(id) / "job.json"));
  if (job.is_object()) {
    s->state = state_named(job.value("status", "")).value_or(JobState::Created);
    s->attempts = job.value("attempts", 0);
    s->error = job.value("error", "");
    s->seconds = job.value("seconds", 0.0);
    s->summary = job.value("summary", json());
  }
  const int frames = static_cast<int>(s->frames.size());
  if (s->state == JobState::Completed) s->progress = {"done", frames, frames, 1};
  const bool resume = s->active() && s->attempts < kMaxAttempts;
  if (s->active() && !resume) {
    s->state = JobState::Failed;
    s->error = "the backend stopped " + std::to_string(s->attempts) + " times while this job ran; it was given up";
    try {
      save(*s);
    } catch (const WriteError& e) {  // given up all the same; said again at the next start
      log_line("job " + id + ": " + e.what());
    }
  }
  if (resume) s->state = JobState::Queued;
  {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_[id] = std::move(s);
  }
  if (resume) {
    queue_.push(id, /*always=*/true);
    log_line("job " + id + ": queued again after a restart");
  }
}

std::shared_ptr<Session> Sessions::find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) throw Refusal(404, "no session \"" + printable(id, 64) + "\" on this backend");
  return it->second;
}

std::string Sessions::create(const std::string& body) {
  auto s = std::make_shared<Session>();
  s->id = make_session(store_, budget_, body);
  std::lock_guard<std::mutex> lock(mu_);
  sessions_[s->id] = s;
  return s->id;
}

bool Sessions::put_frame(const std::string& id, const std::string& indexText, const std::string& jpeg) {
  auto s = find(id);
  const int index = read_frame_index(indexText, options_.maxFrames);
  const std::string frame = "frame " + std::to_string(index);
  const auto unchanged = [&] {
    if (s->state != JobState::Created)
      throw Refusal(409, "this session's job has started; its frames can no longer change");
  };
  {
    std::lock_guard<std::mutex> lock(s->mu);
    unchanged();
  }
  const ImageSize size = checked_frame(jpeg, index, options_);
  DiskBudget::Reservation room = budget_.reserve(jpeg.size());  // held while the frame is checked
  const auto same_size = [&] {
    if (s->size.width && !(s->size == size))
      throw Refusal(422, frame + " is " + size_text(size) + " but this session's frames are " + size_text(s->size));
  };
  {
    std::lock_guard<std::mutex> lock(s->mu);
    same_size();
  }
  if (!jpeg_decodes(jpeg, size)) throw Refusal(415, frame + " does not decode as a JPEG image: damaged or cut short");

  std::lock_guard<std::mutex> lock(s->mu);  // again: another upload may have come first
  if (s->deleted) throw Refusal(404, "the session was deleted");
  unchanged();
  same_size();
  if (!s->size.width) {
    json about = parse_json(read_whole(store_.dir(id) / "session.json"));
    if (!about.is_object()) about = json::object();
    about["width"] = size.width, about["height"] = size.height;
    writing([&] { write_whole(store_.dir(id) / "session.json", about.dump()); });
    s->size = size;
  }
  writing([&] { write_whole(store_.frame(id, index), jpeg); });
  if (s->firstFrame == Clock::time_point{}) s->firstFrame = Clock::now();
  auto [it, added] = s->frames.emplace(index, 0);
  room.settle(static_cast<std::int64_t>(jpeg.size()) - static_cast<std::int64_t>(it->second));
  it->second = jpeg.size();
  touch(*s);
  return !added;
}

void Sessions::start(const std::string& id, const std::string& body) {
  auto s = find(id);
  std::lock_guard<std::mutex> lock(s->mu);
  if (s->active()) throw Refusal(409, std::string("this session's job is already ") + state_name(s->state));
  read_start(body, s->whole_clip());  // checked now; read again when the job runs
  DiskBudget::Reservation room = budget_.reserve(2 * body.size());
  writing([&] { write_whole(store_.dir(id) / "start.json", body); });
  room.settle(static_cast<std::int64_t>(body.size()));
  // job.json says QUEUED before the job is queued, so that no job runs
  // that a restart would forget; put back as it was if it cannot be queued.
  const JobState state = s->state;
  const int attempts = s->attempts;
  const std::string error = s->error;
  const json summary = s->summary;
  const double seconds = s->seconds;
  const auto put_back = [&] {
    s->state = state, s->attempts = attempts, s->error = error, s->summary = summary, s->seconds = seconds;
  };
  s->state = JobState::Queued;
  s->attempts = 0;
  s->error.clear();
  s->summary = nullptr;
  s->seconds = 0;
  s->startCalled = Clock::now();
  s->uploadSeconds = s->firstFrame == Clock::time_point{}
                         ? -1
                         : std::chrono::duration<double>(s->startCalled - s->firstFrame).count();
  s->firstFrame = {};  // a later job on these frames uploads nothing
  try {
    writing([&] { save(*s); });
  } catch (const Refusal&) {
    put_back();
    throw;
  }
  if (!queue_.push(id)) {
    put_back();
    try {
      save(*s);
    } catch (const WriteError& e) {
      log_line("job " + id + ": " + e.what());
    }
    throw Refusal(503, "the backend's queue is full (" + std::to_string(options_.queue) +
                           " jobs waiting); try again later");
  }
  touch(*s);
}

json Sessions::status(const std::string& id) const {
  auto s = find(id);
  std::lock_guard<std::mutex> lock(s->mu);
  JobStatus status{id,
                   s->state,
                   static_cast<int>(s->frames.size()),
                   s->size.width,
                   s->size.height,
                   s->progress,
                   s->error,
                   s->summary,
                   s->seconds,
                   s->uploadSeconds,
                   s->queuedSeconds};
  if (s->state == JobState::Created) status.progress = {"waiting for start", 0, 0};
  if (s->state == JobState::Queued) {
    const int ahead = queue_.ahead(id);
    status.progress = {ahead > 0 ? "queued behind " + std::to_string(ahead) + (ahead == 1 ? " job" : " jobs")
                                 : "queued, next to run",
                       0, status.frames};
  }
  if (s->state == JobState::Running) status.seconds = std::chrono::duration<double>(Clock::now() - s->started).count();
  return status_json(status);
}

fs::path Sessions::matte(const std::string& id, const std::string& indexText) const {
  auto s = find(id);
  const int index = read_frame_index(indexText, options_.maxFrames);
  std::lock_guard<std::mutex> lock(s->mu);
  if (s->state != JobState::Completed)
    throw Refusal(404, std::string("the mattes are not ready: the job is ") + state_name(s->state));
  if (!s->frames.count(index))
    throw Refusal(404, "no frame " + std::to_string(index) + " in this session of " + std::to_string(s->frames.size()) +
                           " frames");
  return store_.matte(id, index);
}

void Sessions::remove(const std::string& id) {
  auto s = find(id);
  {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_.erase(id);
  }
  std::lock_guard<std::mutex> lock(s->mu);
  s->deleted = true;  // a running job stops at its next frame and deletes the files then
  if (s->state != JobState::Running) {
    budget_.remove(remove_tree(store_.dir(id)));
  } else {
    // Should the backend stop first, it must not run the job again; best
    // effort, as the job removes the folder when it stops anyway.
    std::ofstream(store_.dir(id) / kDeleted);
  }
}

void Sessions::expire() {
  const auto oldest = fs::file_time_type::clock::now() - options_.maxAge;
  std::vector<std::string> old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [id, s] : sessions_) {
      std::lock_guard<std::mutex> session(s->mu);
      std::error_code ec;
      const auto touched = fs::last_write_time(store_.dir(id), ec);
      if (!s->active() && !ec && touched < oldest) old.push_back(id);
    }
  }
  for (const std::string& id : old) {
    try {
      remove(id);
      log_line("session " + id + " expired");
    } catch (const Refusal&) {  // a client deleted it meanwhile
    }
  }
}

bool Sessions::stop() {
  if (queue_.stop(std::chrono::seconds(1))) return true;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [id, s] : sessions_) {
    std::lock_guard<std::mutex> session(s->mu);
    if (s->state != JobState::Running) continue;
    s->state = JobState::Queued;
    --s->attempts;  // not the job's fault
    try {
      save(*s);
    } catch (const WriteError& e) {  // job.json says RUNNING: it runs again all the same, one attempt counted
      log_line("job " + id + ": " + e.what());
    }
  }
  return false;
}

std::size_t Sessions::count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_.size();
}

void Sessions::save(const Session& s) const {
  write_whole(store_.dir(s.id) / "job.json", json{{"status", state_name(s.state)},
                                                  {"attempts", s.attempts},
                                                  {"error", s.error},
                                                  {"seconds", s.seconds},
                                                  {"summary", s.summary}}
                                                 .dump());
}

void Sessions::touch(Session& s) const {
  std::error_code ec;
  fs::last_write_time(store_.dir(s.id), fs::file_time_type::clock::now(), ec);
}

void Sessions::run(const std::string& id, const std::function<bool()>& stopping) {
  std::shared_ptr<Session> s;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return;  // deleted while it waited
    s = it->second;
  }
  matting::Job job;
  {
    std::lock_guard<std::mutex> lock(s->mu);
    if (s->state != JobState::Queued) return;
    try {
      job = job_for(store_, id, s->whole_clip(), store_.mattes(id));
    } catch (const Refusal& e) {
      s->state = JobState::Failed;
      s->error = std::string("the saved job no longer holds: ") + e.what();
      try {
        save(*s);
      } catch (const WriteError& w) {
        log_line("job " + id + ": " + w.what());
      }
      return;
    }
    budget_.remove(remove_tree(store_.mattes(id)));  // a resumed job starts over
    s->state = JobState::Running;
    ++s->attempts;
    try {
      make_folders(store_.mattes(id));
      save(*s);
    } catch (const WriteError& e) {
      // job.json still says QUEUED: a restart runs the job again, and so
      // does a start call once there is room.
      s->state = JobState::Failed;
      --s->attempts;
      s->error = std::string("the backend's disk refused a write (") + e.what() +
                 "); start the job again once there is room";
      log_line("job " + id + ": failed: " + s->error);
      return;
    }
    budget_.remove(bytes_under(store_.memo(id)));  // counted again when the job ends
    s->started = Clock::now();
    s->queuedSeconds =
        s->startCalled == Clock::time_point{} ? 0 : std::chrono::duration<double>(s->started - s->startCalled).count();
    s->progress = {"starting", 0, static_cast<int>(job.frames.size())};
  }
  log_line("job " + id + ": starts on " + std::to_string(job.frames.size()) + " frames, anchor " +
           std::to_string(job.anchor) + (job.quality == matting::Quality::Fast ? ", fast" : ", fine"));
  std::string kind;
  const auto progress = [&](const matting::Progress& p) {
    std::lock_guard<std::mutex> lock(s->mu);
    s->progress = p;
    if (stage_kind(p.stage) != kind) log_line("job " + id + ": " + p.stage);
    kind = stage_kind(p.stage);
  };
  const auto cancelled = [&] { return stopping() || s->deleted; };
  enum class End { Completed, Stopped, Failed } end = End::Failed;
  matting::Summary summary;
  std::string error;
  try {
    const HeapForJob heap;
    summary = matting::run(job, progress, cancelled);
    end = End::Completed;
  } catch (const matting::Cancelled&) {
    end = End::Stopped;
  } catch (const matting::Error& e) {
    error = e.what();
  } catch (const std::exception& e) {
    error = std::string("the backend failed: ") + e.what();
  }

  std::lock_guard<std::mutex> lock(s->mu);
  if (s->state != JobState::Running) return;  // stop() left it to the process's exit
  std::string outcome;
  if (end == End::Completed) {
    s->state = JobState::Completed;
    s->summary = summary_json(summary);
    s->progress = {"done", summary.frames, summary.frames, 1};
    outcome = "completed: " + summary.note;
  } else if (end == End::Stopped) {
    s->state = JobState::Queued;  // not the job's fault: it runs again after a restart
    --s->attempts;
    outcome = s->deleted ? "stopped: the session was deleted" : "stopped; it runs again when the backend restarts";
  } else {
    s->state = JobState::Failed;
    s->error = error;
    outcome = "failed: " + error;
  }
  s->seconds = std::chrono::duration<double>(Clock::now() - s->started).count();
  char took[32];
  std::snprintf(took, sizeof took, " (%.1f s)", s->seconds);
  log_line("job " + id + ": " + outcome + took);
  if (s->deleted) {
    budget_.remove(remove_tree(store_.dir(id)));
    return;
  }
  budget_.add(static_cast<std::int64_t>(bytes_under(store_.mattes(id)) + bytes_under(store_.memo(id))));
  try {
    save(*s);
  } catch (const WriteError& e) {  // job.json still says RUNNING: a restart runs the job again
    log_line("job " + id + ": its end is not saved: " + e.what());
  }
  touch(*s);
}

}  // namespace backend
