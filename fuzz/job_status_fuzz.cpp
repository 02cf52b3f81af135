// The backend's answer to the status call as the worker reads it: a status
// and any body. Whatever arrives is either an answer with the fields the
// body holds or a failed poll; nothing escapes.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_check.h"
#include "orv/backend.h"

using nlohmann::json;

namespace {

long statusFrom(uint8_t b) {
  static const long kStatuses[] = {200, 202, 299, 204, 199, 300, 304, 404, 500, 503, -1, 0};
  return b < 192 ? 200 : kStatuses[b % (sizeof kStatuses / sizeof kStatuses[0])];
}

// A member's text, or the fallback when it is missing or not a string.
std::string textOr(const json& object, const char* key, const std::string& fallback) {
  return object.contains(key) && object[key].is_string() ? object[key].get<std::string>() : fallback;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const long status = statusFrom(data[0]);
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

  const orv::JobStatus job = orv::read_job_status(status, body);

  const json answer = json::parse(body, nullptr, false);
  const bool readable = status >= 200 && status <= 299 && answer.is_object() &&
                        (!answer.contains("status") || answer["status"].is_string());
  FUZZ_CHECK(job.answered == readable);
  if (!job.answered) {
    // A failed poll: the worker polls again and shows nothing of it.
    FUZZ_CHECK(!job.completed() && !job.failed() && !job.stage && job.status.empty());
    return 0;
  }
  FUZZ_CHECK(job.status == textOr(answer, "status", ""));
  FUZZ_CHECK(job.completed() == (job.status == "COMPLETED"));
  FUZZ_CHECK(job.failed() == (job.status == "FAILED"));
  FUZZ_CHECK(!(job.completed() && job.failed()));
  FUZZ_CHECK(job.error == textOr(answer, "error", "matting failed"));
  const bool hasProgress = answer.contains("progress") && answer["progress"].is_object();
  FUZZ_CHECK(job.stage.has_value() == hasProgress);
  if (hasProgress) FUZZ_CHECK(*job.stage == textOr(answer["progress"], "stage", "..."));
  return 0;
}
