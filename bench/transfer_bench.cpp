// Transfer speed of the matting worker: 200 frames of 300 KB uploaded and
// 200 mattes of 300 KB downloaded the way the worker moves them (each staged
// file read and sent with orv::upload_frame, each matte fetched with
// orv::download_matte and streamed into its file, all over one orv::HttpClient),
// against a local HTTP server on 127.0.0.1 in this process; and the curl
// command-line tool moving the same bytes to and from the same server in
// the same run, one invocation for the 200 uploads and one for the 200
// downloads, so that it reuses its connection as the client does.
//
//   build/bench/transfer_bench [--benchmark_filter=...]
//
// Printed at the end: each direction's throughput as a ratio ours / curl.

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "MedianReporter.h"
#include "contract/files.h"
#include "orv/backend.h"
#include "orv/http_client.h"

extern char** environ;

namespace {

constexpr int kFrames = 200;
constexpr std::size_t kFrameBytes = 300 * 1000;
const std::string kSession = "transfer-bench";

// Bytes that do not compress, like JPEG and PNG data.
std::vector<std::uint8_t> noise(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(n);
  for (auto& b : bytes) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(seed >> 24);
  }
  return bytes;
}

// The backend's two transfer calls: PUT of a frame (its size checked and
// counted), GET of a matte.
class Server {
 public:
  Server() : matte_(noise(kFrameBytes, 7)) {
    const std::string body(matte_.begin(), matte_.end());
    server_.set_keep_alive_max_count(4 * kFrames);  // one connection for a whole run, as a backend keeps it
    server_.set_tcp_nodelay(true);
    server_.Put(R"(/api/matte/sessions/[^/]+/frames/\d+)", [this](const httplib::Request& req, httplib::Response& res) {
      if (req.body.size() == kFrameBytes) ++received_;
      res.status = 200;
      res.set_content("{}", "application/json");
    });
    server_.Get(R"(/api/matte/sessions/[^/]+/alpha/\d+\.png)",
                [body](const httplib::Request&, httplib::Response& res) { res.set_content(body, "image/png"); });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Server() {
    server_.stop();
    thread_.join();
  }
  std::string sessionUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/api/matte/sessions/" + kSession;
  }
  int received() const { return received_; }
  void resetCount() { received_ = 0; }

 private:
  std::vector<std::uint8_t> matte_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<int> received_{0};
};

// The staged frames and the matte folder, as the worker finds and fills them.
struct Files {
  // In memory where the machine has it, so that the disk's write-back of
  // earlier runs does not land in later ones.
  std::string root = std::string(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") +
                     "/prismhollow-transfer-bench-" + std::to_string(getpid()) + "/";
  std::string uploads = root + "upload/";
  std::string mattes = root + "mattes/";
  std::string frame = root + "frame.jpg";  // what curl uploads, the same bytes

  Files() {
    std::filesystem::create_directories(uploads);
    std::filesystem::create_directories(mattes);
    const auto bytes = noise(kFrameBytes, 1);
    write(frame, bytes);
    for (int i = 0; i < kFrames; ++i) write(name(uploads, i, ".jpg"), bytes);
  }
  ~Files() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  static std::string name(const std::string& dir, int i, const char* extension) {
    return contract::numbered_file(dir, i, extension);
  }
  static void write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
};

struct Fixture {
  Server server;
  Files files;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// Runs curl with the arguments; true when it exits with 0.
bool runCurl(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = "curl";
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The worker's uploads: each staged file read, then sent with upload_frame.
void BM_UploadOurs(benchmark::State& state) {
  Fixture& f = fixture();
  const std::string sessionUrl = f.server.sessionUrl();
  orv::HttpClient client;
  for (auto _ : state) {
    f.server.resetCount();
    for (int i = 0; i < kFrames; ++i) {
      const std::vector<std::uint8_t> jpeg =
          contract::read_file<std::vector<std::uint8_t>>(contract::numbered_file(f.files.uploads, i, ".jpg"))
              .value_or(std::vector<std::uint8_t>());
      if (!orv::upload_frame(client, sessionUrl, i, jpeg)) return state.SkipWithError("upload failed");
    }
    if (f.server.received() != kFrames) return state.SkipWithError("frames missing at the server");
  }
  state.SetBytesProcessed(state.iterations() * kFrames * static_cast<int64_t>(kFrameBytes));
}

void BM_UploadCurl(benchmark::State& state) {
  Fixture& f = fixture();
  // One invocation, one URL glob: the same file PUT to each of the 200 paths.
  const std::vector<std::string> args = {
      "--silent",    "--show-error",
      "--fail",      "--output",
      "/dev/null",   "--upload-file",
      f.files.frame, f.server.sessionUrl() + "/frames/[0-" + std::to_string(kFrames - 1) + "]"};
  for (auto _ : state) {
    f.server.resetCount();
    if (!runCurl(args)) return state.SkipWithError("curl failed");
    if (f.server.received() != kFrames) return state.SkipWithError("frames missing at the server");
  }
  state.SetBytesProcessed(state.iterations() * kFrames * static_cast<int64_t>(kFrameBytes));
}

void BM_DownloadOurs(benchmark::State& state) {
  Fixture& f = fixture();
  const std::string sessionUrl = f.server.sessionUrl();
  orv::HttpClient client;
  for (auto _ : state) {
    for (int i = 0; i < kFrames; ++i) {
      const std::string path = Files::name(f.files.mattes, i, ".png");
      if (orv::download_matte(client, sessionUrl, i, path, kFrameBytes) != orv::Download::kDone)
        return state.SkipWithError("download failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * kFrames * static_cast<int64_t>(kFrameBytes));
}

void BM_DownloadCurl(benchmark::State& state) {
  Fixture& f = fixture();
  const std::vector<std::string> args = {"--silent",
                                         "--show-error",
                                         "--fail",
                                         "--output",
                                         f.files.mattes + "#1.png",
                                         f.server.sessionUrl() + "/alpha/[0-" + std::to_string(kFrames - 1) + "].png"};
  for (auto _ : state) {
    if (!runCurl(args)) return state.SkipWithError("curl failed");
  }
  if (std::filesystem::file_size(f.files.mattes + std::to_string(kFrames - 1) + ".png") != kFrameBytes)
    state.SkipWithError("curl's mattes are incomplete");
  state.SetBytesProcessed(state.iterations() * kFrames * static_cast<int64_t>(kFrameBytes));
}

class RatioReporter : public MedianReporter {
 public:
  void PrintRatios() const {
    std::printf("\n%d frames of %zu KB; throughput ours / curl (target >= 0.80)\n", kFrames, kFrameBytes / 1000);
    for (const char* direction : {"Upload", "Download"}) {
      const double ours = seconds(std::string(direction) + "/ours"), curl = seconds(std::string(direction) + "/curl");
      if (ours <= 0 || curl <= 0) continue;
      const double mb = kFrames * static_cast<double>(kFrameBytes) / 1e6;
      std::printf("  %-24s %7.1f ms (%5.0f MB/s), curl %7.1f ms (%5.0f MB/s): %.2f\n",
                  (std::string(direction) + "/ours").c_str(), ours * 1e3, mb / ours, curl * 1e3, mb / curl,
                  curl / ours);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Wall time (curl's work is in another process), the median of five.
  auto settings = [](benchmark::internal::Benchmark* b) {
    b->MinTime(0.5)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMillisecond);
  };
  settings(benchmark::RegisterBenchmark("Upload/ours", BM_UploadOurs));
  settings(benchmark::RegisterBenchmark("Upload/curl", BM_UploadCurl));
  settings(benchmark::RegisterBenchmark("Download/ours", BM_DownloadOurs));
  settings(benchmark::RegisterBenchmark("Download/curl", BM_DownloadCurl));
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
