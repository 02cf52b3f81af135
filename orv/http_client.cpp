#include "orv/http_client.h"

#include <mutex>

namespace orv {
namespace {

constexpr const char* kUserAgent = "PrismhollowDuneVeil-OFX/1.1";

// libcurl's global initialisation is not thread-safe and must run before the
// first handle exists; the beacon and the worker may construct clients at once.
std::once_flag g_global_init;

// Neither callback ever takes fewer bytes than offered: a short count would
// make libcurl abort the transfer.
size_t write_string(char* data, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  static_cast<std::string*>(target)->append(data, n);
  return n;
}

size_t write_vector(char* data, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  auto* out = static_cast<std::vector<uint8_t>*>(target);
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + n);
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
int abortWhenSet(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
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
  std::call_once(g_global_init, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

void HttpClient::setCommon(const std::string& url, long timeoutSec) const {
  curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT, timeoutSec);
  curl_easy_setopt(curl_, CURLOPT_USERAGENT, kUserAgent);
  if (abort_) {
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &abortWhenSet);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(abort_));
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

bool HttpClient::get_bytes(const std::string& url, std::vector<uint8_t>* out) const {
  if (!curl_ || !out) {
    return false;
  }
  curl_easy_reset(curl_);

  setCommon(url, timeouts_.get_bytes_sec);
  curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &write_vector);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, out);
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);

  const CURLcode rc = curl_easy_perform(curl_);
  long code = 0;
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
  return rc == CURLE_OK && code >= 200 && code <= 299;
}

}  // namespace orv
