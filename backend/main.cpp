// prismhollow-backend: the local matting backend of the Prismhollow plug-in.
// Serves the plug-in's five calls over HTTP and runs the matting engine on
// the uploaded frames; see --help.

#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <thread>

#include "backend/log.h"
#include "backend/options.h"
#include "backend/protocol.h"
#include "backend/server.h"
#include "backend/job_board.h"
#include "backend/sessions.h"
#include "backend/shared_sessions.h"

using namespace backend;

namespace {

// Why the server could not listen there, asked of the system again: the
// reason its own attempt met is gone with its socket.
std::string why_not_listening(const std::string& host, int port) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  if (const int e = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); e != 0)
    return gai_strerror(e);
  int error = 0;
  const int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  const int yes = 1;
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
      ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 1) != 0)
    error = errno;
  if (fd >= 0) ::close(fd);
  ::freeaddrinfo(found);
  return error ? std::strerror(error) : "refused";
}

// Deletes expired sessions now and then, until told to stop.
class Expiry {
 public:
  Expiry(SessionCalls& sessions, std::chrono::seconds maxAge)
      : period_(std::clamp<std::chrono::seconds>(maxAge / 10, std::chrono::seconds(1), std::chrono::minutes(10))),
        thread_([this, &sessions] {
          std::unique_lock<std::mutex> lock(mu_);
          while (!cv_.wait_for(lock, period_, [this] { return stop_; })) sessions.expire();
        }) {}
  ~Expiry() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::chrono::seconds period_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

int serve(const Options& options) {
  // Only the signal thread below takes SIGINT and SIGTERM; every thread
  // started from here on inherits the mask.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGUSR1);  // from serve() itself, should the server end on its own
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  ::umask(077);  // what the engine writes too: the data folder is the user's alone
  if (options.data.empty()) {
    std::cerr << "prismhollow-backend: HOME is not set and this user has no home folder to keep sessions in; give "
                 "--data a folder of your own\n";
    return 1;
  }
  Store store(options.data, options.dataBase);
  if (const std::string why = store.hold(options.broker); !why.empty()) {
    std::cerr << "prismhollow-backend: " << why << "\n";
    return 1;
  }
  std::unique_ptr<JobBoard> board;
  std::unique_ptr<SessionCalls> held;
  if (options.broker.empty()) {
    held = std::make_unique<Sessions>(options, store);
  } else {
    board = std::make_unique<JobBoard>(options.broker, options.lease);
    held = std::make_unique<SharedSessions>(options, store, *board);
  }
  SessionCalls& sessions = *held;
  sessions.expire();
  Server server(sessions, options);
  const int port = server.bind();
  if (port < 0) {
    std::cerr << "prismhollow-backend: cannot listen on " << options.host << ":" << options.port << ": "
              << why_not_listening(options.host, options.port)
              << "; --listen HOST:PORT names another address (port 0 takes any free one)\n";
    return 1;
  }
  log_line(std::string("prismhollow-backend ") + kVersion + " listening on http://" + options.host + ":" +
           std::to_string(port) + ", data in " + options.data.string() + ", " + std::to_string(options.jobs) +
           (options.jobs == 1 ? " job" : " jobs") + " at once" +
           (options.broker.empty() ? "" : ", sharing them with the backends of " + options.broker));
  Expiry expiry(sessions, options.maxAge);
  std::thread signals([&] {
    int signal = 0;
    sigwait(&stops, &signal);
    if (signal != SIGUSR1) log_line(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    server.stop();
  });
  server.serve();
  pthread_kill(signals.native_handle(), SIGUSR1);  // no-op for a thread that has already taken its signal
  signals.join();
  if (!sessions.stop()) {
    log_line("stopped; the job that was running starts over when the backend starts again");
    std::_Exit(0);  // the engine is still busy with that job's frame
  }
  log_line("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = parse_options(argc, argv);
    if (options.help) return std::cout << usage(options), 0;
    if (options.version) return std::cout << "prismhollow-backend " << kVersion << "\n", 0;
    return serve(options);
  } catch (const UsageError& e) {
    std::cerr << "prismhollow-backend: " << e.what() << "\n" << usage(parse_options(1, argv));
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "prismhollow-backend: " << e.what() << "\n";
    return 1;
  }
}
