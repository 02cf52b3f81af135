#pragma once
// What every test program shares: the staging root, files, waiting, and
// running a command.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "contract/files.h"

using Texts = std::vector<std::string>;

// Real footage from Debian's opencv-doc: the man of its second and fourth
// shots (frames 98-153, 200-269) is what the tests may read.
inline const std::string kMegamind = "/usr/share/doc/opencv-doc/examples/data/Megamind.avi";
// And pedestrians crossing a forecourt.
inline const std::string kPedestrians = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
// Where the plug-in stages frames and keeps each session's mattes.
inline const std::string kStagingRoot = contract::kStagingRoot;
// True when this process has the staging root to itself (private_tmp.cpp,
// linked into the programs whose tests write there).
bool hasPrivateTmp();
// Whether a pull can stage here: in a root of this process's own, or in a
// shared one that is missing or this user's.
inline bool canStage() {
  struct stat st {};
  return hasPrivateTmp() || ::lstat(kStagingRoot.c_str(), &st) != 0 ||
         (S_ISDIR(st.st_mode) && st.st_uid == ::geteuid());
}

inline std::string readFile(const std::filesystem::path& path) { return contract::read_file(path).value_or(""); }

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The text as one word of a shell command, whatever it holds (a space, a quote).
inline std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The names of the files in dir, sorted.
inline Texts filesIn(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) names.insert(entry.path().filename());
  return {names.begin(), names.end()};
}

// Checks `done` every 2 ms until it holds; false after `limit`.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

struct Outcome {
  int exitCode = -1;     // 124 when the time limit killed it
  std::string output;    // standard output and error together
  Texts lines() const {
    Texts all;
    for (std::size_t at = 0, next; at < output.size(); at = next + 1)
      all.push_back(output.substr(at, (next = std::min(output.find('\n', at), output.size())) - at));
    return all;
  }
};

// Runs the shell command after `prefix` (assignments, ulimit, ...), killed
// after `seconds`.
inline Outcome run(const std::string& command, const std::string& prefix = "", int seconds = 60) {
  Outcome out;
  FILE* pipe = popen((prefix + " timeout -k 5 " + std::to_string(seconds) + " " + command + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.output.append(buffer, n);
  const int status = pclose(pipe);
  out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// A fresh folder of its own under /tmp, removed with all it holds.
struct TempDir {
  std::filesystem::path path;
  explicit TempDir(const std::string& stem = "prismhollow-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
    if (mkdtemp(pattern.data())) path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};
