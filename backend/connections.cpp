#include "backend/connections.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace backend {

using Clock = std::chrono::steady_clock;

struct WaitingServer::Connection {
  explicit Connection(int socket) : fd(socket) {}
  ~Connection() {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::string_view unread() const { return std::string_view(pending).substr(at); }

  int fd;
  std::string pending;  // read from the socket, not yet taken by httplib (from `at` on)
  std::size_t at = 0;
  Clock::time_point since, deadline;
  bool started = false;  // some of the next head has arrived
  std::size_t served = 0;
};

namespace {

thread_local bool tCloseAfter = false;

// How long a worker waits for the socket in one read or write, as httplib's
// own streams do; and the slowest a body may come once it has had 10 s.
constexpr int kWaitMs = 5000;
constexpr double kBodyBytesPerSecond = 64 << 10;

// Runs each task at once on the accept loop's thread: ours only hands the
// connection to the waiting room. Its shutdown, at the end of the loop,
// stops the room and the workers.
class AtOnce final : public httplib::TaskQueue {
 public:
  explicit AtOnce(std::function<void()> stop) : stop_(std::move(stop)) {}
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override { stop_(); }

 private:
  std::function<void()> stop_;
};

bool head_complete(std::string_view bytes) { return bytes.find("\r\n\r\n") != std::string_view::npos; }

void address(int (*get)(int, sockaddr*, socklen_t*), int fd, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  if (get(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return;
  char text[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  ip = text;
}

// One request's reads and writes on a connection whose head has arrived.
class ConnectionStream final : public httplib::Stream {
 public:
  explicit ConnectionStream(WaitingServer::Connection& c) : c_(c), start_(Clock::now()) {}

  bool is_readable() const override { return !c_.unread().empty() || wait(POLLIN); }
  bool is_writable() const override { return wait(POLLOUT); }
  ssize_t read(char* ptr, size_t size) override {
    if (c_.unread().empty()) {
      // A body that trickles would hold this worker as long as it likes.
      const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
      if (seconds > 10 && double(received_) < (seconds - 10) * kBodyBytesPerSecond) return -1;
      if (!wait(POLLIN)) return -1;
      char buffer[16 << 10];
      const ssize_t n = ::recv(c_.fd, buffer, sizeof buffer, 0);
      if (n <= 0) return n;
      c_.pending.assign(buffer, static_cast<std::size_t>(n));
      c_.at = 0;
      received_ += static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min(size, c_.unread().size());
    std::memcpy(ptr, c_.pending.data() + c_.at, n);
    c_.at += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!wait(POLLOUT)) return -1;
    return ::send(c_.fd, ptr, size, MSG_NOSIGNAL);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { address(&::getpeername, c_.fd, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { address(&::getsockname, c_.fd, ip, port); }
  socket_t socket() const override { return c_.fd; }

 private:
  bool wait(short events) const {
    pollfd p{c_.fd, events, 0};
    return ::poll(&p, 1, kWaitMs) > 0;
  }

  WaitingServer::Connection& c_;
  Clock::time_point start_;
  std::size_t received_ = 0;
};

// A last answer on a connection that is closed after it, as far as the
// socket takes it at once.
void answer_and_drop(int fd, const std::string& status, const std::string& reason) {
  const std::string text = "HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(reason.size()) + "\r\nConnection: close\r\n\r\n" + reason;
  [[maybe_unused]] const ssize_t sent = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

void close_after_this_request() { tCloseAfter = true; }

WaitingServer::WaitingServer(const Limits& limits) : limits_(limits) {
  // Past the process's limit of open files, new connections are not even
  // accepted: the longest idle must make room well before.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
    limits_.waiting = std::min<std::size_t>(limits_.waiting, std::max<rlim_t>(files.rlim_cur * 3 / 4, 16));
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_ < 0 || wake_ < 0) throw std::runtime_error(std::string("cannot wait on connections: ") + std::strerror(errno));
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = wake_;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &e);
  new_task_queue = [this] { return new AtOnce([this] { stop_all(); }); };
  room_ = std::thread([this] { wait_room(); });
  for (int i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { work(); });
}

WaitingServer::~WaitingServer() {
  stop_all();
  ::close(epoll_);
  ::close(wake_);
}

int WaitingServer::bind(const std::string& host, int port) {
  if (port == 0) port = bind_to_any_port(host);
  else if (!bind_to_port(host, port)) port = -1;
  if (port > 0) ::listen(svr_sock_, SOMAXCONN);
  return port;
}

bool WaitingServer::process_and_close_socket(socket_t sock) {
  finish(std::make_unique<Connection>(sock));
  return true;
}

void WaitingServer::finish(std::unique_ptr<Connection> c) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;  // closes it
    returned_.push_back(std::move(c));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void WaitingServer::admit(std::unique_ptr<Connection> c) {
  const Clock::time_point now = Clock::now();
  c->started = !c->unread().empty();
  c->since = now;
  c->deadline = now + (c->started ? limits_.head : limits_.idle);
  if (head_complete(c->unread())) {  // a request sent right behind the last one
    std::lock_guard<std::mutex> lock(mu_);
    ready_.push_back(std::move(c));
    ready_cv_.notify_one();
    return;
  }
  if (waiting_.size() >= limits_.waiting) {  // the connection idle the longest makes room
    auto oldest = std::min_element(waiting_.begin(), waiting_.end(),
                                   [](const auto& a, const auto& b) { return a.second->since < b.second->since; });
    waiting_.erase(oldest);
  }
  epoll_event e{};
  e.events = EPOLLIN | EPOLLET | EPOLLRDHUP;
  e.data.fd = c->fd;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, c->fd, &e) != 0) return;  // closes it
  waiting_[c->fd] = std::move(c);
}

void WaitingServer::wait_room() {
  epoll_event events[256];
  std::vector<std::unique_ptr<Connection>> arrived;
  for (;;) {
    const int n = ::epoll_wait(epoll_, events, 256, 250);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) break;
      arrived.swap(returned_);
    }
    for (auto& c : arrived) admit(std::move(c));
    arrived.clear();
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == wake_) {
        std::uint64_t count;
        [[maybe_unused]] const ssize_t r = ::read(wake_, &count, sizeof count);
        continue;
      }
      const auto it = waiting_.find(events[i].data.fd);
      if (it == waiting_.end()) continue;
      Connection& c = *it->second;
      // Looked at, not taken: httplib reads the head itself once it is whole.
      std::string seen(limits_.headBytes + 1, '\0');
      const ssize_t got = ::recv(c.fd, seen.data(), seen.size(), MSG_PEEK | MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (got <= 0) {  // closed by the client
        waiting_.erase(it);
        continue;
      }
      seen.resize(static_cast<std::size_t>(got));
      seen.insert(0, c.unread());
      if (!c.started) c.started = true, c.deadline = now + limits_.head;
      if (head_complete(seen)) {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
        std::lock_guard<std::mutex> lock(mu_);
        ready_.push_back(std::move(it->second));
        ready_cv_.notify_one();
        waiting_.erase(it);
      } else if (seen.size() > limits_.headBytes) {
        answer_and_drop(c.fd, "431 Request Header Fields Too Large",
                        "the request head is over " + std::to_string(limits_.headBytes >> 10) + " KiB");
        waiting_.erase(it);
      }
    }
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (now < it->second->deadline) {
        ++it;
        continue;
      }
      if (it->second->started)
        answer_and_drop(it->second->fd, "408 Request Timeout",
                        "the request head did not arrive whole within " + std::to_string(limits_.head.count()) + " s");
      it = waiting_.erase(it);
    }
  }
  waiting_.clear();
}

void WaitingServer::work() {
  for (;;) {
    std::unique_ptr<Connection> c;
    {
      std::unique_lock<std::mutex> lock(mu_);
      ready_cv_.wait(lock, [this] { return stopping_ || !ready_.empty(); });
      if (stopping_) return;
      c = std::move(ready_.front());
      ready_.pop_front();
    }
    ConnectionStream stream(*c);
    bool closed = false;
    tCloseAfter = false;
    const bool last = ++c->served >= limits_.requestsPerConnection;
    const bool written = process_request(stream, last, closed, nullptr);
    if (written && !closed && !last && !tCloseAfter) finish(std::move(c));
  }
}

void WaitingServer::stop_all() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  ready_cv_.notify_all();
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  if (room_.joinable()) room_.join();
  for (std::thread& t : workers_)
    if (t.joinable()) t.join();
  std::lock_guard<std::mutex> lock(mu_);
  ready_.clear();
  returned_.clear();
}

}  // namespace backend
