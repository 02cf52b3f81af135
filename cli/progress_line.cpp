#include "progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <numeric>
#include <regex>

#include "contract/wire.h"

namespace {

constexpr int kBarWidth = 24;
constexpr double kPlainEvery = 2.0;  // seconds between plain lines of one stage
// The time left is guessed from the pace so far once this much of the pull
// and this many seconds are behind.
constexpr double kGuessFromShare = 0.05;
constexpr double kGuessFromSeconds = 5;

// Seconds a frame of each stage takes, measured with a local backend on a
// two-core machine at 720 x 528; only their ratios matter, and only until
// the pull's own pace takes over.
constexpr std::array<double, ProgressLine::kStages> kFineCosts = {0.009, 0.006, 0.17, 0.002, 0.02};
constexpr double kFastMatting = 0.08;

std::optional<int> stageOf(const std::string& status) {
  const auto starts = [&](const char* word) { return status.rfind(word, 0) == 0; };
  if (starts("staging") || starts("grabbing")) return ProgressLine::kStaging;
  if (starts("uploading") || starts("reusing")) return ProgressLine::kUploading;
  if (starts("tracking")) return ProgressLine::kMatting;
  if (starts("downloading")) return ProgressLine::kDownloading;
  if (starts("rendering")) return ProgressLine::kRendering;
  return std::nullopt;  // a silence, or how the job ended: the stage shown stays
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

std::optional<double> doneOf(const std::string& status) {
  if (const auto share = contract::share_in_stage(status)) return share;
  static const std::regex counts(R"((\d+)/(\d+))");
  std::optional<double> done;
  for (std::sregex_iterator it(status.begin(), status.end(), counts), end; it != end; ++it) {
    const double n = std::stod((*it)[1]), total = std::stod((*it)[2]);
    if (total > 0 && n <= total) done = n / total;
  }
  return done;
}

std::string clipNumbered(const std::string& status, int firstFrame) {
  static const std::regex frame(R"(\bframe (\d+))");
  std::string text;
  auto from = status.cbegin();
  for (std::sregex_iterator it(status.begin(), status.end(), frame), end; it != end; ++it) {
    text.append(from, (*it)[0].first);
    text += "frame " + std::to_string(std::stoll((*it)[1]) + firstFrame);
    from = (*it)[0].second;
  }
  return text.append(from, status.cend());
}

ProgressLine::ProgressLine(bool fastMatting) : terminal_(isatty(STDERR_FILENO)), cost_(kFineCosts) {
  if (fastMatting) cost_[kMatting] = kFastMatting;
}

double ProgressLine::seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

double ProgressLine::share() const {
  if (stage_ < 0) return 0;
  const double whole = std::accumulate(cost_.begin(), cost_.end(), 0.0);
  const double before = std::accumulate(cost_.begin(), cost_.begin() + stage_, 0.0);
  return (before + cost_[stage_] * done_) / whole;
}

void ProgressLine::show(const std::string& status) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::optional<int> stage = stageOf(status);
  const bool newStage = stage && *stage > stage_;
  if (newStage) {
    for (int s = stage_ + 1; s <= *stage; ++s) began_[s] = Clock::now();  // a stage skipped took no time
    stage_ = *stage, done_ = 0;
  }
  if (stage && *stage == stage_)
    if (const auto done = doneOf(status)) done_ = std::max(done_, *done);
  if (status.rfind("reusing", 0) == 0) done_ = 1;
  shownShare_ = std::max(shownShare_, share());  // the bar never goes back

  const double elapsed = seconds();
  std::string left;
  if (shownShare_ >= kGuessFromShare && elapsed >= kGuessFromSeconds && shownShare_ < 1)
    left = "about " + clockText(elapsed * (1 - shownShare_) / shownShare_ + 0.5) + " left";
  const std::string text = contract::stage_without_share(status);
  if (terminal_) return draw(text, shownShare_, left);
  if (text == shown_ || (!newStage && std::chrono::duration<double>(Clock::now() - lastPlain_).count() < kPlainEvery))
    return;
  std::fprintf(stderr, "[%s] %d%% %s%s\n", clockText(elapsed).c_str(), static_cast<int>(shownShare_ * 100),
               text.c_str(), left.empty() ? "" : (", " + left).c_str());
  shown_ = text, lastPlain_ = Clock::now();
}

void ProgressLine::draw(const std::string& status, double share, const std::string& left) {
  const int percent = static_cast<int>(share * 100);
  std::string bar = "[";
  for (int i = 0; i < kBarWidth; ++i) bar += i < percent * kBarWidth / 100 ? '#' : '.';
  bar += "] " + std::to_string(percent) + "%  " + clockText(seconds()) + (left.empty() ? "" : " (" + left + ")") +
         "  ";
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
  if (barDrawn_) draw(shown_, shownShare_, "");
}

void ProgressLine::finish() {
  std::lock_guard<std::mutex> lock(mu_);
  if (barDrawn_) std::fputc('\n', stderr);
  barDrawn_ = false;
}

std::optional<double> ProgressLine::secondsIn(Stage stage) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!began_[stage]) return std::nullopt;
  Clock::time_point end = Clock::now();
  for (int s = stage + 1; s < kStages; ++s)
    if (began_[s]) {
      end = *began_[s];
      break;
    }
  return std::chrono::duration<double>(end - *began_[stage]).count();
}

std::optional<double> ProgressLine::backendSeconds() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!began_[kUploading] || !began_[kDownloading]) return std::nullopt;
  return std::chrono::duration<double>(*began_[kDownloading] - *began_[kUploading]).count();
}
