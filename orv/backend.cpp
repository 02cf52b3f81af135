#include "orv/backend.h"

#include <algorithm>
#include <climits>
#include <nlohmann/json.hpp>

#include "orv/selection.h"

namespace orv {

using nlohmann::json;

namespace {

bool succeeded(long status) { return status >= 200 && status <= 299; }

// A JSON member as text: its string, or `fallback` when missing or not a string.
std::string textOr(const json& object, const char* key, const std::string& fallback) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

// Dabs as the backend takes them: exactly [x, y, r].
json triples(const std::vector<Dab>& dabs) {
  json list = json::array();
  for (const Dab& d : dabs) list.push_back(json::array({d.x, d.y, d.r}));
  return list;
}

}  // namespace

bool is_backend_address(const std::string& url) { return url.compare(0, 4, "http") == 0; }

bool valid_session_id(const std::string& id) {
  if (id.empty() || id.size() > 128 || id == "." || id == "..") return false;
  for (unsigned char c : id) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string create_body(double fps) {
  return json{{"fps", fps}, {"source", "plugin"}}.dump();
}

std::string start_body(const StartSettings& s) {
  json body = {{"anchor_frame", s.anchorFrame},
               {"quality", s.fastQuality ? "fast" : "fine"},
               {"edge_softness", s.edgeSoftness},
               {"text_prompt", s.textPrompt}};
  const json boxRecord = parse_record(s.bboxText);
  Box box;
  const bool hasBox = read_box(boxRecord, &box);
  // The box as the backend takes it: a record without "t" as stored, as it
  // always went; one with "t" as its four sides alone.
  const auto sent = [&](const Box& b) {
    return boxRecord.contains("t") ? json{{"x", b.x}, {"y", b.y}, {"w", b.w}, {"h", b.h}} : boxRecord;
  };
  json strokes = parse_record(s.brushText);
  const std::vector<Dab> dabs = read_dabs(strokes);
  const bool timed =
      (hasBox && box.time) || std::any_of(dabs.begin(), dabs.end(), [](const Dab& d) { return d.time.has_value(); });
  if (!timed) {
    if (hasBox) body["bbox"] = sent(box);
    body["strokes"] = strokes.is_array() ? strokes : json::array();  // as records without times were always sent
    return body.dump();
  }
  const FrameMarks marks =
      group_marks(dabs, hasBox ? std::optional<Box>(box) : std::nullopt, s.anchorFrame, s.firstTime, s.frameCount);
  body["anchor_frame"] = marks.anchorFrame;
  if (marks.box) body["bbox"] = sent(*marks.box);
  body["strokes"] = triples(marks.strokes);
  if (!marks.corrections.empty()) {
    json& corrections = body["corrections"] = json::array();
    for (const FrameCorrection& c : marks.corrections) {
      json correction = {{"frame", c.frame}};
      if (c.box) correction["bbox"] = sent(*c.box);
      if (!c.strokes.empty()) correction["strokes"] = triples(c.strokes);
      corrections.push_back(std::move(correction));
    }
  }
  return body.dump();
}

std::optional<std::string> create_session(const HttpClient& client, const std::string& backendUrl, double fps) {
  HttpResponse r = client.post_json(backendUrl + "/api/matte/sessions", create_body(fps));
  return read_create_response(r.status, r.body);
}

std::optional<std::string> read_create_response(long status, const std::string& body) {
  if (!succeeded(status)) return std::nullopt;
  json answer = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!answer.is_object()) return std::nullopt;
  auto id = answer.find("session_id");
  if (id == answer.end() || !id->is_string() || !valid_session_id(id->get<std::string>())) return std::nullopt;
  return id->get<std::string>();
}

std::string session_url(const std::string& backendUrl, const std::string& sessionId) {
  return backendUrl + "/api/matte/sessions/" + sessionId;
}

bool upload_frame(const HttpClient& client, const std::string& sessionUrl, int index,
                  const std::vector<std::uint8_t>& jpeg) {
  return succeeded(client.put_bytes(sessionUrl + "/frames/" + std::to_string(index), jpeg, "image/jpeg").status);
}

bool delete_session(const HttpClient& client, const std::string& sessionUrl) {
  const HttpResponse r = client.del(sessionUrl);
  return r.status >= 200 && r.status <= 299;
}

HttpResponse start_job(const HttpClient& client, const std::string& sessionUrl, const std::string& body) {
  return client.post_json(sessionUrl + "/start", body);
}

JobStatus poll_job(const HttpClient& client, const std::string& sessionUrl) {
  HttpResponse r = client.get(sessionUrl);
  return read_job_status(r.status, r.body);
}

JobStatus read_job_status(long httpStatus, const std::string& body) {
  JobStatus job;
  if (!succeeded(httpStatus)) return job;
  json answer = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!answer.is_object()) return job;
  auto status = answer.find("status");
  if (status != answer.end() && !status->is_string()) return job;  // unreadable: poll again
  job.answered = true;
  job.status = status == answer.end() ? "" : status->get<std::string>();
  job.error = textOr(answer, "error", "matting failed");
  auto progress = answer.find("progress");
  if (progress != answer.end() && progress->is_object()) job.stage = textOr(*progress, "stage", "...");
  auto frames = answer.find("frames");
  if (frames != answer.end() && frames->is_number_integer() && frames->get<long long>() >= 0 &&
      frames->get<long long>() <= INT_MAX)
    job.frames = static_cast<int>(frames->get<long long>());
  return job;
}

std::uint64_t matte_size_limit(std::uint64_t framePixels) {
  const std::uint64_t stored = framePixels * 8;  // 16-bit RGBA, not compressed at all
  return stored + stored / 64 + (std::uint64_t(1) << 20);
}

Download download_matte(const HttpClient& client, const std::string& sessionUrl, int index, const std::string& path,
                        std::uint64_t maxBytes) {
  return client.get_file(sessionUrl + "/alpha/" + std::to_string(index) + ".png", path, maxBytes);
}

}  // namespace orv
