// The matting worker: one whole-clip job from start to end on a thread of
// its own. It creates a session on the backend, uploads the staged frames,
// starts the job, polls it, downloads one matte per frame and reports the
// outcome in `status` and a message. It makes no host call on its instance:
// its edits and messages wait for the host's next action that may set
// values (applyQueuedEdits). It stops quietly, its transfer included, once
// the instance is gone or the process exits.
//
// Mattes arrive in a fresh folder of their own and each is checked as it
// lands; only a complete set replaces the session's folder, in one rename.
// So a failed job leaves the matte the user keeps exactly as it was, even
// when the backend hands out the same session id again. However the job
// ends, its upload folder and any unpublished mattes go with it.

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include "ORVParams.h"
#include "ORVPlugin.h"
#include "contract/files.h"
#include "orv/backend.h"
#include "orv/http_client.h"
#include "orv/image.h"
#include "orv/staging.h"

namespace {

using Clock = std::chrono::steady_clock;

// The product's timings; a test build of the bundle shortens them.
#ifndef ORV_POLL_INTERVAL_MS
#define ORV_POLL_INTERVAL_MS 3000
#endif
#ifndef ORV_SILENCE_LIMIT_MS
#define ORV_SILENCE_LIMIT_MS 600000
#endif
#ifndef ORV_LOW_SPEED_SEC
#define ORV_LOW_SPEED_SEC 30
#endif
constexpr auto kPollInterval = std::chrono::milliseconds(ORV_POLL_INTERVAL_MS);
constexpr auto kSilenceLimit = std::chrono::milliseconds(ORV_SILENCE_LIMIT_MS);
constexpr int kUploadAttempts = 3;
constexpr int kProgressEvery = 24;  // frames between progress texts
constexpr int kSilenceShown = 5;    // poll intervals without an answer before the status says so
constexpr std::size_t kRefusalShown = 160;

// "m:ss", whole seconds.
std::string clockText(Clock::duration length) {
  const long long s = std::chrono::duration_cast<std::chrono::seconds>(length).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  return text;
}

// Why a job stops before its end without a failure to report.
struct Stopped {};
// Why a job fails, as the user is told.
struct Failed {
  std::string text;
};

orv::HttpClient::Timeouts timeouts() {
  orv::HttpClient::Timeouts t;
  t.low_speed_sec = ORV_LOW_SPEED_SEC;
  return t;
}

// Puts the complete folder of mattes where render looks for the session's,
// in one exchange with what was there. False when the place holds something
// other than a folder, or the renames fail.
bool publish(const std::string& fresh, const std::string& target) {
  struct stat st {};
  if (::lstat(target.c_str(), &st) != 0) return errno == ENOENT && std::rename(fresh.c_str(), target.c_str()) == 0;
  if (!S_ISDIR(st.st_mode)) return false;
  if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
    // A file system that cannot exchange: the old folder aside, then the new in.
    const std::string retired = fresh.substr(0, fresh.size() - 1) + ".old";
    if (std::rename(target.c_str(), retired.c_str()) != 0) return false;
    if (std::rename(fresh.c_str(), target.c_str()) != 0) {
      std::rename(retired.c_str(), target.c_str());
      return false;
    }
    removeFolder(retired);
  }
  return true;  // fresh now holds the old mattes, if any
}

class Worker {
 public:
  explicit Worker(PullJob job) : job_(std::move(job)), client_(timeouts()) {
    client_.abort_when([this] { return gExiting || !instanceAlive(job_.instance, job_.generation); });
  }
  ~Worker() { removeStaged(); }  // for an end by exception
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void run() {
    try {
      try {
        runSteps();
      } catch (const Failed& failed) {
        stopOnBackend();  // nobody will collect what it holds
        reportFailure(failed.text);
      }
    } catch (const Stopped&) {
      removeStaged();
      stopOnBackend();
      gBusy = false;  // the instance is gone or the host is exiting: nobody to tell
    }
  }

 private:
  // The job ends without handing its session to the instance (it failed,
  // or the instance went away): the backend stops the job and forgets the
  // session, on a client of its own with a short time-out, since the job's
  // client aborts every call once the instance is gone. Not while the
  // process exits: nothing may start then.
  void stopOnBackend() {
    if (unfinished_.empty() || gExiting) return;
    orv::HttpClient::Timeouts brief;
    brief.get_sec = 1;
    orv::delete_session(orv::HttpClient(brief), unfinished_);
  }

  void removeStaged() {
    removeFolder(job_.uploadDir);
    if (!downloadDir_.empty()) removeFolder(downloadDir_);
  }

  void runSteps() {
    const int n = job_.frameCount;
    const std::string digest = orv::frames_digest(job_.uploadDir, n);
    std::optional<std::string> id = sessionHolding(digest);
    const bool reused = id.has_value();
    if (id) {
      setStatus("reusing the " + std::to_string(n) + " frames the backend holds");
    } else {
      id = orv::create_session(client_, job_.backendUrl, job_.fps);
      if (!id) throw Failed{"cannot reach backend"};
      unfinished_ = orv::session_url(job_.backendUrl, *id);
      upload(orv::session_url(job_.backendUrl, *id));
    }
    const std::string sessionUrl = orv::session_url(job_.backendUrl, *id);

    checkStillWanted();
    orv::HttpResponse started = orv::start_job(client_, sessionUrl, job_.startBody);
    if (started.status < 200 || started.status > 299)
      throw Failed{"start rejected: " + started.body.substr(0, kRefusalShown)};
    unfinished_ = sessionUrl;

    Clock::time_point lastAnswer = Clock::now();
    bool silent = false;
    for (;;) {
      pause(kPollInterval);
      orv::JobStatus job = orv::poll_job(client_, sessionUrl);
      if (!job.answered) {
        // A backend that answers nothing for this long has stopped; the
        // busy flag must not stay taken until the host restarts. Said while
        // it lasts, so that nobody watches a frozen line for ten minutes.
        const Clock::duration quiet = Clock::now() - lastAnswer;
        if (quiet >= kSilenceLimit) throw Failed{"backend stopped answering"};
        if (quiet >= kSilenceShown * kPollInterval) {
          edit(param::kStatus, "backend not answering for " + clockText(quiet) + ", giving up at " +
                                   clockText(kSilenceLimit));
          silent = true;
        }
        continue;
      }
      lastAnswer = Clock::now();
      if (job.failed() || job.completed()) {
        // A session the instance holds already stays for later pulls.
        if (reused) unfinished_.clear();
        if (job.failed()) throw Failed{job.error};
        break;
      }
      if (job.stage)
        setStatus("tracking: " + *job.stage);
      else if (silent)
        setStatus(shown_);  // answering again: back to what it said
      silent = false;
    }

    downloadMattes(sessionUrl);
    if (!digest.empty()) std::ofstream(downloadDir_ + orv::kFramesDigest) << digest;  // none: no reuse later
    const std::string matteDir = contract::matte_folder(*id);
    removeFolder(job_.uploadDir);
    bool published = false;
    if (gExiting || !withLiveInstance(job_.instance, job_.generation,
                                      [&] { published = publish(downloadDir_, matteDir); }))
      throw Stopped{};
    if (!published) throw Failed{"could not store the mattes in " + matteDir};
    // The session the instance shows already (its frames served again) is
    // cleared first: the host drops the renders it cached only when the
    // value changes. The first frame goes with the session: mattes are
    // looked up by both.
    if (*id == job_.previousSession) edit(param::kSessionId, "");
    edit(param::kClipStart, job_.clipStart);
    edit(param::kSessionId, *id);
    unfinished_.clear();  // the instance's now: its mattes may serve a re-pull
    edit(param::kStatus, "ready: " + std::to_string(n) + " frames matted");
    tell("Prismhollow: alpha ready for " + std::to_string(n) + " frames.");
    removeStaged();  // the session's mattes before these
    gBusy = false;
  }

  // The instance's session when the backend still holds exactly these
  // frames and no job runs on it: a new job on it needs no upload.
  std::optional<std::string> sessionHolding(const std::string& digest) {
    const std::string folder = contract::matte_folder(job_.previousSession);
    if (digest.empty() || folder.empty()) return std::nullopt;
    if (contract::read_file(folder + orv::kFramesDigest) != digest) return std::nullopt;
    checkStillWanted();
    const orv::JobStatus held = orv::poll_job(client_, orv::session_url(job_.backendUrl, job_.previousSession));
    if (!held.answered || held.frames != job_.frameCount || !(held.completed() || held.failed())) return std::nullopt;
    return job_.previousSession;
  }

  void upload(const std::string& sessionUrl) {
    const int n = job_.frameCount;
    for (int i = 0; i < n; ++i) {
      const std::string path = contract::numbered_file(job_.uploadDir, i, ".jpg");
      const std::vector<std::uint8_t> jpeg =
          contract::read_file<std::vector<std::uint8_t>>(path).value_or(std::vector<std::uint8_t>());
      bool sent = false;
      for (int attempt = 0; attempt < kUploadAttempts && !sent; ++attempt) {
        checkStillWanted();
        sent = orv::upload_frame(client_, sessionUrl, i, jpeg);
      }
      if (!sent) throw Failed{"upload failed at frame " + std::to_string(i)};
      std::remove(path.c_str());
      if (i % kProgressEvery == 0) setStatus("uploading " + std::to_string(i + 1) + "/" + std::to_string(n));
    }
  }

  // Every matte into a fresh folder, each checked as it arrives; throws
  // Failed when one does not come or is not a matte render can use.
  void downloadMattes(const std::string& sessionUrl) {
    const std::string root = contract::staging_root();
    std::string folder = root + "download_XXXXXX";
    if (root.empty() || !::mkdtemp(folder.data())) throw Failed{"could not write matte 0"};
    downloadDir_ = folder + "/";
    const std::uint64_t limit = orv::matte_size_limit(job_.largestFramePixels);
    for (int i = 0; i < job_.frameCount; ++i) {
      checkStillWanted();
      const std::string path = contract::numbered_file(downloadDir_, i, ".png");
      const std::string frame = std::to_string(i);
      switch (orv::download_matte(client_, sessionUrl, i, path, limit)) {
        case orv::Download::kDone: break;
        case orv::Download::kFailed: throw Failed{"download failed at frame " + frame};
        case orv::Download::kTooLarge: throw Failed{"matte too large at frame " + frame};
        case orv::Download::kUnwritable: throw Failed{"could not write matte " + frame};
      }
      // The same decode render will make of it: whole chunks, right CRCs, within limits.
      int width = 0, height = 0;
      if (orv::load_gray(path, &width, &height).empty()) throw Failed{"unusable matte at frame " + frame};
      if (i % kProgressEvery == 0)
        setStatus("downloading matte " + std::to_string(i + 1) + "/" + std::to_string(job_.frameCount));
    }
  }

  void reportFailure(const std::string& text) {
    removeStaged();
    edit(param::kStatus, "failed: " + text);
    tell("Prismhollow: " + text);
    gBusy = false;
  }

  void setStatus(const std::string& text) {
    edit(param::kStatus, text);
    shown_ = text;
  }

  // For the host's next action to apply; Stopped once the instance is gone.
  void edit(const char* param, std::string value) {
    if (gExiting || !queueEdit(job_.instance, job_.generation, param, std::move(value))) throw Stopped{};
  }
  void tell(std::string text) {
    if (gExiting || !queueMessage(job_.instance, job_.generation, std::move(text))) throw Stopped{};
  }

  void checkStillWanted() {
    if (gExiting || !instanceAlive(job_.instance, job_.generation)) throw Stopped{};
  }

  // Waits between polls, watching for the instance to go away meanwhile.
  void pause(std::chrono::milliseconds length) {
    const auto until = Clock::now() + length;
    while (Clock::now() < until) {
      checkStillWanted();
      std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(100)));
    }
    checkStillWanted();
  }

  PullJob job_;
  orv::HttpClient client_;
  std::string downloadDir_;  // ends in "/"; the mattes until they are published
  std::string shown_;        // the last status but a silence
  std::string unfinished_;   // a session made, or a job started, not yet handed to the instance
};

}  // namespace

void runPullJob(PullJob job) {
  const OfxImageEffectHandle instance = job.instance;
  const unsigned long long generation = job.generation;
  try {
    Worker(std::move(job)).run();
  } catch (...) {
    // Out of memory or worse: the job ends, and later pulls stay possible.
    gBusy = false;
    try {
      if (!gExiting) queueMessage(instance, generation, "Prismhollow: the matting job stopped unexpectedly.");
    } catch (...) {
    }
  }
}
