#pragma once
// The command line of prismhollow-backend.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace backend {

struct Options {
  std::string host = "127.0.0.1";
  int port = 8765;
  // $XDG_CACHE_HOME/prismhollow-backend, else ~/.cache/prismhollow-backend by
  // default; empty when the user has no home to hold it (the backend then
  // asks for --data rather than share a folder with other users).
  std::filesystem::path data;
  std::filesystem::path dataBase;  // the folder the user gave or the home: the backend answers for what lies below
  int jobs = 1;                // jobs run at once: one per two cores, at least one
  int queue = 32;              // jobs that may wait for a free slot
  std::chrono::seconds maxAge{7 * 24 * 3600};  // sessions untouched this long are deleted
  std::uint64_t diskBudget = 20ull << 30;       // bytes the data folder may hold
  std::optional<std::uint64_t> keepFree;        // bytes left free on the disk; 2 % of it, at most 256 MiB, when unset
  int maxFrames = 100000;                       // per session
  std::uint64_t maxFrameBytes = 64ull << 20;    // per uploaded frame
  int maxSide = 8192;                           // pixels, either side of a frame
  std::vector<std::string> allowHosts;          // --allow-host: other names it answers to as Host
  std::string broker;                           // redis://HOST:PORT: share the data folder and the queue
  std::chrono::milliseconds lease{10000};       // a job's claim on the broker, renewed while it runs
  bool help = false, version = false;
};

// A command line that cannot be followed; the message says why.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Options parse_options(int argc, const char* const* argv);
// The --help text, with the data folder `o` has by default.
std::string usage(const Options& o);

}  // namespace backend
