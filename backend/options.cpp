#include "backend/options.h"

#include <cstdlib>
#include <thread>

namespace backend {

namespace {

std::filesystem::path default_data() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/')
    return std::filesystem::path(cache) / "prismhollow-backend";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : "/tmp") / ".cache" / "prismhollow-backend";
}

// A whole number from min to max, followed by one of `units` (a suffix and
// its factor) or by nothing (a factor of 1).
std::uint64_t number(const std::string& option, const std::string& text, std::uint64_t min, std::uint64_t max,
                     std::initializer_list<std::pair<char, std::uint64_t>> units = {}) {
  std::size_t digits = text.find_first_not_of("0123456789");
  std::uint64_t factor = 1;
  bool known = digits == std::string::npos;
  for (const auto& [suffix, size] : units)
    if (digits != std::string::npos && digits + 1 == text.size() && text[digits] == suffix) factor = size, known = true;
  const std::string whole = text.substr(0, digits);
  if (!known || whole.empty() || whole.size() > 12) throw UsageError("bad value \"" + text + "\" for " + option);
  const std::uint64_t value = std::stoull(whole) * factor;
  if (value < min || value > max) throw UsageError("bad value \"" + text + "\" for " + option + ": out of range");
  return value;
}

}  // namespace

Options parse_options(int argc, const char* const* argv) {
  Options o;
  o.data = default_data();
  o.jobs = std::max(1u, std::thread::hardware_concurrency() / 2);
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      o.help = true;
      continue;
    }
    if (option == "--version") {
      o.version = true;
      continue;
    }
    if (i + 1 >= argc) throw UsageError(option.rfind("--", 0) == 0 ? option + " needs a value" : "unknown argument " + option);
    const std::string value = argv[++i];
    const std::uint64_t K = 1024, day = 24 * 3600;
    if (option == "--listen") {
      const std::size_t colon = value.rfind(':');
      if (colon == std::string::npos || colon == 0) throw UsageError("--listen takes HOST:PORT, not \"" + value + "\"");
      o.host = value.substr(0, colon);
      if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']') o.host = o.host.substr(1, o.host.size() - 2);
      o.port = int(number(option, value.substr(colon + 1), 0, 65535));
    } else if (option == "--data") {
      if (value.empty()) throw UsageError("--data needs a folder");
      o.data = std::filesystem::absolute(value);
    } else if (option == "--jobs") {
      o.jobs = int(number(option, value, 1, 64));
    } else if (option == "--queue") {
      o.queue = int(number(option, value, 0, 100000));
    } else if (option == "--max-age") {
      o.maxAge = std::chrono::seconds(number(option, value, 1, 3650 * day, {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', day}}));
    } else if (option == "--disk-budget") {
      o.diskBudget = number(option, value, 1, K * K * K * K * K, {{'K', K}, {'M', K * K}, {'G', K * K * K}, {'T', K * K * K * K}});
    } else if (option == "--max-frames") {
      o.maxFrames = int(number(option, value, 1, 999999999));
    } else if (option == "--max-frame-size") {
      o.maxFrameBytes = number(option, value, 1, K * K * K, {{'K', K}, {'M', K * K}, {'G', K * K * K}});
    } else if (option == "--max-side") {
      o.maxSide = int(number(option, value, 16, 65500));
    } else {
      throw UsageError("unknown option " + option);
    }
  }
  return o;
}

std::string usage() {
  return R"(usage: prismhollow-backend [OPTION VALUE]...
The local matting backend of the Prismhollow plug-in: set the plug-in's
"Backend URL" to http://HOST:PORT of this service.

  --listen HOST:PORT     address to serve (default 127.0.0.1:8765; port 0 picks a free one)
  --data DIR             where sessions are kept (default $XDG_CACHE_HOME/prismhollow-backend)
  --jobs N               matting jobs run at once (default: one per two cores, at least 1)
  --queue N              jobs that may wait for a free slot (default 32)
  --max-age AGE          delete sessions untouched this long: 90s, 30m, 12h, 7d (default 7d)
  --disk-budget SIZE     most the data folder may hold: 500M, 20G, 1T (default 20G)
  --max-frames N         frames per session (default 100000)
  --max-frame-size SIZE  bytes per uploaded frame: 512K, 64M (default 64M)
  --max-side PIXELS      width and height of a frame at most (default 8192)
  --help, --version
)";
}

}  // namespace backend
