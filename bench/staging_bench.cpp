// Staging speed: the whole grab of a clip by "Pull alpha (whole clip)" to
// its JPEG files, per frame, against the stb encoder alone on the staged
// frame, measured in the same run; libjpeg-turbo's encoder at the same
// quality as the reference of what a user's own tools would take.
//
//   build/bench/staging_bench [--benchmark_filter=...]
//
// The grab runs through our host on the real bundle: an instance with a
// Source of the clip's size, a backend address where a socket listens but
// never answers, and a press of the button, which returns once every frame
// is staged. The staged frames are counted while the worker waits on that
// socket; closing it then ends the job with "cannot reach backend" (the
// worker removes its upload folder), which is awaited, so that the busy
// flag is free. A failure ends the program with status 1.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Host.h"
#include "Image.h"
#include "Instance.h"
#include "MedianReporter.h"
#include "orv/image.h"

using namespace ofxhost;

namespace {

constexpr int kFramesPerPress = 8;
constexpr int kQuality = 92;
const std::string kRoot = "/tmp/prismhollow/";

struct Size {
  int w, h;
};
const Size kSizes[] = {{3840, 2160}, {1920, 1080}};

std::string sizeName(const Size& s) { return std::to_string(s.w) + "x" + std::to_string(s.h); }

// A picture with what a camera frame has for an encoder: smooth gradients,
// edges and fine grain. Channel c of pixel (x, y), y from the top, 0..255.
unsigned char sceneAt(int x, int y, int c, const Size& s) {
  const double u = static_cast<double>(x) / s.w, v = static_cast<double>(y) / s.h;
  double value = 90 + 70 * u + 40 * v * (c + 1) / 3.0;
  value += 35 * std::sin(12 * u + 5 * v + c) * std::cos(7 * v - 3 * u);
  if (std::hypot(u - 0.5, (v - 0.55) * 0.56) < 0.18) value = 200 - 60 * v + 10 * c;  // a figure
  const unsigned hash = (static_cast<unsigned>(x) * 73856093u) ^ (static_cast<unsigned>(y) * 19349663u) ^
                        (static_cast<unsigned>(c) * 83492791u);
  value += static_cast<int>(hash % 13) - 6;  // grain
  return static_cast<unsigned char>(std::clamp(value, 0.0, 255.0));
}

std::shared_ptr<ImageBuffer> sourceFrame(const Size& s, const char* depth) {
  auto image = ImageBuffer::allocate({0, 0, s.w, s.h}, depth);
  for (int y = 0; y < s.h; ++y)
    for (int x = 0; x < s.w; ++x)
      for (int c = 0; c < 4; ++c) {
        const unsigned char v = c == 3 ? 255 : sceneAt(x, y, c, s);
        // OpenFX rows go up: the picture's top row is the bounds' last.
        if (image->isFloat())
          image->pixelFloat(x, s.h - 1 - y)[c] = v / 255.0f;
        else
          image->pixel(x, s.h - 1 - y)[c] = v;
      }
  return image;
}

// The staged frame of a clip of that size: at most 1920 on the longer side,
// nearest neighbour, as 8-bit RGBA rows from the top.
std::vector<unsigned char> stagedFrame(const Size& s, int* W, int* H) {
  const double scale = std::min(1920.0 / std::max(s.w, s.h), 1.0);
  *W = std::max(static_cast<int>(s.w * scale), 2);
  *H = std::max(static_cast<int>(s.h * scale), 2);
  std::vector<unsigned char> rgba(static_cast<std::size_t>(*W) * *H * 4);
  for (int y = 0; y < *H; ++y)
    for (int x = 0; x < *W; ++x)
      for (int c = 0; c < 4; ++c) {
        const int sx = std::min(static_cast<int>(x / scale), s.w - 1);
        const int sy = std::min(static_cast<int>(y / scale), s.h - 1);
        rgba[(static_cast<std::size_t>(y) * *W + x) * 4 + c] = c == 3 ? 255 : sceneAt(sx, sy, c, s);
      }
  return rgba;
}

// A 127.0.0.1 port that listens and never answers: a worker's first call
// waits there until hangUp() takes its connection and closes it.
class SilentBackend {
 public:
  SilentBackend() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
  ~SilentBackend() {
    if (fd_ >= 0) ::close(fd_);
  }
  SilentBackend(const SilentBackend&) = delete;
  SilentBackend& operator=(const SilentBackend&) = delete;
  const std::string& url() const { return url_; }  // empty when no socket could listen
  // Waits up to 10 s for the worker's connection and closes it unanswered;
  // false when none came. Once the worker has connected here, no other
  // program that takes the port later can answer it.
  bool hangUp() {
    pollfd waiting{fd_, POLLIN, 0};
    if (::poll(&waiting, 1, 10000) != 1) return false;
    const int connection = ::accept(fd_, nullptr, nullptr);
    if (connection < 0) return false;
    ::close(connection);
    return true;
  }

 private:
  int fd_ = -1;
  std::string url_;
};

std::set<std::string> uploadDirs() {
  std::set<std::string> dirs;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(kRoot, ec))
    if (entry.path().filename().string().rfind("upload_", 0) == 0) dirs.insert(entry.path().string());
  return dirs;
}

struct Fixture {
  Host host;
  Plugin* plugin = nullptr;

  Fixture() { plugin = &host.loadPlugin(ORV_BUNDLE_DIR); }

  std::shared_ptr<EffectInstance> clip(const Size& s, const char* depth) {
    InstanceSettings settings;
    settings.projectWidth = s.w, settings.projectHeight = s.h, settings.depth = depth;
    settings.strings["backend_url"] = "";  // no beacon
    auto fx = plugin->createInstance(settings);
    fx->setSourceFrameRange(0, kFramesPerPress - 1);
    auto frame = sourceFrame(s, depth);
    fx->setSource([frame](OfxTime) { return frame; });
    return fx;
  }

  std::vector<std::string> messages() {
    std::vector<std::string> texts;
    for (const auto& m : host.messages().all()) texts.push_back(m.text);
    return texts;
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// One press, timed; a press refused because the last job is still letting
// go of the busy flag is repeated untimed.
bool timedPress(Fixture& f, EffectInstance& fx, double* seconds) {
  for (int attempt = 0; attempt < 5000; ++attempt) {
    f.host.messages().clear();
    const auto start = std::chrono::steady_clock::now();
    fx.pressButton("pull_alpha");
    const auto end = std::chrono::steady_clock::now();
    const auto texts = f.messages();
    if (texts.size() == 1 && texts[0] == "Prismhollow: a matte is already being pulled.") {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    *seconds = std::chrono::duration<double>(end - start).count();
    return true;
  }
  return false;
}

// Waits for the worker's failure at create: then the flag is about to be free.
bool awaitFailure(Fixture& f) {
  for (int waited = 0; waited < 10000; ++waited) {
    for (const auto& text : f.messages())
      if (text == "Prismhollow: cannot reach backend") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// One press that stages the clip: its duration and the staged bytes. The
// job's failure is awaited. Null when all went as expected, otherwise what
// did not.
const char* pressOnce(Fixture& f, EffectInstance& fx, double* seconds, std::uintmax_t* bytes) {
  SilentBackend backend;
  if (backend.url().empty()) return "no socket could listen on 127.0.0.1";
  fx.setValue("backend_url", backend.url());
  const auto before = uploadDirs();
  if (!timedPress(f, fx, seconds)) return "the busy flag stayed taken";
  // Exactly one new folder with every frame in it.
  int files = 0;
  for (const auto& dir : uploadDirs()) {
    if (before.count(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      ++files;
      *bytes += entry.file_size();
    }
  }
  if (!backend.hangUp()) return "the worker never called the backend";
  if (!awaitFailure(f)) return "the worker did not end";
  return files == kFramesPerPress ? nullptr : "the frames were not staged";
}

// Ends the program with the reason and status 1. Skipping only this
// benchmark would end in the benchmark library's own failure: it requires
// every repetition to have run the same number of iterations.
[[noreturn]] void fail(const std::string& benchmark, const char* error) {
  std::fprintf(stderr, "staging_bench: %s failed: %s\n", benchmark.c_str(), error);
  for (const std::string& text : fixture().messages()) std::fprintf(stderr, "  the plug-in said: %s\n", text.c_str());
  std::exit(1);
}

void BM_Grab(benchmark::State& state, Size size, const char* depth) {
  Fixture& f = fixture();
  auto fx = f.clip(size, depth);
  double seconds = 0;
  std::uintmax_t bytes = 0;
  // A first press untimed: the first touches of the source and of the
  // plug-in's code and folders are not what a long clip costs per frame.
  const std::string name = "Grab/" + sizeName(size) + (std::strcmp(depth, kOfxBitDepthFloat) ? "/byte" : "/float");
  if (const char* error = pressOnce(f, *fx, &seconds, &bytes)) fail(name, error);
  bytes = 0;
  for (auto _ : state) {
    if (const char* error = pressOnce(f, *fx, &seconds, &bytes)) fail(name, error);
    state.SetIterationTime(seconds / kFramesPerPress);
  }
  state.counters["jpeg_kB"] = static_cast<double>(bytes) / (1000.0 * state.iterations() * kFramesPerPress);
  fx->destroy();
}

void BM_Stb(benchmark::State& state, Size size) {
  int W = 0, H = 0;
  const std::vector<unsigned char> rgba = stagedFrame(size, &W, &H);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t> jpeg = orv::rgba_to_jpeg(rgba.data(), W, H, kQuality);
    bytes = jpeg.size();
    benchmark::DoNotOptimize(jpeg.data());
  }
  state.counters["jpeg_kB"] = bytes / 1000.0;
}

void BM_Turbo(benchmark::State& state, Size size, int subsampling) {
  int W = 0, H = 0;
  const std::vector<unsigned char> rgba = stagedFrame(size, &W, &H);
  tjhandle encoder = tjInitCompress();
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  for (auto _ : state) {
    if (tjCompress2(encoder, rgba.data(), W, 0, H, TJPF_RGBA, &buffer, &length, subsampling, kQuality, 0) != 0)
      fail("Turbo/" + sizeName(size), tjGetErrorStr2(encoder));
    benchmark::DoNotOptimize(buffer);
  }
  state.counters["jpeg_kB"] = length / 1000.0;
  tjFree(buffer);
  tjDestroy(encoder);
}

class RatioReporter : public MedianReporter {
 public:
  void PrintRatios() const {
    std::printf("\nper frame; grab = fetch, resample, convert, encode and write, through the host\n");
    for (const Size& s : kSizes) {
      const std::string n = sizeName(s);
      const double stb = seconds("Stb/" + n), t444 = seconds("Turbo/" + n + "/444"),
                   t420 = seconds("Turbo/" + n + "/420");
      for (const char* depth : {"byte", "float"}) {
        const double grab = seconds("Grab/" + n + "/" + depth);
        if (grab > 0 && stb > 0)
          std::printf("  grab %s %-5s %7.2f ms = %5.2fx the stb encoder alone (%.2f ms; target <= 1.20)\n", n.c_str(),
                      depth, grab * 1e3, grab / stb, stb * 1e3);
      }
      if (stb > 0 && t444 > 0 && t420 > 0)
        std::printf("  stb alone on the staged %s frame = %.2fx libjpeg-turbo 4:4:4 (%.2f ms), %.2fx 4:2:0 (%.2f ms)\n",
                    n.c_str(), stb / t444, t444 * 1e3, stb / t420, t420 * 1e3);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  for (const Size& s : kSizes) {
    const std::string n = sizeName(s);
    for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat})
      benchmark::RegisterBenchmark(
          ("Grab/" + n + "/" + (std::strcmp(depth, kOfxBitDepthFloat) ? "byte" : "float")).c_str(), BM_Grab, s, depth)
          ->UseManualTime()
          ->Iterations(3)
          ->Repetitions(3)
          ->ReportAggregatesOnly(true)
          ->Unit(benchmark::kMillisecond);
    // The stb writer uses full-resolution colour above quality 90, so
    // libjpeg-turbo's 4:4:4 is the like-for-like reference; 4:2:0 is what
    // tools pick by default.
    benchmark::RegisterBenchmark(("Stb/" + n).c_str(), BM_Stb, s)
        ->MinTime(0.5)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Turbo/" + n + "/444").c_str(), BM_Turbo, s, TJSAMP_444)
        ->MinTime(0.5)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Turbo/" + n + "/420").c_str(), BM_Turbo, s, TJSAMP_420)
        ->MinTime(0.5)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
