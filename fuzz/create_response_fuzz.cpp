// The backend's answer to the create call as the worker reads it: a status
// and any body. The id it yields names a local folder and a URL segment, so
// it must be a valid session id, and exactly the one the body holds.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "fuzz_check.h"
#include "orv/backend.h"

using nlohmann::json;

namespace {

// The first byte picks the status: 2xx mostly, and the edges around it.
long statusFrom(uint8_t b) {
  static const long kStatuses[] = {200, 201, 299, 204, 199, 300, 302, 404, 500, 503, -1, 0};
  return b < 192 ? 200 : kStatuses[b % (sizeof kStatuses / sizeof kStatuses[0])];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const long status = statusFrom(data[0]);
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::optional<std::string> id = orv::read_create_response(status, body);

  const json answer = json::parse(body, nullptr, false);
  const bool expected = status >= 200 && status <= 299 && answer.is_object() && answer.contains("session_id") &&
                        answer["session_id"].is_string() &&
                        contract::is_session_id(answer["session_id"].get<std::string>());
  FUZZ_CHECK(id.has_value() == expected);
  if (id) {
    FUZZ_CHECK(*id == answer["session_id"].get<std::string>());
    // What valid_session_id promises: one harmless path segment.
    FUZZ_CHECK(!id->empty() && id->size() <= 128 && *id != "." && *id != "..");
    FUZZ_CHECK(id->find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
               std::string::npos);
  }
  return 0;
}
