#include "orv/backend.h"

#include <algorithm>
#include <climits>
#include <nlohmann/json.hpp>

#include "contract/selection.h"

namespace orv {

using nlohmann::json;
namespace member = contract::member;

namespace {

bool succeeded(long status) { return status >= 200 && status <= 299; }

// A JSON member as text: its string, or `fallback` when missing or not a string.
std::string text_or(const json& object, const char* key, const std::string& fallback) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

// Dabs as the backend takes them: exactly [x, y, r].
json triples(const std::vector<contract::Dab>& dabs) {
  json list = json::array();
  for (const contract::Dab& d : dabs) list.push_back(json::array({d.x, d.y, d.r}));
  return list;
}

}  // namespace

bool is_backend_address(const std::string& url) { return url.compare(0, 4, "http") == 0; }

std::string create_body(double fps) { return json{{member::kFps, fps}, {member::kSource, "plugin"}}.dump(); }

std::string start_body(const StartSettings& s) {
  json body = {{member::kAnchorFrame, s.anchorFrame},
               {member::kQuality, s.fastQuality ? "fast" : "fine"},
               {member::kEdgeSoftness, s.edgeSoftness},
               {member::kTextPrompt, s.textPrompt}};
  const json box_record = contract::parse_record(s.bboxText);
  contract::Box box;
  const bool has_box = contract::read_box(box_record, &box);
  // The box as the backend takes it: a record without "t" as stored, byte
  // for byte; one with "t" as its four sides alone.
  const auto sent = [&](const contract::Box& b) {
    return box_record.contains("t") ? json{{"x", b.x}, {"y", b.y}, {"w", b.w}, {"h", b.h}} : box_record;
  };
  json strokes = contract::parse_record(s.brushText);
  const std::vector<contract::Dab> dabs = contract::read_dabs(strokes);
  const bool timed = (has_box && box.time) ||
                     std::any_of(dabs.begin(), dabs.end(), [](const contract::Dab& d) { return d.time.has_value(); });
  if (!timed) {
    if (has_box) body[member::kBbox] = sent(box);
    body[member::kStrokes] = strokes.is_array() ? strokes : json::array();  // records without times go as stored
    return body.dump();
  }
  const contract::FrameMarks marks = contract::group_marks(
      dabs, has_box ? std::optional<contract::Box>(box) : std::nullopt, s.anchorFrame, s.firstTime, s.frameCount);
  body[member::kAnchorFrame] = marks.anchorFrame;
  if (marks.box) body[member::kBbox] = sent(*marks.box);
  body[member::kStrokes] = triples(marks.strokes);
  if (!marks.corrections.empty()) {
    json& corrections = body[member::kCorrections] = json::array();
    for (const contract::Correction& c : marks.corrections) {
      json correction = {{member::kFrame, c.frame}};
      if (c.box) correction[member::kBbox] = sent(*c.box);
      if (!c.strokes.empty()) correction[member::kStrokes] = triples(c.strokes);
      corrections.push_back(std::move(correction));
    }
  }
  return body.dump();
}

std::optional<std::string> create_session(const HttpClient& client, const std::string& backendUrl, double fps) {
  HttpResponse r = client.post_json(backendUrl + contract::kSessions, create_body(fps));
  return read_create_response(r.status, r.body);
}

std::optional<std::string> read_create_response(long status, const std::string& body) {
  if (!succeeded(status)) return std::nullopt;
  json answer = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!answer.is_object()) return std::nullopt;
  auto id = answer.find(member::kSessionId);
  if (id == answer.end() || !id->is_string() || !contract::is_session_id(id->get<std::string>())) return std::nullopt;
  return id->get<std::string>();
}

std::string session_url(const std::string& backendUrl, const std::string& sessionId) {
  return backendUrl + contract::session_path(sessionId);
}

bool upload_frame(const HttpClient& client, const std::string& sessionUrl, int index,
                  const std::vector<std::uint8_t>& jpeg) {
  return succeeded(client.put_bytes(contract::frame_path(sessionUrl, index), jpeg, "image/jpeg").status);
}

bool delete_session(const HttpClient& client, const std::string& sessionUrl) {
  return succeeded(client.del(sessionUrl).status);
}

HttpResponse start_job(const HttpClient& client, const std::string& sessionUrl, const std::string& body) {
  return client.post_json(sessionUrl + contract::kStart, body);
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
  auto status = answer.find(member::kStatus);
  if (status != answer.end() && !status->is_string()) return job;  // unreadable: poll again
  job.answered = true;
  job.status = status == answer.end() ? "" : status->get<std::string>();
  job.error = text_or(answer, member::kError, "matting failed");
  auto progress = answer.find(member::kProgress);
  if (progress != answer.end() && progress->is_object()) job.stage = text_or(*progress, member::kStage, "...");
  auto frames = answer.find(member::kFrames);
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
  return client.get_file(contract::matte_path(sessionUrl, index), path, maxBytes);
}

}  // namespace orv
