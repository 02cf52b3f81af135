// Render speed on the host's playback path, against memcpy of the same
// output bytes measured in the same run, and the matte cache's hit and miss.
//
//   build/bench/render_bench [--benchmark_filter=...]
//
// Each render runs through our host on the real bundle, with the frame's
// matte (as large as the output) already in the cache: whole frames, and
// frames split into 4 windows rendered on 2 threads.

#include <benchmark/benchmark.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Host.h"
#include "Image.h"
#include "Instance.h"
#include "ORVMatteCache.h"
#include "contract/files.h"
#include "orv/image.h"

using namespace ofxhost;

namespace {

const std::string kSession = "bench-" + std::to_string(getpid());
const std::string kDir = contract::kStagingRoot + kSession + "/";

struct Size {
  int w, h;
};
const Size kSizes[] = {{1920, 1080}, {3840, 2160}};

// A matte like the ones the backend sends: a soft-edged figure.
std::vector<unsigned char> figureMatte(int w, int h) {
  std::vector<unsigned char> m(static_cast<std::size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double dx = (x - 0.5 * w) / (0.18 * w), dy = (y - 0.55 * h) / (0.4 * h);
      double d = std::sqrt(dx * dx + dy * dy);
      m[static_cast<std::size_t>(y) * w + x] =
          static_cast<unsigned char>(255.0 * std::clamp((1.15 - d) / 0.3, 0.0, 1.0));
    }
  return m;
}

std::string mattePath(const Size& s) { return kDir + std::to_string(s.w) + "x" + std::to_string(s.h) + "/000000.png"; }

void writeMattes() {
  for (const Size& s : kSizes) {
    std::filesystem::create_directories(std::filesystem::path(mattePath(s)).parent_path());
    auto m = figureMatte(s.w, s.h);
    stbi_write_png(mattePath(s).c_str(), s.w, s.h, 1, m.data(), s.w);
  }
}

// One host, one instance per size and depth, kept for the whole run.
struct Fixture {
  Host host;
  Plugin* plugin = nullptr;
  std::map<std::string, std::shared_ptr<EffectInstance>> instances;
  std::map<std::string, std::shared_ptr<ImageBuffer>> outputs;

  Fixture() {
    writeMattes();
    plugin = &host.loadPlugin(ORV_BUNDLE_DIR);
    for (const Size& s : kSizes)
      for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat}) {
        InstanceSettings settings;
        settings.projectWidth = s.w, settings.projectHeight = s.h, settings.depth = depth;
        settings.strings["backend_url"] = "";  // no beacon
        auto fx = plugin->createInstance(settings);
        auto source = ImageBuffer::allocate({0, 0, s.w, s.h}, depth);
        for (int y = 0; y < s.h; ++y)
          for (int x = 0; x < s.w; ++x)
            for (int c = 0; c < 4; ++c) {
              int v = (x + 3 * y + 50 * c) & 255;
              if (source->isFloat())
                source->pixelFloat(x, y)[c] = v / 255.0f;
              else
                source->pixel(x, y)[c] = static_cast<unsigned char>(v);
            }
        fx->setSource([source](OfxTime) { return source; });
        fx->setValue("session_id", kSession + "/" + std::to_string(s.w) + "x" + std::to_string(s.h));
        std::string key = name(s, depth);
        instances[key] = fx;
        outputs[key] = ImageBuffer::allocate({0, 0, s.w, s.h}, depth);
        fx->renderInto(0, outputs[key]);  // the matte is cached from here on
      }
  }
  static std::string name(const Size& s, const char* depth) {
    return std::to_string(s.w) + "x" + std::to_string(s.h) +
           (std::strcmp(depth, kOfxBitDepthFloat) == 0 ? "/float" : "/byte");
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_Render(benchmark::State& state, Size size, const char* depth, int mode) {
  Fixture& f = fixture();
  std::string key = Fixture::name(size, depth);
  auto fx = f.instances[key];
  auto out = f.outputs[key];
  fx->setValue("output_mode", mode);
  for (auto _ : state) {
    RenderResult r = fx->renderInto(0, out);
    if (r.status != kOfxStatOK) state.SkipWithError("render failed");
    benchmark::DoNotOptimize(out->data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out->rowBytes()) * size.h);
}

// The frame as a frame-threading host renders it: cut into bands of rows,
// one render call each, on several threads into the one output image.
void BM_RenderWindows(benchmark::State& state, Size size, const char* depth, int mode, int windows, int threads) {
  Fixture& f = fixture();
  std::string key = Fixture::name(size, depth);
  auto fx = f.instances[key];
  auto out = f.outputs[key];
  fx->setValue("output_mode", mode);
  const std::vector<OfxRectI> bands = rowBands(out->bounds(), windows);
  for (auto _ : state) {
    RenderResult r = fx->renderWindows(0, out, bands, threads);
    if (r.status != kOfxStatOK) state.SkipWithError("render failed");
    benchmark::DoNotOptimize(out->data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out->rowBytes()) * size.h);
}

void BM_Memcpy(benchmark::State& state, Size size, const char* depth) {
  const std::size_t bytes =
      static_cast<std::size_t>(size.w) * size.h * (std::strcmp(depth, kOfxBitDepthFloat) == 0 ? 16 : 4);
  std::vector<unsigned char> from(bytes, 1), to(bytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

// A hit as the cache serves it: the entry's pixels shared, read-only.
void BM_CacheHitShared(benchmark::State& state) {
  fixture();
  const std::string path = mattePath(kSizes[1]);
  Matte m;
  getMatte(path, &m);
  for (auto _ : state) {
    getMatte(path, &m);
    benchmark::DoNotOptimize(m.pixels.get());
  }
}

// A hit as a copying cache would serve it: the same, plus a private copy.
void BM_CacheHitCopy(benchmark::State& state) {
  fixture();
  const std::string path = mattePath(kSizes[1]);
  Matte m;
  getMatte(path, &m);
  for (auto _ : state) {
    getMatte(path, &m);
    std::vector<std::uint8_t> copy(*m.pixels);
    benchmark::DoNotOptimize(copy.data());
  }
}

// A miss: the PNG decode of a 3840 x 2160 matte.
void BM_CacheMissDecode(benchmark::State& state) {
  fixture();
  const std::string path = mattePath(kSizes[1]);
  for (auto _ : state) {
    int w = 0, h = 0;
    auto pixels = orv::load_gray(path, &w, &h);
    if (pixels.empty()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(pixels.data());
  }
}

// Collects mean real times so that each render can be shown as a ratio to
// the memcpy of its output.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.iterations > 0) seconds_[run.benchmark_name()] = run.real_accumulated_time / run.iterations;
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    std::printf("\nrender time / memcpy of the same output bytes\n");
    for (const auto& [name, seconds] : seconds_) {
      if (name.rfind("Render/", 0) != 0) continue;
      // Render/<size>/<depth>/<mode>[/real_time]  ->  Memcpy/<size>/<depth>
      std::string rest = name.substr(7);
      std::string reference = "Memcpy/" + rest.substr(0, rest.find('/', rest.find('/') + 1));
      auto it = seconds_.find(reference);
      if (it == seconds_.end()) continue;
      std::printf("  %-66s %6.2f ms  %5.2fx\n", name.c_str(), seconds * 1e3, seconds / it->second);
    }
    auto shared = seconds_.find("CacheHitShared"), copy = seconds_.find("CacheHitCopy");
    if (shared != seconds_.end() && copy != seconds_.end())
      std::printf("cache hit of a 3840x2160 matte: shared %.3f us, copied %.3f us (%.0fx)\n", shared->second * 1e6,
                  copy->second * 1e6, copy->second / shared->second);
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Size& s : kSizes)
    for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat}) {
      std::string n = Fixture::name(s, depth);
      benchmark::RegisterBenchmark(("Memcpy/" + n).c_str(), BM_Memcpy, s, depth)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("Render/" + n + "/character").c_str(), BM_Render, s, depth, 0)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("Render/" + n + "/matte").c_str(), BM_Render, s, depth, 1)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("Render/" + n + "/character-4-windows-on-2-threads").c_str(), BM_RenderWindows, s,
                                   depth, 0, 4, 2)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  benchmark::RegisterBenchmark("CacheHitShared", BM_CacheHitShared)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("CacheHitCopy", BM_CacheHitCopy)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("CacheMissDecode", BM_CacheMissDecode)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  std::error_code ec;
  std::filesystem::remove_all(kDir, ec);
  benchmark::Shutdown();
  return 0;
}
