#pragma once
// The matting backend of one job: a prismhollow-backend process started on
// a free loopback port with its data in a folder of ours, and stopped
// afterwards; or a running backend named by its address.

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>
#include <string>

// The backend cannot be had; the text says what to do.
struct BackendError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// prismhollow-backend beside this program (as installed), else in PATH;
// empty when there is none.
std::string findBackendProgram();

// Throws BackendError unless a connection to the address's host and port
// opens within a few seconds and a prismhollow backend answers there.
void checkReachable(const std::string& url);

class LocalBackend {
 public:
  // Starts `program` with its data and log in `folder`, and waits until it
  // listens; throws BackendError with its log when it does not.
  LocalBackend(const std::string& program, const std::filesystem::path& folder);
  ~LocalBackend() { stop(); }
  LocalBackend(const LocalBackend&) = delete;
  LocalBackend& operator=(const LocalBackend&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  bool running();
  // The end of its log, for a message.
  std::string logTail() const;
  // SIGTERM, then SIGKILL if it has not ended after a while; waits for it.
  void stop();

 private:
  std::filesystem::path log_;
  pid_t pid_ = -1;
  int port_ = 0;
};
