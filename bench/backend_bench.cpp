// prismhollow-backend at work, on 720 x 528 frames of Megamind.avi:
//  1. the latency of a status poll while another session's job runs, beside
//     the same poll with no job running (Google Benchmark, median of five);
//  2. a whole pull of 48 frames through our host on the quick bundle (20 ms
//     polls): seconds per frame in staging, upload, matting and download;
//  3. a pull of 100 frames of the man's last shot and a re-pull with one
//     more correction (an exclude dab on frame 50, then on frame 75; an add
//     dab on frame 50): seconds from the press to "ready" and on the job,
//     and their ratio;
//  4. the backend's peak memory (VmHWM) over a session of --frames frames
//     (default 2000; one continuous shot): after the uploads and after the job;
//  5. hostile clients: the latency of a status poll (p50, p99; goal p99 under
//     100 ms) while 200 connections send their head a byte every 2 s, and
//     while 200 connections send nothing; the backend's peak memory over idle
//     (goal under 100 MiB) while JPEG bombs are uploaded four at a time.
//
//   build-release/bench/backend_bench [--frames N] [--hostile-only] [--benchmark_filter=...]

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <thread>
#include <algorithm>
#include <atomic>

#include "Host.h"
#include "Instance.h"
#include "MedianReporter.h"
#include "Plugin.h"

extern char** environ;
namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kStart = R"({"anchor_frame":0,"bbox":{"h":0.9,"w":0.5,"x":0.12,"y":0.1},"quality":"fine"})";

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A backend process on a free port with its data in a fresh folder.
class Backend {
 public:
  Backend() : dir_(fs::temp_directory_path() / ("backend-bench-" + std::to_string(getpid()))) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const std::string log = (dir_ / "log").string(), data = (dir_ / "data").string();
    const char* argv[] = {BACKEND_COMMAND, "--listen", "127.0.0.1:0", "--data", data.c_str(), nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = posix_spawn(&pid_, argv[0], &files, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&files);
    if (error != 0 || pid_ <= 0) {
      std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(error));
      std::exit(1);
    }
    const std::string mark = "listening on http://127.0.0.1:";
    for (std::size_t at = std::string::npos; at == std::string::npos; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      std::ifstream in(log);
      const std::string text{std::istreambuf_iterator<char>(in), {}};
      if ((at = text.find(mark)) != std::string::npos) port_ = std::stoi(text.substr(at + mark.size()));
      else if (waitpid(pid_, nullptr, WNOHANG) != 0) {
        std::fprintf(stderr, "the backend ended before it listened:\n%s", text.c_str());
        std::exit(1);
      }
    }
    http_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
  }
  ~Backend() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {  // still our running child
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  httplib::Client& http() { return *http_; }
  std::string session(const std::vector<std::string>& frames) {
    const std::string id = json::parse(http_->Post("/api/matte/sessions", "{}", "application/json")->body)["session_id"];
    for (std::size_t i = 0; i < frames.size(); ++i)
      http_->Put("/api/matte/sessions/" + id + "/frames/" + std::to_string(i), frames[i], "image/jpeg");
    return id;
  }
  void start(const std::string& id) { http_->Post("/api/matte/sessions/" + id + "/start", kStart, "application/json"); }
  json status(const std::string& id) { return json::parse(http_->Get("/api/matte/sessions/" + id)->body); }
  void await(const std::string& id, const char* wanted) {
    while (status(id)["status"] != wanted) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The process's peak resident set, in MiB.
  double peakMiB() const { return statusMiB("VmHWM:"); }
  // Its resident set now, which also becomes its peak.
  double resetPeak() const {
    std::ofstream("/proc/" + std::to_string(pid_) + "/clear_refs") << "5";
    return statusMiB("VmRSS:");
  }

 private:
  double statusMiB(const std::string& field) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + field.size()) / 1024;
    return 0;
  }

  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::unique_ptr<httplib::Client> http_;
};

std::vector<cv::Mat> megamind(int count) {
  std::vector<cv::Mat> frames;
  cv::VideoCapture video("/usr/share/doc/opencv-doc/examples/data/Megamind.avi");
  for (cv::Mat frame; int(frames.size()) < count && video.read(frame);)
    if (video.get(cv::CAP_PROP_POS_FRAMES) > 40) frames.push_back(frame.clone());  // one shot from frame 40 on
  return frames;
}
std::string jpeg(const cv::Mat& image) {
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 92});
  return {bytes.begin(), bytes.end()};
}

Backend* gBackend = nullptr;
std::string gPolled;

void BM_PollIdle(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(gBackend->http().Get("/api/matte/sessions/" + gPolled));
}
// The job, on 200 frames, starts with the first run and outlasts the last.
void BM_PollUnderAJob(benchmark::State& state) {
  static const std::string busy = [] {
    std::vector<std::string> frames;
    for (const cv::Mat& m : megamind(200)) frames.push_back(jpeg(m));
    const std::string id = gBackend->session(frames);
    gBackend->start(id);
    gBackend->await(id, "RUNNING");
    return id;
  }();
  for (auto _ : state) benchmark::DoNotOptimize(gBackend->http().Get("/api/matte/sessions/" + gPolled));
  if (gBackend->status(busy)["status"] != "RUNNING") state.SkipWithError("the job ended during the measurement");
}

// An instance of the quick bundle (20 ms polls) whose Source is `frames`,
// pointed at the backend, with a box drawn.
std::shared_ptr<ofxhost::EffectInstance> instanceOver(ofxhost::Host& host, const std::vector<cv::Mat>& frames,
                                                      const std::string& url, const char* box) {
  const int w = frames[0].cols, h = frames[0].rows;
  ofxhost::InstanceSettings settings;
  settings.projectWidth = w, settings.projectHeight = h;
  settings.strings["backend_url"] = url;  // as a saved project holds it
  settings.strings["bbox_json"] = box;
  auto fx = host.loadPlugin(ORV_QUICK_BUNDLE_DIR).createInstance(settings);
  fx->setSourceFrameRange(0, static_cast<double>(frames.size()) - 1);
  fx->setSource([&frames, w, h](OfxTime t) {
    auto image = ofxhost::ImageBuffer::allocate(OfxRectI{0, 0, w, h}, kOfxBitDepthByte);
    const cv::Mat& bgr = frames.at(static_cast<std::size_t>(t));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
        unsigned char* px = image->pixel(x, h - 1 - y);  // OpenFX rows go up
        px[0] = p[2], px[1] = p[1], px[2] = p[0], px[3] = 255;
      }
    return image;
  });
  return fx;
}

// A whole pull through the plug-in, timed from the status texts it shows.
void pullThroughThePlugin() {
  Backend backend;
  const std::vector<cv::Mat> frames = megamind(48);
  const int n = int(frames.size()), w = frames[0].cols, h = frames[0].rows;
  ofxhost::Host host;
  auto fx = instanceOver(host, frames, backend.url(), R"({"h":0.9,"w":0.5,"x":0.12,"y":0.1})");
  std::mutex mu;
  std::vector<std::pair<std::string, Clock::time_point>> shown;
  fx->param("status")->onPluginEdit = [&](const std::string&) {
    std::lock_guard<std::mutex> lock(mu);
    shown.emplace_back(fx->stringValue("status"), Clock::now());
  };
  const auto first = [&](const std::string& prefix) {
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      fx->syncPrivateData();  // as a viewer redraws: the worker's edits come in
      std::lock_guard<std::mutex> lock(mu);
      for (const auto& [text, at] : shown)
        if (text.rfind(prefix, 0) == 0) return at;
    }
  };
  const Clock::time_point pressed = Clock::now();
  fx->pressButton("pull_alpha");
  const Clock::time_point staged = Clock::now();
  const auto tracking = first("tracking: "), downloading = first("downloading matte "), ready = first("ready: ");
  const auto perFrame = [&](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count() / n;
  };
  std::printf("\nA pull of %d frames of %d x %d through the plug-in, ms per frame:\n", n, w, h);
  std::printf("  staging %.1f, upload %.1f, matting %.1f, download %.1f; whole %.1f\n", perFrame(pressed, staged),
              perFrame(staged, tracking), perFrame(tracking, downloading), perFrame(downloading, ready),
              perFrame(pressed, ready));
}

// The man's last shot (frames 200 to 269) and back again to frame 240:
// 100 frames of one shot.
std::vector<cv::Mat> manThereAndBack() {
  std::vector<cv::Mat> shot;
  cv::VideoCapture video("/usr/share/doc/opencv-doc/examples/data/Megamind.avi");
  video.set(cv::CAP_PROP_POS_FRAMES, 200);
  for (cv::Mat frame; shot.size() < 70 && video.read(frame);) shot.push_back(frame.clone());
  std::vector<cv::Mat> frames = shot;
  for (int i = 68; i >= 39; --i) frames.push_back(shot[i]);
  return frames;
}

// A pull and a re-pull with one more correction, pressed in our host on
// the quick bundle (20 ms polls): seconds from the press to "ready", the
// backend's seconds on the job, and the mattes the correction changed.
// `dab`: the correction's dab as the brush record holds it, x, y and r.
void rePull(int correctionFrame, const char* what, const char* dab) {
  Backend backend;
  const std::vector<cv::Mat> frames = manThereAndBack();
  const int n = int(frames.size()), w = frames[0].cols, h = frames[0].rows;
  ofxhost::Host host;
  auto fx = instanceOver(host, frames, backend.url(), R"({"h":1.0,"w":0.64,"x":0.17,"y":0.0})");
  const auto mattes = [&] {
    std::vector<std::string> bytes;
    const std::string id = fx->stringValue("session_id");
    for (int i = 0; i < n; ++i) bytes.push_back(backend.http().Get("/api/matte/sessions/" + id + "/alpha/" + std::to_string(i) + ".png")->body);
    return bytes;
  };
  const auto pull = [&] {
    const Clock::time_point pressed = Clock::now();
    fx->pressButton("pull_alpha");
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      fx->syncPrivateData();
      const std::string status = fx->stringValue("status");
      if (status.rfind("ready: ", 0) == 0) break;
      if (status.rfind("failed: ", 0) == 0) {
        std::fprintf(stderr, "the pull failed: %s\n", status.c_str());
        std::exit(1);
      }
    }
    return std::pair{since(pressed), backend.status(fx->stringValue("session_id"))["seconds"].get<double>()};
  };
  fx->setTime(35);
  const auto [first, firstJob] = pull();
  const std::vector<std::string> before = mattes();
  fx->setValue("brush_json", std::string("[[") + dab + "," + std::to_string(correctionFrame) + ".0]]");
  const std::string firstId = fx->stringValue("session_id");
  const auto [again, againJob] = pull();
  if (fx->stringValue("session_id") != firstId) std::printf("\n(the re-pull did not reuse the session)");
  const std::vector<std::string> after = mattes();
  int changed = 0;
  for (int i = 0; i < n; ++i) changed += before[i] != after[i];
  std::printf(
      "\nA pull of %d frames of %d x %d, then one more correction on frame %d, %s (%d mattes changed):\n"
      "  pull %.2f s (job %.2f s), re-pull %.2f s (job %.2f s): %.2f of the pull (job %.2f)\n",
      n, w, h, correctionFrame, what, changed, first, firstJob, again, againJob, again / first, againJob / firstJob);
}

void rePulls() {
  for (int frame : {50, 75}) rePull(frame, "an exclude dab on the wall beside his head", "0.9,0.12,-0.03");
  rePull(50, "an add dab on the hair past the box's right side", "0.8,0.1,0.02");
}

void peakMemory(int count) {
  Backend backend;
  std::vector<std::string> frames;
  const std::vector<cv::Mat> shot = megamind(1);
  for (int i = 0; i < count; ++i) {  // one shot: the first frame panning a pixel every fourth frame, to and fro
    const int step = i / 4 % 80, shift = step < 40 ? step : 80 - step;
    cv::Mat frame;
    cv::warpAffine(shot[0], frame, cv::Mat(cv::Matx23d(1, 0, shift, 0, 1, 0)), shot[0].size(), cv::INTER_LINEAR,
                   cv::BORDER_REPLICATE);
    frames.push_back(jpeg(frame));
  }
  const auto uploading = Clock::now();
  const std::string id = backend.session(frames);
  std::printf("\nA session of %d frames: uploads %.1f ms per frame, peak %.0f MiB;", count,
              since(uploading) * 1000 / count, backend.peakMiB());
  std::fflush(stdout);
  backend.start(id);
  backend.await(id, "COMPLETED");
  const json done = backend.status(id);
  std::printf(" after the job (%.0f s, %d empty frames) peak %.0f MiB\n", done["seconds"].get<double>(),
              done["empty_frames"].get<int>(), backend.peakMiB());
}

// Connections to the backend that a slow or idle client keeps open, each
// opened again whenever the backend closes it, until destroyed.
class Loiterers {
 public:
  Loiterers(int port, int count, bool trickle) {
    thread_ = std::thread([=] {
      const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nX-Slow: " +
                               std::string(4000, 'x') + "\r\n\r\n";
      std::vector<std::pair<int, std::size_t>> open(count, {-1, 0});  // socket, bytes of the head sent
      while (!stop_) {
        for (auto& [fd, sent] : open) {
          if (fd < 0) {
            sockaddr_in a{};
            a.sin_family = AF_INET, a.sin_port = htons(static_cast<std::uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            fd = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close(fd), fd = -1;
            sent = 0;
            if (fd < 0 || !trickle) continue;
          }
          char b[256];
          if ((sent > 0 && recv(fd, b, sizeof b, MSG_DONTWAIT) == 0) ||
              (trickle && send(fd, head.data() + sent++ % head.size(), 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0))
            close(fd), fd = -1, ++reopened_;
        }
        for (int i = 0; i < 20 && !stop_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      for (auto& [fd, sent] : open)
        if (fd >= 0) close(fd);
    });
  }
  ~Loiterers() {
    stop_ = true;
    thread_.join();
  }
  int reopened() const { return reopened_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> reopened_{0};
  std::thread thread_;
};

void pollLatency(Backend& backend, const std::string& id, const char* what) {
  std::vector<double> ms;
  const Clock::time_point end = Clock::now() + std::chrono::seconds(12);
  while (Clock::now() < end) {
    const Clock::time_point t = Clock::now();
    auto res = backend.http().Get("/api/matte/sessions/" + id);
    ms.push_back(res && res->status == 200 ? since(t) * 1000 : 1e9);  // no answer counts as the slowest
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) { return ms[std::min(ms.size() - 1, std::size_t(q * ms.size()))]; };
  const auto text = [](double v) {
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.2f ms", v);
    return v >= 1e9 ? std::string("no answer") : std::string(ms);
  };
  std::printf("  %s: %zu polls (%zu unanswered), p50 %s, p99 %s, slowest %s (goal: p99 under 100 ms)\n", what,
              ms.size(), std::size_t(std::count(ms.begin(), ms.end(), 1e9)), text(at(0.5)).c_str(),
              text(at(0.99)).c_str(), text(ms.back()).c_str());
}

// A flat image as a progressive JPEG, its last scan repeated `extra` times.
std::string progressiveFlat(int side, int extra) {
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", cv::Mat(side, side, CV_8UC3, cv::Scalar::all(128)), bytes, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
  std::string jpeg(bytes.begin(), bytes.end() - 2);
  const std::string last = jpeg.substr(jpeg.rfind("\xFF\xDA"));
  for (int i = 0; i < extra; ++i) jpeg += last;
  return jpeg + "\xFF\xD9";
}

void hostileClients() {
  Backend backend;
  const std::string id = backend.session({jpeg(megamind(1)[0])});
  std::printf("\nHostile clients:\n");
  pollLatency(backend, id, "no other connection");
  {
    Loiterers slow(backend.port(), 200, true);
    pollLatency(backend, id, "200 connections sending a head a byte every 2 s");
  }
  {
    Loiterers idle(backend.port(), 200, false);
    pollLatency(backend, id, "200 connections sending nothing");
  }
  // 8192 x 8192 progressive (192 MiB of coefficients) in 400 KB; 2896 x 2896
  // (24 MiB) with 2000 scans; the first cut short after 16 bytes of its
  // first scan: 8192 x 8192 declared in some hundred bytes.
  const std::string wide = progressiveFlat(8192, 0), scans = progressiveFlat(2896, 2000);
  const std::size_t sos = wide.find("\xFF\xDA");
  const std::string tiny = wide.substr(0, sos + 2 + (std::uint8_t(wide[sos + 2]) << 8 | std::uint8_t(wide[sos + 3])) + 16) + "\xFF\xD9";
  for (const auto& [bomb, what] : {std::pair{&wide, "8192 x 8192 progressive"}, {&scans, "2000 scans"}, {&tiny, "declared"}}) {
    const double idle = backend.resetPeak();
    const Clock::time_point t = Clock::now();
    std::vector<std::thread> four;
    std::vector<int> statuses(4);
    for (int i = 0; i < 4; ++i)
      four.emplace_back([&, i] {
        httplib::Client http("127.0.0.1", backend.port());
        http.set_read_timeout(120);
        const std::string session = json::parse(http.Post("/api/matte/sessions", "{}", "application/json")->body)["session_id"];
        auto res = http.Put("/api/matte/sessions/" + session + "/frames/0", *bomb, "image/jpeg");
        statuses[i] = res ? res->status : -1;
      });
    for (std::thread& t : four) t.join();
    std::printf("  four JPEG bombs (%s, %zu bytes) at once: answered %d %d %d %d in %.2f s; peak %.0f MiB over idle\n",
                what, bomb->size(), statuses[0], statuses[1], statuses[2], statuses[3], since(t),
                backend.peakMiB() - idle);
  }
  std::printf("  (goal: under 100 MiB over idle)\n");
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 2000;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--frames") frames = std::atoi(argv[i + 1]);
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--hostile-only") return hostileClients(), 0;
    if (std::string(argv[i]) == "--repull-only") {
      rePulls();
      return 0;
    }
  }
  Backend backend;
  gBackend = &backend;
  gPolled = backend.session({jpeg(megamind(1)[0])});
  auto settings = [](benchmark::internal::Benchmark* b) {
    b->MinTime(0.2)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMicrosecond);
  };
  settings(benchmark::RegisterBenchmark("Poll/idle", BM_PollIdle));
  settings(benchmark::RegisterBenchmark("Poll/under_a_job", BM_PollUnderAJob));
  benchmark::Initialize(&argc, argv);
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  pullThroughThePlugin();
  rePulls();
  if (frames > 0) peakMemory(frames);
  hostileClients();
  benchmark::Shutdown();
  return 0;
}
