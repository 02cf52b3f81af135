#include "backend/options.h"

#include "backend/redis_client.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace backend {

namespace {

// The data folder and its base when --data is not given: never a folder
// that other users share, such as /tmp without a HOME.
void default_data(Options& o) {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') {
    o.dataBase = cache;
    o.data = o.dataBase / "prismhollow-backend";
    return;
  }
  const char* home = std::getenv("HOME");
  if (!home || *home != '/') {
    const passwd* user = ::getpwuid(::geteuid());
    home = user && user->pw_dir && *user->pw_dir == '/' ? user->pw_dir : nullptr;
  }
  if (!home) return;
  o.dataBase = home;
  o.data = o.dataBase / ".cache" / "prismhollow-backend";
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
  default_data(o);
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
      o.data = std::filesystem::absolute(value).lexically_normal();
      if (o.data.filename().empty()) o.data = o.data.parent_path();
      o.dataBase = o.data.parent_path();
    } else if (option == "--jobs") {
      o.jobs = int(number(option, value, 1, 64));
    } else if (option == "--queue") {
      o.queue = int(number(option, value, 0, 100000));
    } else if (option == "--max-age") {
      o.maxAge = std::chrono::seconds(number(option, value, 1, 3650 * day, {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', day}}));
    } else if (option == "--disk-budget") {
      o.diskBudget = number(option, value, 1, K * K * K * K * K, {{'K', K}, {'M', K * K}, {'G', K * K * K}, {'T', K * K * K * K}});
    } else if (option == "--keep-free") {
      o.keepFree = number(option, value, 0, K * K * K * K, {{'K', K}, {'M', K * K}, {'G', K * K * K}});
    } else if (option == "--max-frames") {
      o.maxFrames = int(number(option, value, 1, 999999999));
    } else if (option == "--max-frame-size") {
      o.maxFrameBytes = number(option, value, 1, K * K * K, {{'K', K}, {'M', K * K}, {'G', K * K * K}});
    } else if (option == "--max-side") {
      o.maxSide = int(number(option, value, 16, 65500));
    } else if (option == "--allow-host") {
      if (value.empty() || value.find_first_of(" \t/,") != std::string::npos)
        throw UsageError("--allow-host takes a host name, not \"" + value + "\"");
      o.allowHosts.push_back(value);
    } else if (option == "--broker") {
      if (!parse_redis_url(value)) throw UsageError("--broker takes redis://HOST:PORT, not \"" + value + "\"");
      o.broker = value;
    } else if (option == "--lease") {
      o.lease = std::chrono::seconds(number(option, value, 1, 3600, {{'s', 1}, {'m', 60}}));
    } else {
      throw UsageError("unknown option " + option);
    }
  }
  return o;
}

std::string usage(const Options& o) {
  const std::string data = o.data.empty() ? "none: no home folder" : o.data.string();
  return R"(usage: prismhollow-backend [OPTION VALUE]...
The local matting backend of the Prismhollow plug-in: set the plug-in's
"Backend URL" to http://HOST:PORT of this service.

  --listen HOST:PORT     address to serve (default 127.0.0.1:8765; port 0 picks a free one)
  --data DIR             where sessions are kept, the user's alone (default )" + data + R"()
  --jobs N               matting jobs run at once (default: one per two cores, at least 1)
  --queue N              jobs that may wait for a free slot (default 32)
  --max-age AGE          delete sessions untouched this long: 90s, 30m, 12h, 7d (default 7d)
  --disk-budget SIZE     most the data folder may hold: 500M, 20G, 1T (default 20G)
  --keep-free SIZE       space uploads leave free on the disk: 0, 100M (default 2 % of the disk, at most 256M)
  --max-frames N         frames per session (default 100000)
  --max-frame-size SIZE  bytes per uploaded frame: 512K, 64M (default 64M)
  --max-side PIXELS      width and height of a frame at most (default 8192)
  --allow-host NAME      serve requests addressed to NAME too (a balancer's name; any port
                         unless NAME has one); repeatable. Otherwise only the listening
                         address, localhost, 127.0.0.1 and [::1] are served, and never a
                         request from a web page (one with an Origin)
  --broker redis://HOST:PORT
                         share DIR and the job queue with the other backends of this Redis:
                         any of them answers any call, and one with a free slot takes the
                         next job (without it, DIR is this backend's alone)
  --lease SECONDS        with --broker: how long a job's claim lasts unless its backend
                         renews it; a backend that dies loses its jobs to others after
                         this long (default 10s)
  --help, --version
)";
}

}  // namespace backend
