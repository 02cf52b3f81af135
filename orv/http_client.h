#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
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

// What a download to a file came to.
enum class Download {
  kDone,         // a completed transfer with a 2xx status, all of it in the file
  kFailed,       // no transfer, a failed one or a status outside 2xx
  kTooLarge,     // the body is, or says it is, larger than allowed
  kUnwritable,   // the file could not be created or written
};

// Blocking HTTP transport over one libcurl easy handle. Calls run one after
// another on the calling thread; each starts from a reset handle, so nothing
// of an earlier call carries over, while libcurl's connection cache does.
// A client belongs to one thread at a time.
//
// Every call speaks http or https only, redirects included; redirects,
// where followed, at most kMaxRedirects in a row. A transfer that moves
// fewer than low_speed_bytes a second for low_speed_sec seconds ends as a
// failed transfer: a backend that trickles must not hold a job for the
// whole time-out.
class HttpClient {
 public:
  static constexpr long kMaxRedirects = 5;

  // Whole-transfer time-outs of the four operations, in seconds, and the
  // low-speed floor. The defaults are what every production client uses;
  // shorter values exist so that tests of stalled servers end quickly.
  struct Timeouts {
    long post_json_sec = 300;
    long put_bytes_sec = 120;
    long get_sec = 60;
    long get_file_sec = 600;
    long low_speed_bytes = 256;
    long low_speed_sec = 30;
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
  // handling after the TLS library's. The TLS library is told to leave its
  // state in place at exit, so that a thread still inside it when the
  // process exits does not find it freed.
  static void global_init();

  // From now on, a transfer of this client ends at once, as a failed
  // transfer, when stop() answers true (asked at least once a second, from
  // the calling thread). Lets a job whose instance is gone, or a process
  // that is exiting, stop transfers still in flight.
  void abort_when(std::function<bool()> stop) { stop_ = std::move(stop); }

  // POST of a JSON text, sent as application/json; redirects are followed.
  HttpResponse post_json(const std::string& url, const std::string& body) const;
  // PUT of raw bytes with the given content type; a redirect is returned,
  // not followed. The bytes are read from `data` during the call.
  HttpResponse put_bytes(const std::string& url, const std::vector<uint8_t>& data, const char* contentType) const;
  // GET of a text; redirects are followed.
  HttpResponse get(const std::string& url) const;
  // DELETE; a redirect is returned, not followed. Within get's time-out.
  HttpResponse del(const std::string& url) const;
  // GET whose body is streamed into the file at path (created or
  // truncated), never more than maxBytes of it; redirects are followed.
  // Unless the result is kDone, the file is removed.
  Download get_file(const std::string& url, const std::string& path, std::uint64_t maxBytes) const;

 private:
  // The options every operation sets, besides its own.
  void setCommon(const std::string& url, long timeoutSec) const;

  CURL* curl_ = nullptr;  // null when libcurl could not create a handle
  Timeouts timeouts_;
  std::function<bool()> stop_;
};

}  // namespace orv
