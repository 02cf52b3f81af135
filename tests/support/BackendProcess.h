#pragma once
// A real prismhollow-backend process on a free loopback port, driven with a
// plain HTTP client, and the clips its tests send it.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using nlohmann::json;

// Frame k of a clip: an orange disc drifting right over a grey texture.
inline cv::Mat discFrame(int k, int width = 160, int height = 120) {
  cv::Mat frame(height, width, CV_8UC3);
  cv::RNG texture(7);
  texture.fill(frame, cv::RNG::UNIFORM, cv::Scalar::all(60), cv::Scalar::all(120));
  cv::GaussianBlur(frame, frame, cv::Size(5, 5), 0);
  cv::circle(frame, cv::Point(width * 2 / 5 + k, height / 2), height / 4, cv::Scalar(30, 140, 250), cv::FILLED);
  return frame;
}
inline std::string jpeg(const cv::Mat& image) {
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 92});
  return {bytes.begin(), bytes.end()};
}
// The start body with a box around the disc of frame `anchor`.
inline std::string discStart(int anchor = 0) {
  return json{{"anchor_frame", anchor}, {"bbox", {{"x", 0.2}, {"y", 0.15}, {"w", 0.45}, {"h", 0.7}}},
              {"edge_softness", 0.35}, {"quality", "fast"}, {"strokes", json::array()}, {"text_prompt", ""}}
      .dump();
}

class BackendProcess : public LoggedChild {
 public:
  // Starts the backend on DATA with the extra options; its log goes to the
  // file `log` (appended, so that restarts keep one history). Throws, and so
  // fails the test with the reason, when it does not start listening.
  BackendProcess(const fs::path& data, const fs::path& log, std::vector<std::string> options = {})
      : LoggedChild(arguments(data, std::move(options)), log),
        port_(std::stoi(await_log("listening on http://127.0.0.1:"))),
        http_(std::make_unique<httplib::Client>("127.0.0.1", port_)) {}
  httplib::Client& http() { return *http_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // A new session with frames 0 .. n-1 of the disc clip.
  std::string session(int frames = 0, int width = 160, int height = 120) {
    auto res = http_->Post("/api/matte/sessions", R"({"fps":25.0,"source":"plugin"})", "application/json");
    const std::string id = res && res->status == 201 ? json::parse(res->body).value("session_id", "") : "";
    EXPECT_FALSE(id.empty());
    for (int k = 0; k < frames; ++k) EXPECT_EQ(put(id, k, jpeg(discFrame(k, width, height))), 201);
    return id;
  }
  int put(const std::string& id, int k, const std::string& body) {
    auto res = http_->Put("/api/matte/sessions/" + id + "/frames/" + std::to_string(k), body, "image/jpeg");
    return res ? res->status : -1;
  }
  json status(const std::string& id) {
    auto res = http_->Get("/api/matte/sessions/" + id);
    return res && res->status == 200 ? json::parse(res->body) : json();
  }
  // Polls until the job's status is `wanted` (60 s at most); the last status seen.
  json await(const std::string& id, const std::string& wanted = "COMPLETED") {
    json s;
    for (int i = 0; i < 30000 && (s = status(id)).value("status", "") != wanted; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return s;
  }

 private:
  static std::vector<std::string> arguments(const fs::path& data, std::vector<std::string> options) {
    std::vector<std::string> args = {BACKEND_COMMAND, "--listen", "127.0.0.1:0", "--data", data.string()};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  }

  int port_ = 0;
  std::unique_ptr<httplib::Client> http_;
};

// A fresh folder per test, deleted afterwards; the data folder lies inside it.
class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // the backend may close a connection on a refused body before it is sent
    dir = fs::temp_directory_path() /
          ("backend-test-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::unique_ptr<BackendProcess> start(std::vector<std::string> options = {}) {
    return std::make_unique<BackendProcess>(dir / "data", dir / "backend.log", std::move(options));
  }
  fs::path dir;
};
