#pragma once
// The command line of prismhollow-backend.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace backend {

struct Options {
  std::string host = "127.0.0.1";
  int port = 8765;
  std::filesystem::path data;  // $XDG_CACHE_HOME/prismhollow-backend by default
  int jobs = 1;                // jobs run at once: one per two cores, at least one
  int queue = 32;              // jobs that may wait for a free slot
  std::chrono::seconds maxAge{7 * 24 * 3600};  // sessions untouched this long are deleted
  std::uint64_t diskBudget = 20ull << 30;       // bytes the data folder may hold
  int maxFrames = 100000;                       // per session
  std::uint64_t maxFrameBytes = 64ull << 20;    // per uploaded frame
  int maxSide = 8192;                           // pixels, either side of a frame
  bool help = false, version = false;
};

// A command line that cannot be followed; the message says why.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Options parse_options(int argc, const char* const* argv);
std::string usage();

}  // namespace backend
