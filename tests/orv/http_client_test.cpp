#include "orv/http_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "TestSupport.h"

namespace {

using orv::Download;
using orv::HttpClient;
using orv::HttpResponse;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Binary content with NULs, high bytes and a blank line, as image data has.
const std::string kBinary("\x00\x01\xff\xd8\x00\x00\x7f\x80\r\n\r\nend\x00", 16);

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// get_file into a scratch file: what it answered, and the file's bytes
// ("<none>" when it was not kept).
std::pair<Download, std::string> getFile(const HttpClient& client, const std::string& url,
                                         std::uint64_t maxBytes = 1 << 20) {
  const std::string path = ::testing::TempDir() + "get_file." + std::to_string(getpid());
  const Download result = client.get_file(url, path, maxBytes);
  const std::string bytes = std::filesystem::exists(path) ? readFile(path) : "<none>";
  std::filesystem::remove(path);
  return {result, bytes};
}

std::string reply(int status, const std::string& body, const std::string& extraHeaders = "") {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\n" + extraHeaders +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// The request line and the header lines of a raw request, in wire order.
std::vector<std::string> headLines(const std::string& raw) {
  std::vector<std::string> lines;
  const size_t end = raw.find("\r\n\r\n");
  for (size_t at = 0; end != std::string::npos && at <= end;) {
    const size_t next = raw.find("\r\n", at);
    lines.push_back(raw.substr(at, next - at));
    at = next + 2;
  }
  return lines;
}

std::string bodyOf(const std::string& raw) {
  const size_t end = raw.find("\r\n\r\n");
  return end == std::string::npos ? "<no head>" : raw.substr(end + 4);
}

// A TCP server on 127.0.0.1 that records the raw bytes of each request (the
// head, then Content-Length bytes of body) and writes what the handler makes
// of them. Connections are served one after another; after the reply it
// closes, or with holdOpen waits until the client goes away, the server
// stops or five seconds pass.
class RawServer {
 public:
  using Handler = std::function<std::string(const std::string& request)>;

  explicit RawServer(Handler handler, bool holdOpen = false) : handler_(std::move(handler)), holdOpen_(holdOpen) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "no listening socket";
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~RawServer() { stop(); }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
  }

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  int port() const { return port_; }

  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  void run() {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      const int fd = ::poll(&p, 1, 10) > 0 ? ::accept(listenFd_, nullptr, nullptr) : -1;
      if (fd >= 0) {
        serve(fd);
        ::close(fd);
      }
    }
  }

  void serve(int fd) {
    const auto deadline = Clock::now() + 5s;
    std::string raw;
    size_t wanted = std::string::npos;
    char buf[4096];
    while (!stop_ && Clock::now() < deadline && raw.size() < wanted) {
      const size_t headEnd = raw.find("\r\n\r\n");
      const size_t length = raw.find("\r\nContent-Length: ");
      if (headEnd != std::string::npos) {
        wanted = headEnd + 4 + (length < headEnd ? std::stoul(raw.substr(length + 18)) : 0);
        continue;
      }
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      raw.append(buf, static_cast<size_t>(n));
    }
    const std::string answer = handler_(raw);
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(raw);
    }
    if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) != ssize_t(answer.size()) || !holdOpen_) return;
    while (!stop_ && Clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0 && ::recv(fd, buf, sizeof buf, 0) <= 0) return;  // the client gave up
    }
  }

  Handler handler_;
  bool holdOpen_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
};

// Every operation fails as a transfer (-1, or kFailed and no file for
// get_file), keeping `body` as all that arrived.
void expectEveryCallFails(const HttpClient& client, const std::string& url, const std::string& body) {
  for (const HttpResponse& r :
       {client.post_json(url, "{}"), client.put_bytes(url, bytesOf("x"), "image/jpeg"), client.get(url)})
    EXPECT_EQ(std::pair(r.status, r.body), std::pair(-1L, body));
  EXPECT_EQ(getFile(client, url), std::pair(Download::kFailed, std::string("<none>")));
}

const std::string kUserAgent = "User-Agent: PrismhollowDuneVeil-OFX/1.1";

// One client for every row: each row follows a different operation, so
// anything one call leaves on the handle would show in the next request.
TEST(HttpClientRequests, EachCallSendsExactlyItsRequestAndNothingOfTheOneBefore) {
  RawServer server([](const std::string&) { return reply(200, "ok"); });
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port());
  struct Row {
    std::function<void(const HttpClient&)> call;
    std::vector<std::string> head;  // without the Host and User-Agent lines, which follow the request line
    std::string body;
  };
  const std::string json = R"({"k":"v"})";
  const Row rows[] = {
      {[&](const HttpClient& c) { c.post_json(server.url("/api/start"), json); },
       {"POST /api/start HTTP/1.1", "Content-Type: application/json", "Accept: application/json", "Content-Length: 9"},
       json},
      {[&](const HttpClient& c) { c.get(server.url("/api/status?job=1")); },
       {"GET /api/status?job=1 HTTP/1.1", "Accept: */*"},
       ""},
      {[&](const HttpClient& c) { c.put_bytes(server.url("/f/1.png"), bytesOf(kBinary), "image/png"); },
       {"PUT /f/1.png HTTP/1.1", "Accept: */*", "Content-Type: image/png", "Content-Length: 16"},
       kBinary},
      {[&](const HttpClient& c) { c.post_json(server.url("/empty"), ""); },
       {"POST /empty HTTP/1.1", "Content-Type: application/json", "Accept: application/json", "Content-Length: 0"},
       ""},
      {[&](const HttpClient& c) { c.put_bytes(server.url("/empty"), {}, "application/octet-stream"); },
       {"PUT /empty HTTP/1.1", "Accept: */*", "Content-Type: application/octet-stream", "Content-Length: 0"},
       ""},
      {[&](const HttpClient& c) { getFile(c, server.url("/matte/0.png")); },
       {"GET /matte/0.png HTTP/1.1", "Accept: */*"},
       ""},
  };
  HttpClient client;
  for (size_t i = 0; i < std::size(rows); ++i) {
    rows[i].call(client);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), i + 1);
    std::vector<std::string> expected = rows[i].head;
    expected.insert(expected.begin() + 1, {host, kUserAgent});
    EXPECT_EQ(headLines(requests[i]), expected) << requests[i];
    EXPECT_EQ(bodyOf(requests[i]), rows[i].body) << requests[i];
  }
}

// The path names the status to answer with; 204 has no body.
std::string statusBody(int status) { return status == 204 ? "" : std::to_string(status) + kBinary; }

TEST(HttpClientRequests, AnswersComeBackWithTheirStatusAndExactBody) {
  RawServer server([](const std::string& request) {
    const int status = std::stoi(request.substr(request.find('/') + 1));
    return reply(status, statusBody(status));
  });
  HttpClient client;
  for (int status : {200, 201, 404, 413, 500}) {
    const std::string url = server.url("/" + std::to_string(status));
    for (const HttpResponse& r :
         {client.post_json(url, "{}"), client.put_bytes(url, bytesOf("x"), "image/jpeg"), client.get(url)})
      EXPECT_EQ(std::pair(r.status, r.body), std::pair(long(status), statusBody(status)));  // nothing of the one before
  }
  // get_file keeps exactly the body of a 2xx answer, and no file otherwise.
  for (auto [status, ok] : {std::pair{200, true}, {204, true}, {299, true}, {300, false}, {404, false}, {500, false}})
    EXPECT_EQ(getFile(client, server.url("/" + std::to_string(status))),
              std::pair(ok ? Download::kDone : Download::kFailed, ok ? statusBody(status) : std::string("<none>")))
        << status;
}

// A body over the limit, whether its length is stated or not, is refused
// and leaves no file; one of exactly the limit is kept.
TEST(HttpClientRequests, GetFileKeepsNothingOfABodyOverItsLimit) {
  const std::string body(1000, 'm');
  RawServer server([&](const std::string& request) {
    if (request.find(" /stated ") != std::string::npos) return reply(200, body);
    return "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body;  // ends with the connection
  });
  HttpClient client;
  for (const char* path : {"/stated", "/unstated"}) {
    EXPECT_EQ(getFile(client, server.url(path), 999), std::pair(Download::kTooLarge, std::string("<none>"))) << path;
    EXPECT_EQ(getFile(client, server.url(path), 1000), std::pair(Download::kDone, body)) << path;
  }
  const std::string unwritable = ::testing::TempDir() + "no-such-folder/matte.png";
  EXPECT_EQ(client.get_file(server.url("/stated"), unwritable, 1000), Download::kUnwritable);
}

TEST(HttpClientRequests, PutBytesReturnsA302WhereTheOthersFollowIt) {
  RawServer server([](const std::string& request) {
    return request.find(" /moved ") != std::string::npos ? reply(302, "moved", "Location: /target\r\n")
                                                         : reply(200, "arrived");
  });
  HttpClient client;
  const std::string url = server.url("/moved");
  for (const HttpResponse& r : {client.post_json(url, "{}"), client.get(url)})
    EXPECT_EQ(std::pair(r.status, r.body), std::pair(200L, std::string("arrived")));
  EXPECT_EQ(getFile(client, url), std::pair(Download::kDone, std::string("arrived")));
  // After three calls that follow, put_bytes still does not.
  const HttpResponse put = client.put_bytes(url, bytesOf("frame"), "image/jpeg");
  EXPECT_EQ(std::pair(put.status, put.body), std::pair(302L, std::string("moved")));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 7u);
  for (size_t i = 0; i < requests.size(); ++i) {
    const auto head = headLines(requests[i]);
    ASSERT_GE(head.size(), 3u) << i;
    EXPECT_NE(head[0].find(i % 2 == 0 ? " /moved " : " /target "), std::string::npos) << i;
    EXPECT_EQ(head[2], kUserAgent) << i;
  }
  EXPECT_EQ(headLines(requests[6])[0], "PUT /moved HTTP/1.1");
  EXPECT_EQ(bodyOf(requests[6]), "frame");
}

TEST(HttpClientFailure, RefusedConnectionFailsEveryCall) {
  // A port on which nobody listens: bound, read back, released.
  RawServer closed([](const std::string&) { return std::string(); });
  closed.stop();
  expectEveryCallFails(HttpClient(), closed.url("/x"), "");
}

// Status line, headers and three of ten promised body bytes, then nothing:
// the time-out, or the low-speed floor long before it, must win over the
// status that already arrived.
TEST(HttpClientFailure, StallAfterHeadersFailsKeepingWhatArrived) {
  RawServer server([](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\npar"; }, true);
  HttpClient::Timeouts oneSecond, slowForOneSecond;
  oneSecond.post_json_sec = oneSecond.put_bytes_sec = oneSecond.get_sec = oneSecond.get_file_sec = 1;
  oneSecond.low_speed_sec = 0;  // no floor
  slowForOneSecond.low_speed_sec = 1;
  for (const HttpClient::Timeouts& t : {oneSecond, slowForOneSecond})
    expectEveryCallFails(HttpClient(t), server.url("/slow"), "par");
  server.stop();
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(headLines(requests[i])[0], std::string(i % 4 == 0 ? "POST" : i % 4 == 1 ? "PUT" : "GET") + " /slow HTTP/1.1");
  }
}

// A redirect loop ends after a few hops, and no call leaves http and https.
TEST(HttpClientFailure, RedirectsStopAfterFiveAndNeverLeaveHttp) {
  RawServer server([](const std::string& request) {
    if (request.find(" /loop ") != std::string::npos) return reply(302, "", "Location: /loop\r\n");
    return reply(302, "", "Location: ftp://127.0.0.1:21/matte.png\r\n");
  });
  HttpClient client;
  expectEveryCallFails(client, "ftp://127.0.0.1:" + std::to_string(server.port()) + "/x", "");
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(client.get(server.url("/loop")).status, -1);
  EXPECT_EQ(server.requests().size(), 1u + HttpClient::kMaxRedirects);
  EXPECT_EQ(client.get(server.url("/elsewhere")).status, -1);
  EXPECT_EQ(getFile(client, server.url("/elsewhere")).first, Download::kFailed);
  EXPECT_EQ(server.requests().size(), 8u) << "the ftp:// location was followed";
}

TEST(HttpClientFailure, WithoutAHandleEveryCallFailsAndNothingIsSent) {
  RawServer server([](const std::string&) { return reply(200, "ok"); });
  expectEveryCallFails(HttpClient(HttpClient::Timeouts{}, [] { return static_cast<CURL*>(nullptr); }), server.url("/x"),
                       "");
  server.stop();
  EXPECT_TRUE(server.requests().empty());
}

// A process that is exiting raises the flag: every transfer then fails at
// once, however well the server would have answered.
TEST(HttpClientFailure, ARaisedAbortFlagFailsEveryTransfer) {
  RawServer server([](const std::string&) { return reply(200, "fine"); });
  std::atomic<bool> stop{false};
  HttpClient client;
  client.abort_when([&] { return stop.load(); });
  EXPECT_EQ(client.get(server.url("/x")).status, 200);
  stop = true;
  expectEveryCallFails(client, server.url("/x"), "");
}

// libcurl's global initialisation must happen once, before the first handle.
TEST(HttpClientConstruction, ClientsBuiltOnSeveralThreadsAtOnceAllWork) {
  RawServer server([](const std::string&) { return reply(200, "hello"); });
  std::vector<HttpResponse> results(6);
  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  for (HttpResponse& result : results) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      result = HttpClient().get(server.url("/x"));
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  for (const HttpResponse& r : results) EXPECT_EQ(std::pair(r.status, r.body), std::pair(200L, std::string("hello")));
}

}  // namespace
