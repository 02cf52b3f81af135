#include "orv/http_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using orv::HttpClient;
using orv::HttpResponse;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kUserAgent = "PrismhollowDuneVeil-OFX/1.1";

static_assert(!std::is_copy_constructible_v<HttpClient>, "the client owns its handle");
static_assert(!std::is_copy_assignable_v<HttpClient>, "the client owns its handle");
static_assert(std::is_same_v<decltype(HttpResponse::status), long> && sizeof(long) == 8,
              "status is libcurl's signed 64-bit long");

std::string urlFor(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Binary content with NULs and high bytes, as image data has.
const std::string kBinary("\x00\x01\xff\xd8\x00\x00\x7f\x80\r\n\r\nend\x00", 16);

// A port on 127.0.0.1 on which nobody listens: bound, read back, released.
int unusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

HttpClient::Timeouts oneSecondTimeouts() {
  HttpClient::Timeouts t;
  t.post_json_sec = 1;
  t.put_bytes_sec = 1;
  t.get_sec = 1;
  t.get_bytes_sec = 1;
  return t;
}

// ---------------------------------------------------------------------------
// A real HTTP server on 127.0.0.1 that records what it receives.

struct Seen {
  std::string method;
  std::string path;
  std::string body;
  httplib::Headers headers;

  size_t count(const std::string& name) const { return headers.count(name); }
  std::string header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

class HttpClientServer : public ::testing::Test {
 protected:
  void SetUp() override {
    // Idle keep-alive connections must not hold up stop().
    server_.set_keep_alive_timeout(1);
  }

  void TearDown() override {
    if (thread_.joinable()) {
      waitRunning();
      server_.stop();
      thread_.join();
    }
  }

  // Binds an ephemeral port and serves on a thread; handlers come first.
  void start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is a no-op until the accept loop runs, so wait for it.
    ASSERT_TRUE(waitRunning());
  }

  bool waitRunning() {
    const auto deadline = Clock::now() + 5s;
    while (!server_.is_running() && Clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return server_.is_running();
  }

  std::string url(const std::string& path) const { return urlFor(port_, path); }

  // A handler that records the request and answers with the given status
  // and body.
  httplib::Server::Handler answer(int status, std::string body, std::string type = "text/plain") {
    return [this, status, body, type](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.status = status;
      res.set_content(body, type.c_str());
    };
  }

  // Answers with a 302 to `target`, body "moved".
  httplib::Server::Handler redirectTo(std::string target) {
    return [this, target](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_redirect(target, 302);
      res.set_content("moved", "text/plain");
    };
  }

  void record(const httplib::Request& req) {
    std::lock_guard<std::mutex> lock(mu_);
    seen_.push_back(Seen{req.method, req.path, req.body, req.headers});
  }

  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

  httplib::Server server_;
  int port_ = 0;

 private:
  std::thread thread_;
  std::mutex mu_;
  std::vector<Seen> seen_;
};

// ---------------------------------------------------------------------------
// A bare TCP server for what the HTTP server hides: the raw request bytes
// (header order) and a response that stops half-way. It serves connections
// one after another: reads one request, writes `reply`, then either closes or
// holds the connection open until the client goes away, the server stops or
// five seconds pass.

class RawServer {
 public:
  RawServer(std::string reply, bool holdOpen) : reply_(std::move(reply)), holdOpen_(holdOpen) {}

  ~RawServer() { stop(); }

  bool start() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0) {
      return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return false;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
  }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
    if (listenFd_ >= 0) {
      ::close(listenFd_);
      listenFd_ = -1;
    }
  }

  int port() const { return port_; }

  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  void run() {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) {
        continue;
      }
      const int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd < 0) {
        continue;
      }
      serve(fd);
      ::close(fd);
    }
  }

  void serve(int fd) {
    const auto deadline = Clock::now() + 5s;
    std::string raw = readRequest(fd, deadline);
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(raw);
    }
    size_t sent = 0;
    while (sent < reply_.size()) {
      const ssize_t n = ::send(fd, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        return;
      }
      sent += static_cast<size_t>(n);
    }
    if (!holdOpen_) {
      return;
    }
    char buf[256];
    while (!stop_ && Clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0 && ::recv(fd, buf, sizeof buf, 0) <= 0) {
        return;  // the client gave up and closed
      }
    }
  }

  // The head up to the blank line plus Content-Length bytes of body.
  std::string readRequest(int fd, Clock::time_point deadline) {
    std::string raw;
    size_t wanted = std::string::npos;
    char buf[4096];
    while (!stop_ && Clock::now() < deadline) {
      if (wanted == std::string::npos) {
        const size_t end = raw.find("\r\n\r\n");
        if (end != std::string::npos) {
          wanted = end + 4 + contentLength(raw.substr(0, end));
        }
      }
      if (wanted != std::string::npos && raw.size() >= wanted) {
        break;
      }
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) {
        continue;
      }
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        break;
      }
      raw.append(buf, static_cast<size_t>(n));
    }
    return raw;
  }

  static size_t contentLength(const std::string& head) {
    const std::string key = "\r\ncontent-length:";
    std::string lower = head;
    for (char& c : lower) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const size_t at = lower.find(key);
    return at == std::string::npos ? 0 : std::stoul(head.substr(at + key.size()));
  }

  std::string reply_;
  bool holdOpen_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
};

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// ---------------------------------------------------------------------------
// What each operation sends and returns

using HttpClientRequests = HttpClientServer;

TEST_F(HttpClientRequests, PostJsonSendsJsonPostAndReturnsTheAnswer) {
  server_.Post("/api/session", answer(201, R"({"session_id":"s1"})", "application/json"));
  start();

  HttpClient client;
  const std::string body = R"({"fps":24,"frames":3})";
  const HttpResponse r = client.post_json(url("/api/session"), body);

  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.body, R"({"session_id":"s1"})");
  const auto s = seen();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].method, "POST");
  EXPECT_EQ(s[0].path, "/api/session");
  EXPECT_EQ(s[0].body, body);
  EXPECT_EQ(s[0].header("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(s[0].count("Content-Type"), 1u);
  EXPECT_EQ(s[0].header("Content-Type"), "application/json");
  EXPECT_EQ(s[0].count("Accept"), 1u);
  EXPECT_EQ(s[0].header("Accept"), "application/json");
  EXPECT_EQ(s[0].header("User-Agent"), kUserAgent);
}

TEST_F(HttpClientRequests, PostJsonWithEmptyTextSendsEmptyPost) {
  server_.Post("/empty", answer(200, "ok"));
  start();

  HttpClient client;
  const HttpResponse r = client.post_json(url("/empty"), "");

  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ok");
  const auto s = seen();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].method, "POST");
  EXPECT_EQ(s[0].body, "");
  EXPECT_EQ(s[0].header("Content-Length"), "0");
  EXPECT_EQ(s[0].header("Content-Type"), "application/json");
}

TEST_F(HttpClientRequests, PutBytesSendsExactBinaryBodyWithItsContentType) {
  server_.Put("/upload/000001.jpg", answer(200, "stored"));
  start();

  HttpClient client;
  const std::vector<uint8_t> data = bytesOf(kBinary);
  const HttpResponse r = client.put_bytes(url("/upload/000001.jpg"), data, "image/jpeg");

  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "stored");
  const auto s = seen();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].method, "PUT");
  EXPECT_EQ(s[0].path, "/upload/000001.jpg");
  EXPECT_EQ(s[0].body, kBinary);
  EXPECT_EQ(s[0].header("Content-Length"), std::to_string(kBinary.size()));
  EXPECT_EQ(s[0].count("Content-Type"), 1u);
  EXPECT_EQ(s[0].header("Content-Type"), "image/jpeg");
  EXPECT_NE(s[0].header("Accept"), "application/json");
  EXPECT_EQ(s[0].header("User-Agent"), kUserAgent);
}

TEST_F(HttpClientRequests, PutBytesWithEmptyVectorSendsEmptyPut) {
  server_.Put("/empty", answer(204, ""));
  start();

  HttpClient client;
  const HttpResponse r = client.put_bytes(url("/empty"), {}, "application/octet-stream");

  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(r.body, "");
  const auto s = seen();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].method, "PUT");
  EXPECT_EQ(s[0].body, "");
  EXPECT_EQ(s[0].header("Content-Length"), "0");
  EXPECT_EQ(s[0].header("Content-Type"), "application/octet-stream");
}

TEST_F(HttpClientRequests, PutBytesSendsAFrameSizedBodyWhole) {
  server_.Put("/big", answer(200, "ok"));
  start();

  std::vector<uint8_t> data(1536 * 1024);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>((i * 131u) ^ (i >> 8));
  }
  HttpClient client;
  const HttpResponse r = client.put_bytes(url("/big"), data, "image/jpeg");

  EXPECT_EQ(r.status, 200);
  const auto s = seen();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].body.size(), data.size());
  EXPECT_TRUE(s[0].body == std::string(data.begin(), data.end()));
}

TEST_F(HttpClientRequests, GetSendsPlainGetAndReturnsBody) {
  server_.Get("/api/status", answer(200, R"({"stage":"tracking"})", "application/json"));
  start();

  HttpClient client;
  const HttpResponse r = client.get(url("/api/status?job=1"));

  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, R"({"stage":"tracking"})");
  const auto s = seen();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].method, "GET");
  EXPECT_EQ(s[0].path, "/api/status");
  EXPECT_EQ(s[0].body, "");
  EXPECT_EQ(s[0].count("Content-Type"), 0u);
  EXPECT_EQ(s[0].count("Content-Length"), 0u);
  EXPECT_NE(s[0].header("Accept"), "application/json");
  EXPECT_EQ(s[0].header("User-Agent"), kUserAgent);
}

TEST_F(HttpClientRequests, GetBytesAppendsBinaryBodyToExistingBytes) {
  server_.Get("/matte/000000.png", answer(200, kBinary, "image/png"));
  start();

  HttpClient client;
  std::vector<uint8_t> out = {0xAA, 0xBB};
  EXPECT_TRUE(client.get_bytes(url("/matte/000000.png"), &out));

  std::vector<uint8_t> expected = {0xAA, 0xBB};
  expected.insert(expected.end(), kBinary.begin(), kBinary.end());
  EXPECT_EQ(out, expected);
  const auto s = seen();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].method, "GET");
  EXPECT_EQ(s[0].path, "/matte/000000.png");
  EXPECT_EQ(s[0].count("Content-Type"), 0u);
  EXPECT_EQ(s[0].header("User-Agent"), kUserAgent);
}

TEST_F(HttpClientRequests, GetBytesOn404ReturnsFalseWithErrorBodyAppended) {
  server_.Get("/missing", answer(404, "no such matte"));
  start();

  HttpClient client;
  std::vector<uint8_t> out = {1, 2, 3};
  EXPECT_FALSE(client.get_bytes(url("/missing"), &out));

  std::vector<uint8_t> expected = {1, 2, 3};
  const std::string error = "no such matte";
  expected.insert(expected.end(), error.begin(), error.end());
  EXPECT_EQ(out, expected);
}

TEST_F(HttpClientRequests, GetBytesSucceedsOnlyFor2xx) {
  server_.Get("/200", answer(200, "a"));
  server_.Get("/204", answer(204, ""));
  server_.Get("/299", answer(299, "b"));
  server_.Get("/300", answer(300, "c"));  // no Location: nothing to follow
  server_.Get("/500", answer(500, "d"));
  start();

  HttpClient client;
  std::vector<uint8_t> out;
  EXPECT_TRUE(client.get_bytes(url("/200"), &out));
  EXPECT_TRUE(client.get_bytes(url("/204"), &out));
  EXPECT_TRUE(client.get_bytes(url("/299"), &out));
  EXPECT_FALSE(client.get_bytes(url("/300"), &out));
  EXPECT_FALSE(client.get_bytes(url("/500"), &out));
  EXPECT_EQ(out, bytesOf("abcd"));
}

TEST_F(HttpClientRequests, HttpErrorStatusesComeBackWithTheirBodies) {
  server_.Post("/fail", answer(500, R"({"error":"boom"})", "application/json"));
  server_.Put("/fail", answer(413, "too large"));
  server_.Get("/fail", answer(404, "not here"));
  start();

  HttpClient client;
  const HttpResponse post = client.post_json(url("/fail"), "{}");
  EXPECT_EQ(post.status, 500);
  EXPECT_EQ(post.body, R"({"error":"boom"})");
  const HttpResponse put = client.put_bytes(url("/fail"), bytesOf("x"), "image/jpeg");
  EXPECT_EQ(put.status, 413);
  EXPECT_EQ(put.body, "too large");
  const HttpResponse get = client.get(url("/fail"));
  EXPECT_EQ(get.status, 404);
  EXPECT_EQ(get.body, "not here");
}

// ---------------------------------------------------------------------------
// Redirects

using HttpClientRedirects = HttpClientServer;

TEST_F(HttpClientRedirects, PostJsonGetAndGetBytesFollowA302) {
  server_.Post("/moved", redirectTo("/target"));
  server_.Get("/moved", redirectTo("/target"));
  server_.Get("/target", answer(200, "arrived"));
  server_.Post("/target", answer(200, "arrived"));
  start();

  HttpClient client;
  const HttpResponse post = client.post_json(url("/moved"), R"({"a":1})");
  EXPECT_EQ(post.status, 200);
  EXPECT_EQ(post.body, "arrived");

  const HttpResponse get = client.get(url("/moved"));
  EXPECT_EQ(get.status, 200);
  EXPECT_EQ(get.body, "arrived");

  std::vector<uint8_t> out;
  EXPECT_TRUE(client.get_bytes(url("/moved"), &out));
  EXPECT_EQ(out, bytesOf("arrived"));

  const auto s = seen();
  ASSERT_EQ(s.size(), 6u);
  for (size_t i = 0; i < s.size(); ++i) {
    EXPECT_EQ(s[i].path, i % 2 == 0 ? "/moved" : "/target") << i;
    EXPECT_EQ(s[i].header("User-Agent"), kUserAgent) << i;
  }
}

TEST_F(HttpClientRedirects, PutBytesReturnsThe302WithoutFollowing) {
  server_.Put("/moved", redirectTo("/target"));
  server_.Put("/target", answer(200, "arrived"));
  server_.Get("/target", answer(200, "arrived"));
  start();

  HttpClient client;
  const HttpResponse r = client.put_bytes(url("/moved"), bytesOf("frame"), "image/jpeg");

  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.body, "moved");
  const auto s = seen();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].path, "/moved");
  EXPECT_EQ(s[0].body, "frame");
}

// ---------------------------------------------------------------------------
// One client, several calls: every call starts from a clean handle

using HttpClientReuse = HttpClientServer;

TEST_F(HttpClientReuse, GetAfterPostJsonCarriesNothingOfThePost) {
  server_.Post("/a", answer(200, "first"));
  server_.Get("/b", answer(200, "second"));
  start();

  HttpClient client;
  EXPECT_EQ(client.post_json(url("/a"), R"({"big":"body"})").status, 200);
  const HttpResponse r = client.get(url("/b"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "second");  // not "firstsecond"

  const auto s = seen();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[1].method, "GET");
  EXPECT_EQ(s[1].body, "");
  EXPECT_EQ(s[1].count("Content-Type"), 0u);
  EXPECT_EQ(s[1].count("Content-Length"), 0u);
  EXPECT_EQ(s[1].count("Accept"), 1u);
  EXPECT_NE(s[1].header("Accept"), "application/json");
  EXPECT_EQ(s[1].header("User-Agent"), kUserAgent);
}

TEST_F(HttpClientReuse, PostJsonAfterPutBytesIsAPostWithOnlyJsonHeaders) {
  server_.Put("/a", answer(200, "put"));
  server_.Post("/b", answer(200, "post"));
  start();

  HttpClient client;
  EXPECT_EQ(client.put_bytes(url("/a"), bytesOf(kBinary), "image/jpeg").status, 200);
  const HttpResponse r = client.post_json(url("/b"), "[]");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "post");

  const auto s = seen();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[1].method, "POST");
  EXPECT_EQ(s[1].body, "[]");
  EXPECT_EQ(s[1].count("Content-Type"), 1u);
  EXPECT_EQ(s[1].header("Content-Type"), "application/json");
}

TEST_F(HttpClientReuse, GetBytesAfterPutBytesIsAPlainGet) {
  server_.Put("/a", answer(200, "put"));
  server_.Get("/b", answer(200, "bytes"));
  start();

  HttpClient client;
  EXPECT_EQ(client.put_bytes(url("/a"), bytesOf("frame"), "image/jpeg").status, 200);
  std::vector<uint8_t> out;
  EXPECT_TRUE(client.get_bytes(url("/b"), &out));
  EXPECT_EQ(out, bytesOf("bytes"));

  const auto s = seen();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[1].method, "GET");
  EXPECT_EQ(s[1].body, "");
  EXPECT_EQ(s[1].count("Content-Type"), 0u);
}

TEST_F(HttpClientReuse, PutBytesAfterGetStillDoesNotFollowRedirects) {
  server_.Get("/a", answer(200, "got"));
  server_.Put("/moved", redirectTo("/target"));
  server_.Put("/target", answer(200, "arrived"));
  server_.Get("/target", answer(200, "arrived"));
  start();

  HttpClient client;
  EXPECT_EQ(client.get(url("/a")).status, 200);
  const HttpResponse r = client.put_bytes(url("/moved"), bytesOf("x"), "image/jpeg");
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(seen().size(), 2u);
}

// ---------------------------------------------------------------------------
// Header order on the wire, which the HTTP server's header map does not keep

const std::string kOkClose = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

TEST(HttpClientWire, PostJsonSendsContentTypeThenAccept) {
  RawServer raw(kOkClose, false);
  ASSERT_TRUE(raw.start());

  HttpClient client;
  const HttpResponse r = client.post_json(urlFor(raw.port(), "/api/start"), R"({"k":"v"})");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ok");
  raw.stop();

  const auto requests = raw.requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& req = requests[0];
  EXPECT_EQ(req.rfind("POST /api/start HTTP/1.1\r\n", 0), 0u) << req;
  const size_t contentType = req.find("\r\nContent-Type: application/json\r\n");
  const size_t accept = req.find("\r\nAccept: application/json\r\n");
  ASSERT_NE(contentType, std::string::npos) << req;
  ASSERT_NE(accept, std::string::npos) << req;
  EXPECT_LT(contentType, accept) << req;
  EXPECT_EQ(occurrences(req, "\r\nContent-Type:"), 1u) << req;
  EXPECT_EQ(occurrences(req, "\r\nAccept:"), 1u) << req;
  EXPECT_NE(req.find("\r\nUser-Agent: PrismhollowDuneVeil-OFX/1.1\r\n"), std::string::npos) << req;
  EXPECT_NE(req.find("\r\nContent-Length: 9\r\n"), std::string::npos) << req;
  const size_t headEnd = req.find("\r\n\r\n");
  ASSERT_NE(headEnd, std::string::npos);
  EXPECT_EQ(req.substr(headEnd + 4), R"({"k":"v"})");
}

TEST(HttpClientWire, PutBytesSendsOneContentTypeAndTheRawBytes) {
  RawServer raw(kOkClose, false);
  ASSERT_TRUE(raw.start());

  HttpClient client;
  const HttpResponse r = client.put_bytes(urlFor(raw.port(), "/f"), bytesOf(kBinary), "image/png");
  EXPECT_EQ(r.status, 200);
  raw.stop();

  const auto requests = raw.requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& req = requests[0];
  EXPECT_EQ(req.rfind("PUT /f HTTP/1.1\r\n", 0), 0u) << req;
  EXPECT_EQ(occurrences(req, "\r\nContent-Type:"), 1u) << req;
  EXPECT_NE(req.find("\r\nContent-Type: image/png\r\n"), std::string::npos) << req;
  EXPECT_EQ(req.find("application/json"), std::string::npos) << req;
  const size_t headEnd = req.find("\r\n\r\n");
  ASSERT_NE(headEnd, std::string::npos);
  EXPECT_EQ(req.substr(headEnd + 4), kBinary);
}

// ---------------------------------------------------------------------------
// Transport failures

TEST(HttpClientFailure, RefusedConnectionGivesMinusOneAndFalse) {
  const int port = unusedPort();
  ASSERT_GT(port, 0);
  HttpClient client;

  const HttpResponse post = client.post_json(urlFor(port, "/x"), "{}");
  EXPECT_EQ(post.status, -1);
  EXPECT_EQ(post.body, "");
  const HttpResponse put = client.put_bytes(urlFor(port, "/x"), bytesOf("x"), "image/jpeg");
  EXPECT_EQ(put.status, -1);
  EXPECT_EQ(put.body, "");
  const HttpResponse get = client.get(urlFor(port, "/x"));
  EXPECT_EQ(get.status, -1);
  EXPECT_EQ(get.body, "");
  std::vector<uint8_t> out = {9};
  EXPECT_FALSE(client.get_bytes(urlFor(port, "/x"), &out));
  EXPECT_EQ(out, std::vector<uint8_t>{9});
}

// The status line and headers arrive, then three of ten promised body bytes,
// then nothing: the time-out must win over the status that already arrived.
TEST(HttpClientFailure, StallAfterHeadersTimesOutWithWhatArrived) {
  RawServer raw("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\npar", true);
  ASSERT_TRUE(raw.start());
  HttpClient client(oneSecondTimeouts());
  const std::string base = urlFor(raw.port(), "/slow");

  const HttpResponse post = client.post_json(base, "{}");
  EXPECT_EQ(post.status, -1);
  EXPECT_EQ(post.body, "par");

  const HttpResponse put = client.put_bytes(base, bytesOf("x"), "image/jpeg");
  EXPECT_EQ(put.status, -1);
  EXPECT_EQ(put.body, "par");

  const HttpResponse get = client.get(base);
  EXPECT_EQ(get.status, -1);
  EXPECT_EQ(get.body, "par");

  std::vector<uint8_t> out = {7};
  EXPECT_FALSE(client.get_bytes(base, &out));
  EXPECT_EQ(out, bytesOf("\x07par"));

  raw.stop();
  // Each call opened its own connection and sent its request in full.
  const auto requests = raw.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].rfind("POST /slow ", 0), 0u);
  EXPECT_EQ(requests[1].rfind("PUT /slow ", 0), 0u);
  EXPECT_EQ(requests[2].rfind("GET /slow ", 0), 0u);
  EXPECT_EQ(requests[3].rfind("GET /slow ", 0), 0u);
}

TEST(HttpClientFailure, DefaultTimeoutsAreTheProductionValues) {
  const HttpClient::Timeouts t;
  EXPECT_EQ(t.post_json_sec, 300);
  EXPECT_EQ(t.put_bytes_sec, 120);
  EXPECT_EQ(t.get_sec, 60);
  EXPECT_EQ(t.get_bytes_sec, 600);
}

// ---------------------------------------------------------------------------
// Construction

using HttpClientConstruction = HttpClientServer;

CURL* noHandle() { return nullptr; }

std::atomic<int> gCountedInits{0};
CURL* countedInit() {
  ++gCountedInits;
  return curl_easy_init();
}

TEST_F(HttpClientConstruction, MissingEasyHandleFailsEveryCallWithoutSending) {
  server_.Post("/x", answer(200, "post"));
  server_.Put("/x", answer(200, "put"));
  server_.Get("/x", answer(200, "get"));
  start();

  const HttpClient client(HttpClient::Timeouts{}, &noHandle);

  const HttpResponse post = client.post_json(url("/x"), "{}");
  EXPECT_EQ(post.status, -1);
  EXPECT_EQ(post.body, "");
  const HttpResponse put = client.put_bytes(url("/x"), bytesOf("x"), "image/jpeg");
  EXPECT_EQ(put.status, -1);
  EXPECT_EQ(put.body, "");
  const HttpResponse get = client.get(url("/x"));
  EXPECT_EQ(get.status, -1);
  EXPECT_EQ(get.body, "");
  std::vector<uint8_t> out = {4, 5};
  EXPECT_FALSE(client.get_bytes(url("/x"), &out));
  EXPECT_EQ(out, (std::vector<uint8_t>{4, 5}));

  EXPECT_TRUE(seen().empty());
}

TEST_F(HttpClientConstruction, HandleComesFromTheGivenInitFunction) {
  server_.Get("/x", answer(200, "via counted init"));
  start();

  const int before = gCountedInits;
  HttpClient client(HttpClient::Timeouts{}, &countedInit);
  EXPECT_EQ(gCountedInits, before + 1);
  const HttpResponse r = client.get(url("/x"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "via counted init");
  EXPECT_EQ(gCountedInits, before + 1);  // one handle for every call
  EXPECT_EQ(client.get(url("/x")).status, 200);
  EXPECT_EQ(gCountedInits, before + 1);
}

TEST_F(HttpClientConstruction, ClientsBuiltOnSeveralThreadsAtOnceAllWork) {
  server_.Get("/x", answer(200, "hello"));
  start();

  constexpr int kThreads = 6;
  std::vector<HttpResponse> results(kThreads);
  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go) {
        std::this_thread::yield();
      }
      HttpClient client;
      results[i] = client.get(url("/x"));
    });
  }
  go = true;
  for (auto& t : threads) {
    t.join();
  }
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i].status, 200) << i;
    EXPECT_EQ(results[i].body, "hello") << i;
  }
  EXPECT_EQ(seen().size(), static_cast<size_t>(kThreads));
}

}  // namespace
