#pragma once
// The job's progress on standard error: its status text with a percentage
// where the text counts ("uploading 49/98") and the time since the start,
// as a bar redrawn in place on a terminal and as plain lines otherwise. It
// also keeps how long each stage took.

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class ProgressLine {
 public:
  ProgressLine();
  ~ProgressLine() { finish(); }

  // The current status; called often, drawn when it is worth it.
  void show(const std::string& status);
  // A line of its own (a message), printed above the bar.
  void print(const std::string& line);
  // Leaves the bar's last state on its own line.
  void finish();
  // "staging 12.0 s, uploading 3.1 s, ..." for the stages seen so far.
  std::string stageTimes() const;
  double seconds() const;

 private:
  void draw(const std::string& status);

  using Clock = std::chrono::steady_clock;
  const bool terminal_;
  const Clock::time_point start_ = Clock::now();
  mutable std::mutex mu_;
  std::string shown_, stage_;
  Clock::time_point stageStart_ = start_, lastPlain_{};
  std::vector<std::pair<std::string, double>> stages_;  // name, seconds, in order
  bool barDrawn_ = false;
};

// "m:ss".
std::string clockText(double seconds);
// The percentage the last "n/N" of the text gives; -1 when there is none.
int percentOf(const std::string& text);
