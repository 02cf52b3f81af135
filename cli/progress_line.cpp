#include "progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

namespace {

constexpr int kBarWidth = 24;
constexpr double kPlainEvery = 2.0;  // seconds between plain lines of one stage

// The stage a status text belongs to: its first word, "tracking: ..." as "tracking".
std::string stageOf(const std::string& status) {
  const std::string word = status.substr(0, status.find_first_of(" :"));
  return word == "grabbing" ? "staging" : word;
}

int terminalWidth() {
  winsize size{};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
}

}  // namespace

std::string clockText(double seconds) {
  const long s = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

int percentOf(const std::string& text) {
  static const std::regex counts(R"((\d+)/(\d+))");
  int percent = -1;
  for (std::sregex_iterator it(text.begin(), text.end(), counts), end; it != end; ++it) {
    const double done = std::stod((*it)[1]), total = std::stod((*it)[2]);
    if (total > 0 && done <= total) percent = static_cast<int>(100 * done / total);
  }
  return percent;
}

ProgressLine::ProgressLine() : terminal_(isatty(STDERR_FILENO)) {}

double ProgressLine::seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void ProgressLine::show(const std::string& status) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::string stage = stageOf(status);
  const bool newStage = stage != stage_;
  if (newStage) {
    const auto now = Clock::now();
    if (!stage_.empty()) stages_.emplace_back(stage_, std::chrono::duration<double>(now - stageStart_).count());
    stage_ = stage, stageStart_ = now;
  }
  if (terminal_) return draw(status);
  if (status == shown_ || (!newStage && std::chrono::duration<double>(Clock::now() - lastPlain_).count() < kPlainEvery))
    return;
  const int percent = percentOf(status);
  std::fprintf(stderr, "[%s] %s%s\n", clockText(seconds()).c_str(), status.c_str(),
               percent >= 0 ? (" (" + std::to_string(percent) + "%)").c_str() : "");
  shown_ = status, lastPlain_ = Clock::now();
}

void ProgressLine::draw(const std::string& status) {
  const int percent = percentOf(status);
  std::string bar = "[";
  for (int i = 0; i < kBarWidth; ++i) bar += percent >= 0 && i < percent * kBarWidth / 100 ? '#' : '.';
  bar +=
      "] " + (percent >= 0 ? std::to_string(percent) + "%" : std::string("   ")) + "  " + clockText(seconds()) + "  ";
  std::string text = bar + status;
  const std::size_t width = static_cast<std::size_t>(terminalWidth()) - 1;
  if (text.size() > width) text = text.substr(0, width);
  std::fprintf(stderr, "\r\033[K%s", text.c_str());
  std::fflush(stderr);
  shown_ = status, barDrawn_ = true;
}

void ProgressLine::print(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  std::fprintf(stderr, "%s%s\n", barDrawn_ ? "\r\033[K" : "", line.c_str());
  if (barDrawn_) draw(shown_);
}

void ProgressLine::finish() {
  std::lock_guard<std::mutex> lock(mu_);
  if (barDrawn_) std::fputc('\n', stderr);
  barDrawn_ = false;
}

std::string ProgressLine::stageTimes() const {
  std::lock_guard<std::mutex> lock(mu_);
  auto stages = stages_;
  if (!stage_.empty()) stages.emplace_back(stage_, std::chrono::duration<double>(Clock::now() - stageStart_).count());
  std::string text;
  char secs[32];
  for (const auto& [name, length] : stages) {
    std::snprintf(secs, sizeof secs, " %.1f s", length);
    text += (text.empty() ? "" : ", ") + name + secs;
  }
  return text;
}
