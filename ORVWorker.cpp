// The matting worker: one whole-clip job from start to end on a thread of
// its own. It creates a session on the backend, uploads the staged frames,
// starts the job, polls it, downloads one matte per frame and reports the
// outcome in `status` and a message. It touches its instance only while the
// instance is alive, and stops quietly once it is gone or the process exits.
// However it ends, its upload folder goes with it.

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "ORVPlugin.h"
#include "orv/backend.h"
#include "orv/files.h"
#include "orv/http_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// The product's timings; a test build of the bundle shortens them.
#ifndef ORV_POLL_INTERVAL_MS
#define ORV_POLL_INTERVAL_MS 3000
#endif
#ifndef ORV_SILENCE_LIMIT_MS
#define ORV_SILENCE_LIMIT_MS 600000
#endif
constexpr auto kPollInterval = std::chrono::milliseconds(ORV_POLL_INTERVAL_MS);
constexpr auto kSilenceLimit = std::chrono::milliseconds(ORV_SILENCE_LIMIT_MS);
constexpr int kUploadAttempts = 3;
constexpr int kProgressEvery = 24;  // frames between progress texts
constexpr std::size_t kRefusalShown = 160;

// Why a job stops before its end without a failure to report.
struct Stopped {};

class Worker {
 public:
  explicit Worker(PullJob job) : job_(std::move(job)) { client_.abort_when(&gExiting); }
  ~Worker() { removeFolder(job_.uploadDir); }  // for an end by exception
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void run() {
    try {
      runSteps();
    } catch (const Stopped&) {
      removeFolder(job_.uploadDir);
      gBusy = false;  // the instance is gone or the host is exiting: nobody to tell
    }
  }

 private:
  void runSteps() {
    const int n = job_.frameCount;
    std::optional<std::string> id = orv::create_session(client_, job_.backendUrl, job_.fps);
    if (!id) return reportFailure("cannot reach backend");
    const std::string sessionUrl = orv::session_url(job_.backendUrl, *id);

    for (int i = 0; i < n; ++i) {
      const std::string path = orv::numbered_file(job_.uploadDir, i, ".jpg");
      const std::vector<std::uint8_t> jpeg = orv::read_file(path);
      bool sent = false;
      for (int attempt = 0; attempt < kUploadAttempts && !sent; ++attempt) {
        checkStillWanted();
        sent = orv::upload_frame(client_, sessionUrl, i, jpeg);
      }
      if (!sent) return reportFailure("upload failed at frame " + std::to_string(i));
      std::remove(path.c_str());
      if (i % kProgressEvery == 0) setStatus("uploading " + std::to_string(i + 1) + "/" + std::to_string(n));
    }

    checkStillWanted();
    orv::HttpResponse started = orv::start_job(client_, sessionUrl, job_.startBody);
    if (started.status < 200 || started.status > 299)
      return reportFailure("start rejected: " + started.body.substr(0, kRefusalShown));

    Clock::time_point lastAnswer = Clock::now();
    for (;;) {
      pause(kPollInterval);
      orv::JobStatus job = orv::poll_job(client_, sessionUrl);
      if (!job.answered) {
        // A backend that answers nothing for this long has stopped; the
        // busy flag must not stay taken until the host restarts.
        if (Clock::now() - lastAnswer >= kSilenceLimit) return reportFailure("backend stopped answering");
        continue;
      }
      lastAnswer = Clock::now();
      if (job.failed()) return reportFailure(job.error);
      if (job.completed()) break;
      if (job.stage) setStatus("tracking: " + *job.stage);
    }

    const std::string matteDir = std::string(kStagingRoot) + *id + "/";
    ::mkdir(matteDir.c_str(), 0755);
    std::vector<std::uint8_t> png;
    for (int i = 0; i < n; ++i) {
      checkStillWanted();
      if (!orv::download_matte(client_, sessionUrl, i, &png))
        return reportFailure("download failed at frame " + std::to_string(i));
      if (!orv::write_file(orv::numbered_file(matteDir, i, ".png"), png))
        return reportFailure("could not write matte " + std::to_string(i));
      if (i % kProgressEvery == 0) setStatus("downloading matte " + std::to_string(i + 1) + "/" + std::to_string(n));
    }

    removeFolder(job_.uploadDir);
    // The first frame goes with the session: mattes are looked up by both.
    onInstance([&] {
      setString(job_.instance, "clip_start", job_.clipStart);
      setString(job_.instance, "session_id", *id);
      setString(job_.instance, "status", "ready: " + std::to_string(n) + " frames matted");
      postMessage(job_.instance, "Prismhollow: alpha ready for " + std::to_string(n) + " frames.");
    });
    gBusy = false;
  }

  void reportFailure(const std::string& text) {
    removeFolder(job_.uploadDir);
    onInstance([&] {
      setString(job_.instance, "status", "failed: " + text);
      postMessage(job_.instance, "Prismhollow: " + text);
    });
    gBusy = false;
  }

  void setStatus(const std::string& text) {
    onInstance([&] { setString(job_.instance, "status", text); });
  }

  // Host calls on the instance happen only while it is alive.
  void onInstance(const std::function<void()>& work) {
    if (gExiting || !withLiveInstance(job_.instance, job_.generation, work)) throw Stopped{};
  }

  void checkStillWanted() {
    onInstance([] {});
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
      if (!gExiting)
        withLiveInstance(instance, generation,
                         [&] { postMessage(instance, "Prismhollow: the matting job stopped unexpectedly."); });
    } catch (...) {
    }
  }
}
