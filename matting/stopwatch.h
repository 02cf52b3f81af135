#pragma once
// Seconds spent, for the job's time per stage.

#include <chrono>

namespace matting {

class Stopwatch {
 public:
  // Seconds since the start or the previous lap.
  double lap() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    start_ = now;
    return seconds;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace matting
