#include "orv/http_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cstdio>
#include <mutex>

namespace orv {
namespace {

constexpr const char* kUserAgent = "PrismhollowDuneVeil-OFX/1.1";

// libcurl's global initialisation is not thread-safe and must run before the
// first handle exists; the beacon and the worker may construct clients at once.
std::once_flag g_global_init;

// The string callback never takes fewer bytes than offered: a short count
// makes libcurl abort the transfer, which the file callback uses on purpose.
size_t write_string(char* data, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  static_cast<std::string*>(target)->append(data, n);
  return n;
}

// Streams a body into a file, within a size limit.
struct FileSink {
  std::FILE* file = nullptr;
  std::uint64_t written = 0, limit = 0;
  bool tooLarge = false, unwritable = false;
};

size_t write_file(char* data, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  auto* sink = static_cast<FileSink*>(target);
  if (n > sink->limit - sink->written) {
    sink->tooLarge = true;
    return 0;
  }
  if (std::fwrite(data, 1, n, sink->file) != n) {
    sink->unwritable = true;
    return 0;
  }
  sink->written += n;
  return n;
}

// Appends one header line; on allocation failure the list built so far is
// kept (curl_slist_append returns null without freeing it).
void appendHeader(curl_slist*& list, const std::string& line) {
  if (curl_slist* grown = curl_slist_append(list, line.c_str())) {
    list = grown;
  }
}

// A non-zero answer makes libcurl abort the transfer.
int abortWhenAsked(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  try {
    return (*static_cast<const std::function<bool()>*>(stop))() ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

void collectInto(CURL* curl, std::string* body) {
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &write_string);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
}

// Runs the prepared transfer and fills in the status. The status code is read
// even after a failure, but a failed transfer always reports -1: a time-out
// after the headers arrived must not pass for an answer.
void performInto(CURL* curl, curl_slist* headers, HttpResponse& response) {
  const CURLcode rc = curl_easy_perform(curl);
  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  response.status = code;
  curl_slist_free_all(headers);
  if (rc != CURLE_OK) {
    response.status = -1;
  }
}

HttpResponse failedTransfer() {
  HttpResponse response;
  response.status = -1;
  return response;
}

}  // namespace

void HttpClient::global_init() {
  // A failure of the once mechanism itself surfaces as std::system_error.
  std::call_once(g_global_init, [] {
    // Before libcurl initialises the TLS library: without an exit handler of
    // its own, it never frees its state under a thread still using it. This
    // holds only when nothing in the process initialised it earlier.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    curl_global_init(CURL_GLOBAL_ALL);
  });
}

void HttpClient::setCommon(const std::string& url, long timeoutSec) const {
  curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT, timeoutSec);
  curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, timeouts_.low_speed_bytes);
  curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, timeouts_.low_speed_sec);
  curl_easy_setopt(curl_, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl_, CURLOPT_MAXREDIRS, kMaxRedirects);
  if (stop_) {
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &abortWhenAsked);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, const_cast<std::function<bool()>*>(&stop_));
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
  }
}

HttpClient::HttpClient() : HttpClient(Timeouts{}) {}

HttpClient::HttpClient(const Timeouts& timeouts, EasyInit easyInit) : timeouts_(timeouts) {
  global_init();
  // Without a handle the client stays usable: every call reports a failed
  // transfer, which callers already handle.
  curl_ = easyInit ? easyInit() : nullptr;
}

HttpClient::~HttpClient() {
  if (curl_) {
    curl_easy_cleanup(curl_);
  }
}

HttpResponse HttpClient::post_json(const std::string& url, const std::string& body) const {
  if (!curl_) {
    return failedTransfer();
  }
  HttpResponse response;
  curl_easy_reset(curl_);

  curl_slist* headers = nullptr;
  appendHeader(headers, "Content-Type: application/json");
  appendHeader(headers, "Accept: application/json");

  setCommon(url, timeouts_.post_json_sec);
  curl_easy_setopt(curl_, CURLOPT_POST, 1L);
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
  collectInto(curl_, &response.body);
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);

  performInto(curl_, headers, response);
  return response;
}

HttpResponse HttpClient::put_bytes(const std::string& url, const std::vector<uint8_t>& data,
                                   const char* contentType) const {
  if (!curl_) {
    return failedTransfer();
  }
  HttpResponse response;
  curl_easy_reset(curl_);

  curl_slist* headers = nullptr;
  appendHeader(headers, std::string("Content-Type: ") + (contentType ? contentType : ""));

  setCommon(url, timeouts_.put_bytes_sec);
  curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "PUT");
  // An empty vector may hand over a null pointer; with the size set to 0
  // libcurl then sends an empty body and reads nothing through it.
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, data.data());
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data.size()));
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
  collectInto(curl_, &response.body);
  // Redirects stay unfollowed: the caller sees the 3xx answer.

  performInto(curl_, headers, response);
  return response;
}

HttpResponse HttpClient::get(const std::string& url) const {
  if (!curl_) {
    return failedTransfer();
  }
  HttpResponse response;
  curl_easy_reset(curl_);

  setCommon(url, timeouts_.get_sec);
  curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
  collectInto(curl_, &response.body);
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);

  performInto(curl_, nullptr, response);
  return response;
}

HttpResponse HttpClient::del(const std::string& url) const {
  if (!curl_) {
    return failedTransfer();
  }
  HttpResponse response;
  curl_easy_reset(curl_);

  setCommon(url, timeouts_.get_sec);
  curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "DELETE");
  collectInto(curl_, &response.body);

  performInto(curl_, nullptr, response);
  return response;
}

Download HttpClient::get_file(const std::string& url, const std::string& path, std::uint64_t maxBytes) const {
  if (!curl_) {
    return Download::kFailed;
  }
  FileSink sink;
  sink.limit = maxBytes;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);  // the user's alone
  sink.file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
  if (fd >= 0 && !sink.file) ::close(fd);
  if (!sink.file) {
    return Download::kUnwritable;
  }
  curl_easy_reset(curl_);

  setCommon(url, timeouts_.get_file_sec);
  curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &write_file);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);
  // A stated length above the limit ends the transfer before its body.
  curl_easy_setopt(curl_, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));

  const CURLcode rc = curl_easy_perform(curl_);
  long code = 0;
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
  // The last bytes reach the disk only here: a full disk may show now.
  const bool closed = std::fclose(sink.file) == 0;
  Download result = Download::kDone;
  if (sink.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
    result = Download::kTooLarge;
  } else if (sink.unwritable || (rc == CURLE_OK && !closed)) {
    result = Download::kUnwritable;
  } else if (rc != CURLE_OK || code < 200 || code > 299) {
    result = Download::kFailed;
  }
  if (result != Download::kDone) {
    std::remove(path.c_str());
  }
  return result;
}

}  // namespace orv
