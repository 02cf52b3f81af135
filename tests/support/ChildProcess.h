#pragma once
// Child processes of a test or benchmark of our own, with no test framework:
// a process with a log, a redis-server on loopback, a free loopback port.

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "contract/files.h"

extern char** environ;

// A child process of the test with its output appended to a log file; a
// signal reaches it only while it is our unreaped child.
class LoggedChild {
 public:
  LoggedChild(std::vector<std::string> args, const std::filesystem::path& log) : log_(log) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::filesystem::create_directories(log.parent_path());
    from_ = std::filesystem::exists(log) ? std::filesystem::file_size(log) : 0;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, 2, 1);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (error != 0 || pid <= 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(error));
    pid_ = pid;
  }
  ~LoggedChild() { stop(SIGKILL); }
  LoggedChild(const LoggedChild&) = delete;
  LoggedChild& operator=(const LoggedChild&) = delete;
  // Signals the process, if it is still our running child, and waits for
  // it to end: its exit code, or 128 + the signal.
  int stop(int signal = SIGTERM) {
    if (running()) {
      kill(pid_, signal);
      reap(0);
    }
    return exitCode_;
  }
  // True while the child has not ended (and been reaped).
  bool running() { return pid_ > 0 && !reap(WNOHANG); }
  // What this process logged.
  std::string log_text() const { return contract::read_file(log_).value_or("").substr(from_); }
  // Waits (10 s at most) until the log holds `mark`; the text after it.
  std::string await_log(const std::string& mark) {
    for (int i = 0; i < 2000 && running(); ++i) {
      const std::string text = log_text();
      if (const std::size_t at = text.find(mark); at != std::string::npos) return text.substr(at + mark.size());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int code = running() ? stop(SIGKILL) : exitCode_;
    throw std::runtime_error("no \"" + mark + "\" from the process (exit " + std::to_string(code) + "):\n" +
                             log_text());
  }

 private:
  std::filesystem::path log_;
  std::uintmax_t from_ = 0;
  // Waits for the child with `options`; true once it has ended, its exit
  // code kept and its id forgotten, so that no signal can reach another
  // process given the same id.
  bool reap(int options) {
    int status = 0;
    const pid_t ended = waitpid(pid_, &status, options);
    if (ended == 0) return false;
    exitCode_ = ended < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return true;
  }

  pid_t pid_ = -1;  // > 0 only while it is our unreaped child
  int exitCode_ = -1;
};

// A free loopback port, as the system hands one out.
inline int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

// A redis-server of the test's own on loopback, keeping what it holds in an
// append-only file in `dir`, so that one started again on the same port
// and folder goes on where it stopped.
class RedisServer : public LoggedChild {
 public:
  RedisServer(const std::filesystem::path& dir, int port)
      : LoggedChild({"redis-server", "--bind", "127.0.0.1", "--port", std::to_string(port), "--save", "",
                     "--appendonly", "yes", "--dir", dir.string()},
                    dir / "redis.log"),
        port_(port) {
    await_log("Ready to accept connections");
  }
  std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_); }

 private:
  int port_;
};
