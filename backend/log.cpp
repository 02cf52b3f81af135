#include "backend/log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace backend {

void log_line(const std::string& text) {
  static std::mutex mu;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const int millis = int(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::lock_guard<std::mutex> lock(mu);
  std::fprintf(stderr, "%s.%03d %s\n", stamp, millis, text.c_str());
  std::fflush(stderr);
}

std::string printable(const std::string& text, std::size_t limit) {
  std::string shown = text.substr(0, limit);
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text.size() > limit ? shown + "..." : shown;
}

}  // namespace backend
