#pragma once
// The pull's progress on standard error: one bar over the whole pull, whose
// stages (staging, uploading, matting, downloading, rendering) weigh what a
// frame of each costs, with the time left once enough is behind to judge
// it, and the current status text; redrawn in place on a terminal, as plain
// lines otherwise. It also keeps when each stage began.

#include <array>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

class ProgressLine {
 public:
  enum Stage { kStaging, kUploading, kMatting, kDownloading, kRendering, kStages };

  explicit ProgressLine(bool fastMatting);
  ~ProgressLine() { finish(); }

  // The current status; called often, drawn when it is worth it. A status
  // of an earlier stage than the one shown already is drawn in its place.
  void show(const std::string& status);
  // A line of its own (a message), printed above the bar.
  void print(const std::string& line);
  // Leaves the bar's last state on its own line.
  void finish();

  double seconds() const;
  // How long the stage lasted as the statuses showed it (until the next
  // stage began, or until now); none when it never showed.
  std::optional<double> secondsIn(Stage stage) const;
  // From the first status after staging to the first of downloading: the
  // backend's part, whose inner stages the statuses see only at polls.
  std::optional<double> backendSeconds() const;

 private:
  using Clock = std::chrono::steady_clock;
  void draw(const std::string& status, double share, const std::string& left);
  double share() const;  // of the whole pull, 0 to 1

  const bool terminal_;
  std::array<double, kStages> cost_;  // seconds a frame, relative
  const Clock::time_point start_ = Clock::now();
  mutable std::mutex mu_;
  int stage_ = -1;
  double done_ = 0;  // of the current stage
  std::array<std::optional<Clock::time_point>, kStages> began_;
  double shownShare_ = 0;
  std::string shown_;
  Clock::time_point lastPlain_{};
  bool barDrawn_ = false;
};

// "m:ss".
std::string clockText(double seconds);
// The share of its stage a status text says is done, from its last "n/N"
// or the backend's "N% of the job"; none when it says neither.
std::optional<double> doneOf(const std::string& status);
// The status with each "frame N", N counted from the first frame pulled,
// named as the clip numbers it.
std::string clipNumbered(const std::string& status, int firstFrame);
