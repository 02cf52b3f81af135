// Backends of one broker behind haproxy (round robin, no affinity), each
// cluster of its own: a redis-server, the backends (--jobs 1) and haproxy
// on free loopback ports, in a folder made for the run and removed after.
//  1. jobs a minute for 8 jobs of the man's frames 200-223 of Megamind.avi,
//     submitted through haproxy to 1, 2 and 3 backends, and the ratio to 1;
//  2. what the balancer adds to a status poll: the median of a few hundred
//     GETs through haproxy less the median straight to a backend;
//  3. a backend killed with SIGKILL mid-job (frames 200-269; 2 backends): the
//     time from the kill until the other's log says it starts the job, the
//     whole job's time against an undisturbed run of it, and whether their
//     mattes are byte for byte the same (and those of two undisturbed runs).
//
//   build-release/bench/cluster_bench [--clip Megamind.avi] [--lease SECONDS] [--polls N]

#include <httplib.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "bench/run_folder.h"

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSessions = "/api/matte/sessions/";

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Frames first..last of the clip as the plug-in uploads them (JPEG), and
// the start body with a box around the man (340,10, 380 x 518 pixels).
struct Clip {
  std::vector<std::string> frames;
  std::string start;
};
Clip readClip(const std::string& path, int first, int last) {
  cv::VideoCapture video(path);
  if (!video.isOpened()) throw std::runtime_error("cannot open " + path);
  video.set(cv::CAP_PROP_POS_FRAMES, first);
  Clip clip;
  cv::Mat frame;
  for (int k = first; k <= last && video.read(frame); ++k) {
    std::vector<unsigned char> bytes;
    cv::imencode(".jpg", frame, bytes, {cv::IMWRITE_JPEG_QUALITY, 92});
    clip.frames.emplace_back(bytes.begin(), bytes.end());
  }
  if (clip.frames.size() != static_cast<std::size_t>(last - first + 1) || frame.empty())
    throw std::runtime_error(path + " has no frames " + std::to_string(first) + " to " + std::to_string(last));
  const double w = frame.cols, h = frame.rows;
  clip.start = json{{"anchor_frame", 0},
                    {"bbox", {{"x", 340 / w}, {"y", 10 / h}, {"w", 380 / w}, {"h", 518 / h}}},
                    {"edge_softness", 0.35},
                    {"quality", "fast"},
                    {"strokes", json::array()},
                    {"text_prompt", ""}}
                   .dump();
  return clip;
}

// An HTTP client of one address, failing loudly.
class Http {
 public:
  explicit Http(int port) : client_("127.0.0.1", port) {
    client_.set_keep_alive(true);
    client_.set_read_timeout(120, 0);
  }
  std::string session(const Clip& clip) {
    auto res = client_.Post("/api/matte/sessions", R"({"fps":25.0,"source":"plugin"})", "application/json");
    if (!res || res->status != 201) throw std::runtime_error("no session: " + (res ? res->body : "no answer"));
    const std::string id = json::parse(res->body).at("session_id");
    for (std::size_t k = 0; k < clip.frames.size(); ++k) {
      auto put = client_.Put(kSessions + id + "/frames/" + std::to_string(k), clip.frames[k], "image/jpeg");
      if (!put || put->status != 201) throw std::runtime_error("frame " + std::to_string(k) + " refused");
    }
    return id;
  }
  void start(const std::string& id, const Clip& clip) {
    auto res = client_.Post(kSessions + id + "/start", clip.start, "application/json");
    if (!res || res->status != 202) throw std::runtime_error("start refused: " + (res ? res->body : "no answer"));
  }
  json status(const std::string& id) {
    auto res = client_.Get(kSessions + id);
    return res && res->status == 200 ? json::parse(res->body) : json::object();
  }
  bool get(const std::string& path) {
    auto res = client_.Get(path);
    return res && res->status == 200;
  }
  std::vector<std::string> mattes(const std::string& id, std::size_t frames) {
    std::vector<std::string> pngs;
    for (std::size_t k = 0; k < frames; ++k) {
      auto res = client_.Get(kSessions + id + "/alpha/" + std::to_string(k) + ".png");
      pngs.push_back(res && res->status == 200 ? res->body : "");
    }
    return pngs;
  }
  // Polls every 20 ms until the job has ended; its last status.
  json await(const std::string& id) {
    for (const auto deadline = Clock::now() + std::chrono::minutes(20); Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      const json s = status(id);
      const std::string state = s.value("status", "");
      if (state == "COMPLETED" || state == "FAILED") return s;
    }
    throw std::runtime_error("job " + id + " did not end in 20 minutes");
  }

 private:
  httplib::Client client_;
};

// Redis, `n` backends sharing one data folder through it, and haproxy in
// front of them, all in `dir`.
class Cluster {
 public:
  Cluster(const fs::path& dir, int n, const std::vector<std::string>& options) : port_(freePort()) {
    fs::create_directories(dir / "redis");
    redis_ = std::make_unique<RedisServer>(dir / "redis", freePort());
    std::string config =
        "global\n  maxconn 512\n"
        "defaults\n  mode http\n  timeout connect 5s\n  timeout client 10m\n  timeout server 10m\n"
        "  timeout http-request 60s\n  retries 2\n  option redispatch\n"
        "frontend prismhollow\n  bind 127.0.0.1:" + std::to_string(port_) + "\n  default_backend matting\n"
        "backend matting\n  balance roundrobin\n";
    for (int k = 0; k < n; ++k) {
      const int port = freePort();
      std::vector<std::string> args = {BACKEND_COMMAND, "--listen", "127.0.0.1:" + std::to_string(port),
                                       "--data", (dir / "data").string(), "--broker", redis_->url(),
                                       "--jobs", "1", "--allow-host", "127.0.0.1:" + std::to_string(port_)};
      args.insert(args.end(), options.begin(), options.end());
      backends_.push_back(std::make_unique<LoggedChild>(args, dir / ("backend" + std::to_string(k + 1) + ".log")));
      backends_.back()->await_log("listening on http://127.0.0.1:");
      ports_.push_back(port);
      config += "  server backend" + std::to_string(k + 1) + " 127.0.0.1:" + std::to_string(port) +
                " check inter 1s fall 2 rise 1\n";
    }
    std::ofstream(dir / "haproxy.cfg") << config;
    haproxy_ = std::make_unique<LoggedChild>(std::vector<std::string>{"haproxy", "-db", "-f", (dir / "haproxy.cfg").string()},
                                             dir / "haproxy.log");
    Http probe(port_);
    for (int i = 0; !probe.get("/"); ++i) {
      if (i == 500 || !haproxy_->running()) throw std::runtime_error("haproxy does not answer:\n" + haproxy_->log_text());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // The balancer first, the backends next, the broker they finish on last.
  ~Cluster() {
    if (haproxy_) haproxy_->stop();
    for (auto& backend : backends_) backend->stop();
    if (redis_) redis_->stop();
  }
  int port() const { return port_; }
  int backendPort(int k) const { return ports_.at(k); }
  LoggedChild& backend(int k) { return *backends_.at(k); }
  int size() const { return static_cast<int>(backends_.size()); }
  // How many times the backends' logs say the job starts.
  int starts(const std::string& id) {
    int n = 0;
    for (auto& backend : backends_) {
      const std::string log = backend->log_text(), mark = "job " + id + ": starts";
      for (std::size_t at = 0; (at = log.find(mark, at)) != std::string::npos; ++at) ++n;
    }
    return n;
  }

 private:
  int port_;
  std::unique_ptr<RedisServer> redis_;
  std::vector<std::unique_ptr<LoggedChild>> backends_;
  std::vector<int> ports_;
  std::unique_ptr<LoggedChild> haproxy_;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}
double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

// Eight jobs started at once through the balancer: jobs a minute from the
// first start to the last job's end. The frames are uploaded beforehand,
// so that only the matting is timed.
double jobsPerMinute(const fs::path& dir, int backends, const Clip& clip, const std::vector<std::string>& options) {
  Cluster cluster(dir, backends, options);
  Http http(cluster.port());
  std::vector<std::string> ids;
  for (int k = 0; k < 8; ++k) ids.push_back(http.session(clip));
  const auto t0 = Clock::now();
  for (const std::string& id : ids) http.start(id, clip);
  for (const std::string& id : ids)
    if (const json s = http.await(id); s.value("status", "") != "COMPLETED")
      throw std::runtime_error("job " + id + " failed: " + s.dump());
  return 8 * 60 / since(t0);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);  // a backend killed mid-answer must not end the bench
  std::string clipPath = "/usr/share/doc/opencv-doc/examples/data/Megamind.avi";
  std::vector<std::string> options;
  int polls = 400;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--clip") clipPath = argv[i + 1];
    else if (option == "--lease") options = {"--lease", argv[i + 1]};
    else if (option == "--polls") polls = std::max(10, std::atoi(argv[i + 1]));
    else {
      std::fprintf(stderr, "usage: cluster_bench [--clip FILE] [--lease SECONDS] [--polls N]\n");
      return 2;
    }
  }
  try {
    const Clip shortClip = readClip(clipPath, 200, 223), longClip = readClip(clipPath, 200, 269);
    const bench::RunFolder run("cluster-bench");
    std::printf("cluster_bench: haproxy round robin over backends of one Redis, --jobs 1 each, %u cores\n",
                std::thread::hardware_concurrency());

    // 1. Throughput.
    std::printf("\n8 jobs of %zu frames (Megamind 200-223, quality fast), started at once through haproxy\n",
                shortClip.frames.size());
    std::printf("  %-9s %12s %10s\n", "backends", "jobs/minute", "vs 1");
    double one = 0;
    for (int n = 1; n <= 3; ++n) {
      const double rate = jobsPerMinute(run.path() / ("throughput" + std::to_string(n)), n, shortClip, options);
      if (n == 1) one = rate;
      std::printf("  %-9d %12.1f %9.2fx\n", n, rate, rate / one);
      std::fflush(stdout);
    }

    // 2 and 3 on one cluster of two backends.
    Cluster cluster(run.path() / "takeover", 2, options);
    Http balancer(cluster.port()), direct(cluster.backendPort(0));

    // 2. What the balancer adds to a status poll, on an idle cluster.
    const std::string polled = balancer.session(shortClip);
    std::vector<double> through, straight;
    for (int i = 0; i < polls; ++i) {
      for (Http* http : {&balancer, &direct}) {
        const auto t = Clock::now();
        if (http->status(polled).empty()) throw std::runtime_error("a status poll failed");
        (http == &balancer ? through : straight).push_back(since(t) * 1e3);
      }
    }
    std::printf("\nstatus poll, %d GETs each (ms)   median    p99\n", polls);
    std::printf("  straight to a backend          %6.3f %6.3f\n", median(straight), percentile(straight, 0.99));
    std::printf("  through haproxy                %6.3f %6.3f\n", median(through), percentile(through, 0.99));
    std::printf("  added by the balancer          %6.3f\n", median(through) - median(straight));
    std::fflush(stdout);

    // 3. A backend killed mid-job, against an undisturbed run of the same job.
    const std::size_t frames = longClip.frames.size();
    // Two undisturbed runs: the engine's own repeatability, the kill's baseline.
    const std::string again = balancer.session(longClip), reference = balancer.session(longClip),
                      taken = balancer.session(longClip);
    auto t = Clock::now();
    double undisturbed = 0;
    for (const std::string& id : {again, reference}) {
      t = Clock::now();
      balancer.start(id, longClip);
      if (balancer.await(id).value("status", "") != "COMPLETED") throw std::runtime_error("an undisturbed job failed");
      undisturbed = since(t);
    }

    t = Clock::now();
    balancer.start(taken, longClip);
    int victim = -1;
    for (double share = 0; victim < 0 || share < 40; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      if (victim < 0)
        for (int k = 0; k < cluster.size(); ++k)
          if (cluster.backend(k).log_text().find("job " + taken + ": starts") != std::string::npos) victim = k;
      const json s = balancer.status(taken);
      if (s.value("status", "") == "COMPLETED") throw std::runtime_error("the job ended before it could be stopped");
      share = s.contains("progress") ? s["progress"].value("job", 0.0) : 0.0;
      if (since(t) > 600) throw std::runtime_error("the job did not reach 40 %");
    }
    const double killedAt = since(t);
    const auto killed = Clock::now();
    cluster.backend(victim).stop(SIGKILL);
    const int survivor = 1 - victim;
    while (cluster.backend(survivor).log_text().find("job " + taken + ": starts") == std::string::npos) {
      if (since(killed) > 600) throw std::runtime_error("no backend took the job over");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double takeover = since(killed);
    const json done = balancer.await(taken);
    const double disturbed = since(t);
    if (done.value("status", "") != "COMPLETED") throw std::runtime_error("the job taken over failed: " + done.dump());
    const std::vector<std::string> a = balancer.mattes(reference, frames), b = balancer.mattes(taken, frames);
    const std::vector<std::string> c = balancer.mattes(again, frames);
    std::size_t same = 0, repeated = 0;
    std::string differing;
    for (std::size_t k = 0; k < frames; ++k) {
      same += !a[k].empty() && a[k] == b[k];
      repeated += !a[k].empty() && a[k] == c[k];
      if (a[k] != b[k]) differing += (differing.empty() ? "" : ",") + std::to_string(k);
    }

    std::printf("\nbackend killed (SIGKILL) mid-job, %zu frames (Megamind 200-269), 2 backends, lease %s\n", frames,
                options.empty() ? "10 s (default)" : (options[1] + " s").c_str());
    std::printf("  killed after                   %7.2f s (job at 40 %%)\n", killedAt);
    std::printf("  kill to the other's start      %7.2f s\n", takeover);
    std::printf("  whole job, undisturbed         %7.2f s\n", undisturbed);
    std::printf("  whole job, with the kill       %7.2f s (%+.2f s, %.2fx)\n", disturbed, disturbed - undisturbed,
                disturbed / undisturbed);
    std::printf("  mattes byte-identical          %s (%zu of %zu frames)\n", same == frames ? "yes" : "NO", same, frames);
    if (!differing.empty()) std::printf("  frames that differ             %s\n", differing.c_str());
    std::printf("  two undisturbed runs identical %s (%zu of %zu frames)\n", repeated == frames ? "yes" : "NO", repeated,
                frames);
    std::printf("  job starts in the logs         %d\n", cluster.starts(taken));
    return same == frames ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cluster_bench: %s\n", e.what());
    return 1;
  }
}
