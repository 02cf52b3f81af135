#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// The outcome of one request: the HTTP status code, or -1 when the transfer
// itself failed; the body holds whatever bytes arrived, in arrival order.
struct HttpResponse {
  long status = 0;  // libcurl's width for response codes (64-bit here)
  std::string body;
};

static_assert(sizeof(long) == 8, "HttpResponse::status must be signed 64-bit");

// Blocking HTTP transport over one libcurl easy handle. Calls run one after
// another on the calling thread; each starts from a reset handle, so nothing
// of an earlier call carries over, while libcurl's connection cache does.
// A client belongs to one thread at a time.
class HttpClient {
 public:
  // Whole-transfer time-outs of the four operations, in seconds. The
  // defaults are what every production client uses; shorter values exist
  // so that tests of stalled servers end quickly.
  struct Timeouts {
    long post_json_sec = 300;
    long put_bytes_sec = 120;
    long get_sec = 60;
    long get_bytes_sec = 600;
  };

  // How the handle is created; tests substitute a function that fails.
  using EasyInit = CURL* (*)();

  HttpClient();
  explicit HttpClient(const Timeouts& timeouts, EasyInit easyInit = &curl_easy_init);
  ~HttpClient();

  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // libcurl's global initialisation, once per process; the first client
  // does it too. Done ahead of time by code that must register its own exit
  // handling after the TLS library's.
  static void global_init();

  // From now on, a transfer of this client ends at once, as a failed
  // transfer, when *flag becomes true (checked at least once a second).
  // Lets a process that is exiting stop transfers still in flight before the
  // libraries under them are torn down.
  void abort_when(const std::atomic<bool>* flag) { abort_ = flag; }

  // POST of a JSON text, sent as application/json; redirects are followed.
  HttpResponse post_json(const std::string& url, const std::string& body) const;
  // PUT of raw bytes with the given content type; a redirect is returned,
  // not followed. The bytes are read from `data` during the call.
  HttpResponse put_bytes(const std::string& url, const std::vector<uint8_t>& data, const char* contentType) const;
  // GET of a text; redirects are followed.
  HttpResponse get(const std::string& url) const;
  // GET whose body is appended to *out (which is not emptied first, and
  // receives error bodies too). True only for a completed transfer with a
  // 2xx status.
  bool get_bytes(const std::string& url, std::vector<uint8_t>* out) const;

 private:
  // The options every operation sets, besides its own.
  void setCommon(const std::string& url, long timeoutSec) const;

  CURL* curl_ = nullptr;  // null when libcurl could not create a handle
  Timeouts timeouts_;
  const std::atomic<bool>* abort_ = nullptr;
};

}  // namespace orv
