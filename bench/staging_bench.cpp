// Staging speed: the whole grab of a clip by "Pull alpha (whole clip)" to
// its JPEG files, per frame, beside what it is made of, all measured in the
// same run:
//   Grab    the press through our host on the real bundle (the host fetches
//           on its thread, the plug-in shrinks, encodes and writes on another);
//   Before  the grab as it was before it used two threads and libjpeg-turbo,
//           rebuilt here: the same fetches through the host's suite, the
//           same shrink, stb's encoder and the write, one frame after the
//           other on one thread;
//   Fetch   the host's fetch and release of a frame alone;
//   Turbo   libjpeg-turbo alone on the staged frame (4:4:4, as staged);
//   Stb     stb's encoder alone on it.
//
//   build/bench/staging_bench [--benchmark_filter=...]
//
// It runs as root in a mount namespace of its own with a fresh /tmp, so the
// upload folders it makes and the ones it removes are its own, whatever else
// stages on the machine. A grab's instance has a Source of the clip's size
// and a backend address where a socket listens but never answers; the press
// returns once every frame is staged. The staged frames are counted while
// the worker waits on that socket; closing it then ends the job with
// "cannot reach backend" (the worker removes its upload folder), which is
// awaited, so that the busy flag is free. A failure ends the program with
// status 1.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <emmintrin.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
#include "contract/files.h"
#include "ofxImageEffect.h"
#include "orv/files.h"

// stb's encoder, private to this program (the plug-in encodes with
// libjpeg-turbo). Its JPEG bit writer shifts set bits out of the top of a
// signed int, so this file is compiled with -fwrapv (see CMakeLists.txt).
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image_write.h>
#pragma GCC diagnostic pop

using namespace ofxhost;

namespace {

constexpr int kFramesPerPress = 8;
constexpr int kQuality = 92;
const std::string kRoot = contract::kStagingRoot;

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

// ------------------------------------------------ the grab before, rebuilt

// A host image as the staging read it.
struct Frame {
  const unsigned char* data = nullptr;
  int rowBytes = 0;
  int width = 0, height = 0;
  bool isFloat = false;
};

// The four channels of one float pixel as bytes: clamped to [0, 1] (NaN as
// 0), scaled and rounded.
inline void pixelToBytes(const float* in, unsigned char* out) {
  __m128 v = _mm_max_ps(_mm_loadu_ps(in), _mm_setzero_ps());
  v = _mm_min_ps(v, _mm_set1_ps(1.0f));
  const __m128i i = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f)));
  const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(i, i), _mm_setzero_si128()));
  std::memcpy(out, &bytes, 4);
}

// The shrink as the plug-in does it: at most 1920 on the longer side,
// nearest neighbour, rows from the top, 8-bit RGBA.
std::vector<unsigned char> shrink(const Frame& f, int* outW, int* outH) {
  const double s = std::min(1920.0 / std::max(f.width, f.height), 1.0);
  const int W = std::max(static_cast<int>(f.width * s), 2), H = std::max(static_cast<int>(f.height * s), 2);
  std::vector<int> columns(W);
  bool sameColumns = true;
  for (int x = 0; x < W; ++x) {
    columns[x] = std::min(static_cast<int>(x / s), f.width - 1);
    sameColumns = sameColumns && columns[x] == x;
  }
  std::vector<unsigned char> rgba(static_cast<std::size_t>(W) * H * 4);
  for (int y = 0; y < H; ++y) {
    const int sy = std::min(static_cast<int>(y / s), f.height - 1);
    const unsigned char* row = f.data + static_cast<std::ptrdiff_t>(f.rowBytes) * (f.height - 1 - sy);
    unsigned char* out = rgba.data() + static_cast<std::size_t>(y) * W * 4;
    if (f.isFloat) {
      const float* in = reinterpret_cast<const float*>(row);
      for (int x = 0; x < W; ++x) pixelToBytes(in + 4 * columns[x], out + 4 * x);
    } else if (sameColumns) {
      std::memcpy(out, row, static_cast<std::size_t>(W) * 4);
    } else {
      for (int x = 0; x < W; ++x) std::memcpy(out + 4 * x, row + 4 * columns[x], 4);
    }
  }
  *outW = W;
  *outH = H;
  return rgba;
}

void appendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
}

std::vector<uint8_t> stbJpeg(const unsigned char* rgba, int W, int H) {
  std::vector<uint8_t> jpeg;
  stbi_write_jpg_to_func(appendBytes, &jpeg, W, H, 4, rgba, kQuality);
  return jpeg;
}

// The host's suites as the plug-in calls them.
struct Suites {
  const OfxImageEffectSuiteV1* effect = nullptr;
  const OfxPropertySuiteV1* prop = nullptr;
};

// Fetches frame `time` of the instance's Source the way the plug-in does,
// with the properties it reads; null on failure.
OfxPropertySetHandle fetchFrame(const Suites& s, OfxImageEffectHandle instance, OfxTime time, Frame* f) {
  OfxImageClipHandle clip = nullptr;
  OfxPropertySetHandle image = nullptr;
  s.effect->clipGetHandle(instance, kOfxImageEffectSimpleSourceClipName, &clip, nullptr);
  if (s.effect->clipGetImage(clip, time, nullptr, &image) != kOfxStatOK || !image) return nullptr;
  void* data = nullptr;
  int b[4] = {0, 0, 0, 0};
  char* depth = nullptr;
  s.prop->propGetPointer(image, kOfxImagePropData, 0, &data);
  s.prop->propGetIntN(image, kOfxImagePropBounds, 4, b);
  s.prop->propGetInt(image, kOfxImagePropRowBytes, 0, &f->rowBytes);
  s.prop->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &depth);
  f->data = static_cast<const unsigned char*>(data);
  f->width = b[2] - b[0], f->height = b[3] - b[1];
  f->isFloat = depth && std::strcmp(depth, kOfxBitDepthFloat) == 0;
  return image;
}

// ----------------------------------------------------------------- fixture

struct Fixture {
  Host host;
  Plugin* plugin = nullptr;
  Suites suites;

  Fixture() {
    plugin = &host.loadPlugin(ORV_BUNDLE_DIR);
    OfxHost* h = host.ofxHost();
    suites.effect = static_cast<const OfxImageEffectSuiteV1*>(h->fetchSuite(h->host, kOfxImageEffectSuite, 1));
    suites.prop = static_cast<const OfxPropertySuiteV1*>(h->fetchSuite(h->host, kOfxPropertySuite, 1));
  }

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
    f.host.progress().clear();
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

std::string depthName(const char* depth) { return std::strcmp(depth, kOfxBitDepthFloat) ? "byte" : "float"; }

// ------------------------------------------------------------- benchmarks

void BM_Grab(benchmark::State& state, Size size, const char* depth) {
  Fixture& f = fixture();
  auto fx = f.clip(size, depth);
  double seconds = 0;
  std::uintmax_t bytes = 0;
  // A first press untimed: the first touches of the source and of the
  // plug-in's code and folders are not what a long clip costs per frame.
  const std::string name = "Grab/" + sizeName(size) + "/" + depthName(depth);
  if (const char* error = pressOnce(f, *fx, &seconds, &bytes)) fail(name, error);
  bytes = 0;
  for (auto _ : state) {
    if (const char* error = pressOnce(f, *fx, &seconds, &bytes)) fail(name, error);
    state.SetIterationTime(seconds / kFramesPerPress);
  }
  state.counters["jpeg_kB"] = static_cast<double>(bytes) / (1000.0 * state.iterations() * kFramesPerPress);
  fx->destroy();
}

// The whole clip as the grab staged it before, timed per frame: fetch,
// shrink, stb's encoder, write, release, one after the other.
void BM_Before(benchmark::State& state, Size size, const char* depth) {
  Fixture& f = fixture();
  auto fx = f.clip(size, depth);
  const OfxImageEffectHandle instance = fx->handle();
  const std::string name = "Before/" + sizeName(size) + "/" + depthName(depth), dir = kRoot + "before/";
  std::filesystem::create_directories(dir);
  std::uintmax_t bytes = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFramesPerPress; ++i) {
      Frame frame;
      OfxPropertySetHandle image = fetchFrame(f.suites, instance, i, &frame);
      if (!image) fail(name, "no frame from the host");
      int W = 0, H = 0;
      const std::vector<unsigned char> rgba = shrink(frame, &W, &H);
      f.suites.effect->clipReleaseImage(image);
      const std::vector<uint8_t> jpeg = stbJpeg(rgba.data(), W, H);
      if (jpeg.empty() || !orv::write_file(contract::numbered_file(dir, i, ".jpg"), jpeg))
        fail(name, "no file written");
      bytes += jpeg.size();
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                           kFramesPerPress);
  }
  state.counters["jpeg_kB"] = static_cast<double>(bytes) / (1000.0 * state.iterations() * kFramesPerPress);
  std::filesystem::remove_all(dir);
  fx->destroy();
}

void BM_Fetch(benchmark::State& state, Size size, const char* depth) {
  Fixture& f = fixture();
  auto fx = f.clip(size, depth);
  const OfxImageEffectHandle instance = fx->handle();
  int i = 0;
  for (auto _ : state) {
    Frame frame;
    OfxPropertySetHandle image = fetchFrame(f.suites, instance, i++ % kFramesPerPress, &frame);
    if (!image) fail("Fetch/" + sizeName(size), "no frame from the host");
    benchmark::DoNotOptimize(frame.data);
    f.suites.effect->clipReleaseImage(image);
  }
  fx->destroy();
}

void BM_Stb(benchmark::State& state, Size size) {
  int W = 0, H = 0;
  const std::vector<unsigned char> rgba = stagedFrame(size, &W, &H);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t> jpeg = stbJpeg(rgba.data(), W, H);
    bytes = jpeg.size();
    benchmark::DoNotOptimize(jpeg.data());
  }
  state.counters["jpeg_kB"] = bytes / 1000.0;
}

void BM_Turbo(benchmark::State& state, Size size) {
  int W = 0, H = 0;
  const std::vector<unsigned char> rgba = stagedFrame(size, &W, &H);
  tjhandle encoder = tjInitCompress();
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  for (auto _ : state) {
    if (tjCompress2(encoder, rgba.data(), W, 0, H, TJPF_RGBA, &buffer, &length, TJSAMP_444, kQuality, 0) != 0)
      fail("Turbo/" + sizeName(size), tjGetErrorStr2(encoder));
    benchmark::DoNotOptimize(buffer);
  }
  state.counters["jpeg_kB"] = length / 1000.0;
  tjFree(buffer);
  tjDestroy(encoder);
}

class RatioReporter : public MedianReporter {
 public:
  // The figures per frame, and whether the targets are met.
  void PrintRatios() const {
    const auto verdict = [](bool ok) { return ok ? "met" : "MISSED"; };
    std::printf("\nper frame, median; grab = fetch, shrink, encode and write, through the host\n");
    for (const Size& s : kSizes) {
      const std::string n = sizeName(s);
      const double turbo = seconds("Turbo/" + n), stb = seconds("Stb/" + n);
      for (const char* depth : {"byte", "float"}) {
        const std::string c = n + "/" + depth;
        const double grab = seconds("Grab/" + c), before = seconds("Before/" + c), fetch = seconds("Fetch/" + c);
        if (grab <= 0 || before <= 0 || fetch <= 0 || turbo <= 0) continue;
        std::printf("  %-15s grab %6.2f ms | before %6.2f ms | fetch %6.3f ms | libjpeg-turbo alone %5.2f ms\n",
                    c.c_str(), grab * 1e3, before * 1e3, fetch * 1e3, turbo * 1e3);
        const double ratio = grab / (fetch + turbo);
        std::printf("  %-15s grab = %.2fx (fetch + libjpeg-turbo alone), target <= 1.30: %s\n", "", ratio,
                    verdict(ratio <= 1.3));
        if (s.w == 3840)
          std::printf("  %-15s before = %.1fx grab, target >= 5: %s\n", "", before / grab, verdict(before / grab >= 5));
        else
          std::printf("  %-15s before = %.1fx grab\n", "", before / grab);
      }
      if (stb > 0 && turbo > 0)
        std::printf("  stb alone on the staged %s frame %.2f ms = %.1fx libjpeg-turbo alone\n", n.c_str(), stb * 1e3,
                    stb / turbo);
    }
  }
};

// A mount namespace of the program's own with an empty /tmp: the staging
// root and everything in it are this run's alone.
bool privateTmp() {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!privateTmp()) {
    std::fprintf(stderr, "staging_bench: needs root, for a private /tmp: %s\n", std::strerror(errno));
    return 1;
  }
  const auto timed = [](benchmark::internal::Benchmark* b) {
    b->Repetitions(3)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
  };
  for (const Size& s : kSizes) {
    const std::string n = sizeName(s);
    for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat}) {
      const std::string c = n + "/" + depthName(depth);
      timed(benchmark::RegisterBenchmark(("Grab/" + c).c_str(), BM_Grab, s, depth)->UseManualTime()->Iterations(3));
      timed(benchmark::RegisterBenchmark(("Before/" + c).c_str(), BM_Before, s, depth)->UseManualTime()->Iterations(2));
      timed(benchmark::RegisterBenchmark(("Fetch/" + c).c_str(), BM_Fetch, s, depth)->MinTime(0.2));
    }
    timed(benchmark::RegisterBenchmark(("Stb/" + n).c_str(), BM_Stb, s)->MinTime(0.5));
    // The plug-in stages with full-resolution colour (4:4:4), as stb's
    // encoder did above quality 90.
    timed(benchmark::RegisterBenchmark(("Turbo/" + n).c_str(), BM_Turbo, s)->MinTime(0.5));
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
