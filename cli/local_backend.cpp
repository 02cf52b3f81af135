#include "local_backend.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "contract/files.h"
#include "orv/http_client.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kProgram = "prismhollow-backend";
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(10);
constexpr int kConnectMs = 5000;

}  // namespace

std::string findBackendProgram() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && access((self.parent_path() / kProgram).c_str(), X_OK) == 0) return self.parent_path() / kProgram;
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');)
    if (!folder.empty() && access((fs::path(folder) / kProgram).c_str(), X_OK) == 0) return fs::path(folder) / kProgram;
  return "";
}

void checkReachable(const std::string& url) {
  // http[s]://HOST[:PORT][/...], HOST possibly [IPv6]
  const std::size_t start = url.find("://") + 3;
  std::string authority = url.substr(start, url.find('/', start) - start);
  authority = authority.substr(authority.find('@') + 1);  // npos + 1 is 0
  std::string host = authority, port = url.rfind("https", 0) == 0 ? "443" : "80";
  const std::size_t bracket = authority.find(']'), colon = authority.rfind(':');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket))
    host = authority.substr(0, colon), port = authority.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);

  const std::string what = "cannot reach the backend at " + url + ": ";
  const std::string todo =
      "; start it (prismhollow-backend --listen HOST:PORT) or leave out --backend to run a local one for the job";
  addrinfo hints{}, *found = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  if (int e = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); e != 0)
    throw BackendError(what + gai_strerror(e) + todo);
  std::string reason = "no address";
  bool reached = false;
  for (addrinfo* a = found; a && !reached; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      socklen_t size = sizeof error;
      error =
          poll(&p, 1, kConnectMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 ? error : ETIMEDOUT;
    }
    close(fd);
    reached = error == 0;
    reason = std::strerror(error);
  }
  freeaddrinfo(found);
  if (!reached) throw BackendError(what + reason + todo);

  // Something answers there: is it ours? Its root says so.
  const orv::HttpResponse root = orv::HttpClient().get(url + (url.back() == '/' ? "" : "/"));
  if (root.status == 200 && root.body.rfind("prismhollow-backend ", 0) == 0) return;
  throw BackendError(authority + (root.status == 0 ? " does not answer HTTP" : " answered HTTP " + std::to_string(root.status)) +
                     ": not a prismhollow backend; start one there (prismhollow-backend --listen HOST:PORT) or leave "
                     "out --backend to run a local one for the job");
}

LocalBackend::LocalBackend(const std::string& program, const fs::path& folder) : log_(folder / "backend.log") {
  const std::string data = (folder / "data").string();
  std::vector<std::string> args = {program, "--listen", "127.0.0.1:0", "--data", data};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (log < 0 || null < 0) throw BackendError("cannot write the backend's log in " + folder.string());
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Ends with us however we end, even killed outright.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    dup2(null, 0), dup2(null, 1), dup2(log, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(log), close(null);
  if (pid_ < 0) throw BackendError(std::string("cannot start ") + program + ": " + std::strerror(errno));

  const std::string mark = "listening on http://127.0.0.1:";
  for (auto until = std::chrono::steady_clock::now() + kStartLimit; port_ == 0;) {
    const std::string text = contract::read_file(log_).value_or("");
    if (const std::size_t at = text.find(mark); at != std::string::npos) {
      port_ = std::atoi(text.c_str() + at + mark.size());
    } else if (!running() || std::chrono::steady_clock::now() > until) {
      const std::string tail = logTail();
      stop();
      throw BackendError(std::string("the local backend ") + program + " did not start" +
                         (tail.empty() ? "\n" : ":\n" + tail) +
                         "Check that it runs (prismhollow-backend --help), or name a running one with --backend URL");
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

// Once the child has ended and been reaped (or cannot be waited for), its
// id is forgotten: no signal of ours may reach a process that inherits it.
bool LocalBackend::running() {
  if (pid_ <= 0) return false;
  if (waitpid(pid_, nullptr, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

std::string LocalBackend::logTail() const {
  std::stringstream in(contract::read_file(log_).value_or(""));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::string tail;
  for (std::size_t i = lines.size() > 6 ? lines.size() - 6 : 0; i < lines.size(); ++i) tail += "  " + lines[i] + "\n";
  return tail;
}

void LocalBackend::stop() {
  if (!running()) return;
  kill(pid_, SIGTERM);
  for (const auto until = std::chrono::steady_clock::now() + kStopLimit;
       running() && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!running()) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}
